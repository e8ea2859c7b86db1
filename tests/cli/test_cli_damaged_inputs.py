"""A cut-short or damaged input is refused with one line naming it, never decoded as a photo
with rows missing; its whole twin, in the same batch, is processed as usual."""

import io
import struct

import numpy as np
import pytest

from cli_helpers import Image, codes, pixalot
from pixalot_cli.inputs import OUTPUT_MARK

tifffile = pytest.importorskip("tifffile")


def encoded(extension: str, values, **options) -> bytes:
    buffer = io.BytesIO()
    image = values if isinstance(values, Image.Image) else Image.fromarray(values)
    image.save(buffer, format={"jpg": "JPEG", "tif": "TIFF"}.get(extension, extension.upper()),
                                 **options)
    return buffer.getvalue()


def deep_tiff(values: np.ndarray) -> bytes:
    buffer = io.BytesIO()
    tifffile.imwrite(buffer, values.astype(np.uint16) * 257, photometric="rgb", rowsperstrip=8)
    return buffer.getvalue()


def npy(values: np.ndarray) -> bytes:
    buffer = io.BytesIO()
    np.save(buffer, values.astype(np.float32) / 255)
    return buffer.getvalue()


def originals() -> dict[str, bytes]:
    """One whole file for each way the command reads: name -> its bytes."""
    rgb = codes("RGB", 48, 64, seed=3)
    return {
        "baseline.jpg": encoded("jpg", rgb, quality=90),
        "progressive.jpg": encoded("jpg", rgb, quality=90, progressive=True),
        # A comment holding an end marker: the end must be looked for after the image data starts.
        "commented.jpg": encoded("jpg", rgb, quality=90, comment=b"\xff\xd9 not the end"),
        "rgb.png": encoded("png", rgb),
        "palette.png": encoded("png", Image.fromarray(rgb).quantize(16)),
        "plain.tif": encoded("tif", rgb),
        "deep.tif": deep_tiff(rgb),
        "lossless.webp": encoded("webp", rgb, lossless=True),
        "lossy.webp": encoded("webp", rgb, quality=80),
        "picture.bmp": encoded("bmp", rgb),
        "picture.gif": encoded("gif", rgb),
        "array.npy": npy(rgb),
    }


def flipped(data: bytes, offset: int) -> bytes:
    return data[:offset] + bytes([data[offset] ^ 0x01]) + data[offset + 1:]


def png_checksum_offset(data: bytes, kind: bytes) -> int:
    start = data.index(kind) - 4
    return start + 8 + struct.unpack(">I", data[start:start + 4])[0]


def strip_beyond_the_end(data: bytes) -> bytes:
    """The TIFF with its last strip's offset pointing past the file's end."""
    page = tifffile.TiffFile(io.BytesIO(data)).pages.first
    tag = page.tags["StripOffsets"]
    offsets = list(page.dataoffsets)
    offsets[-1] = len(data) + 4096
    packed = struct.pack("<" + "I" * len(offsets), *offsets)
    if len(offsets) == 1:  # the value is in the tag itself
        return data[:tag.valueoffset] + packed + data[tag.valueoffset + 4:]
    return data[:tag.valueoffset] + packed + data[tag.valueoffset + len(packed):]


def damaged(files: dict[str, bytes]) -> dict[str, bytes]:
    """Damaged twins: cut at a handful of offsets (in the header, through the data, one byte
    short), and the faults a cut does not make."""
    twins = {}
    for name, data in files.items():
        stem, extension = name.rsplit(".", 1)
        for cut in sorted({20, len(data) * 3 // 10, len(data) * 6 // 10, len(data) * 9 // 10, len(data) - 1}):
            twins[f"{stem}-cut{cut}.{extension}"] = data[:cut]
    rgb_png = files["rgb.png"]
    texted = io.BytesIO()
    Image.fromarray(codes("RGB", 8, 8)).save(texted, format="PNG", pnginfo=_text("Author", "someone"))
    twins["rgb-bad-idat-crc.png"] = flipped(rgb_png, png_checksum_offset(rgb_png, b"IDAT"))
    palette_png = files["palette.png"]
    twins["palette-bad-idat-crc.png"] = flipped(palette_png, png_checksum_offset(palette_png, b"IDAT"))
    twins["text-bad-crc.png"] = flipped(texted.getvalue(), png_checksum_offset(texted.getvalue(), b"tEXt"))
    twins["plain-missing-strip.tif"] = strip_beyond_the_end(files["plain.tif"])
    twins["deep-missing-strip.tif"] = strip_beyond_the_end(files["deep.tif"])
    jpeg = files["baseline.jpg"]
    second_marker = 2 + 2 + struct.unpack(">H", jpeg[4:6])[0]  # the segment after APP0
    twins["baseline-broken-marker.jpg"] = jpeg[:second_marker] + b"\x00" + jpeg[second_marker + 1:]
    return twins


def _text(key, value):
    from PIL import PngImagePlugin

    info = PngImagePlugin.PngInfo()
    info.add_text(key, value)
    return info


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    """A folder of whole files and their damaged twins: (folder, whole names, damaged names)."""
    folder = tmp_path_factory.mktemp("damaged") / "in"
    folder.mkdir()
    whole = originals()
    # Bytes after a JPEG's end (camera trailers) are no damage.
    whole["trailer.jpg"] = whole["baseline.jpg"] + b"\0" * 64 + b"vendor data"
    broken = damaged(originals())
    for name, data in {**whole, **broken}.items():
        (folder / name).write_bytes(data)
    return folder, sorted(whole), sorted(broken)


def failures(stderr: str, command: str) -> dict[str, str]:
    lines = stderr.splitlines()
    prefix = f"pixalot {command}: in/"
    assert all(line.startswith(prefix) for line in lines), stderr
    found = dict(line[len(prefix):].split(": ", 1) for line in lines)
    assert len(found) == len(lines), "a file was reported twice"
    return found


@pytest.mark.parametrize("command", ["levels", "gray"])
def test_damaged_inputs_fail_alone_with_one_line_each_and_whole_ones_are_processed(tmp_path, mixed, command):
    folder, whole, broken = mixed
    arguments = [command, "in", "-o", tmp_path / "out"] if command == "levels" else [command, "in"]
    completed = pixalot(*arguments, "--no-progress", cwd=folder.parent)
    assert completed.returncode == 1, completed
    found = failures(completed.stderr, command)
    assert sorted(found) == broken, f"wrongly refused or wrongly read: {set(found) ^ set(broken)}"
    for name, reason in found.items():
        assert "damaged" in reason and "truncated" in reason, f"{name}: {reason}"
    if command == "levels":
        written = sorted(path.name for path in (tmp_path / "out").iterdir() if path.name != OUTPUT_MARK)
        assert written == whole, "a damaged input left a result, or a whole one did not"
    else:
        verdicts = [line.split()[-1] for line in completed.stdout.splitlines() if line.startswith(("grey", "colour"))]
        assert sorted(name.split("/")[-1] for name in verdicts) == whole

