"""A result keeps what its source had: bit depth, codec settings and metadata; and levels
on integer images give the very bits of the whole-array computation."""

import struct
import zlib

import numpy as np
import pytest

import pixalot as module
from cli_helpers import Image, codes, colour_16_bit_png, load, pixalot, save

PILLOW = tuple(int(part) for part in __import__("PIL").__version__.split(".")[:2])
IDENTITY = ["--in-low", "0", "--in-high", "1", "--out-low", "0", "--out-high", "1", "--gamma", "1"]
LEVELS = ["--in-low", "0.2", "--in-high", "0.7", "--out-low", "0.1", "--out-high", "0.9", "--gamma", "1.7"]


def whole_array_levels(values: np.ndarray, top: int) -> np.ndarray:
    """The straightforward way: every pixel to float32, the module over the whole array."""
    floats = values.astype(np.float32) / np.float32(top)
    result = module.color_levels(floats, 0.2, 0.7, 0.1, 0.9, 1.7)
    return np.clip(np.rint(result * np.float32(top)), 0, top)


@pytest.mark.parametrize("mode", ["L", "RGB", "I;16"])
def test_levels_by_table_give_the_bits_of_the_whole_array_computation(tmp_path, mode):
    top = 65535 if mode == "I;16" else 255
    values = codes(mode, 64, 64, seed=5)
    if mode == "I;16":
        values[:, :] = np.arange(64 * 64).reshape(64, 64) * 16  # many distinct codes
    save(tmp_path / "in.png", values)
    completed = pixalot("levels", *LEVELS, "in.png", cwd=tmp_path)
    assert (completed.returncode, completed.stderr) == (0, "")
    np.testing.assert_array_equal(load(tmp_path / "in-levels.png")[1], whole_array_levels(values, top))
    tifffile = pytest.importorskip("tifffile")  # the colour float TIFF's writer and reader
    assert pixalot("levels", *LEVELS, "--float", "in.png", cwd=tmp_path).returncode == 0
    floats = module.color_levels(values.astype(np.float32) / np.float32(top), 0.2, 0.7, 0.1, 0.9, 1.7)
    np.testing.assert_array_equal(tifffile.imread(tmp_path / "in-levels.tif"), floats)


@pytest.mark.parametrize("layout", ["contiguous", "odd length", "alpha split off", "read-only", "several bands"])
@pytest.mark.parametrize("codes_type, table_type", [(np.uint8, np.uint8), (np.uint16, np.uint16),
                                                    (np.uint8, np.float32)])
def test_table_lookups_match_plain_indexing(layout, codes_type, table_type):
    from pixalot_cli.jobs import _look_up

    top = np.iinfo(codes_type).max
    rng = np.random.default_rng(11)
    shape = {"odd length": (5, 7), "several bands": (1500, 1500)}.get(layout, (40, 30, 3))
    values = rng.integers(0, top + 1, size=shape, dtype=codes_type)
    if layout == "alpha split off":
        values = np.dstack([values, values[..., :1]])[..., :3]
    if layout == "read-only":
        values.flags.writeable = False
    table = rng.permutation(top + 1).astype(table_type)
    expected, original = table[values], values.copy()
    np.testing.assert_array_equal(_look_up(table, values), expected)
    if layout == "read-only":
        np.testing.assert_array_equal(values, original)


def test_a_32_bit_integer_tiff_of_16_bit_codes_stays_32_bit(tmp_path):
    values = (np.arange(6 * 9).reshape(6, 9) * 1213 % 65536).astype(np.int32)
    Image.fromarray(values).save(tmp_path / "in.tif")
    assert pixalot("levels", *LEVELS, "in.tif", cwd=tmp_path).returncode == 0
    with Image.open(tmp_path / "in-levels.tif") as result:
        assert result.mode == "I"
        np.testing.assert_array_equal(np.asarray(result), whole_array_levels(values, 65535))
    header, row = pixalot("gray", "--csv", "in.tif", cwd=tmp_path).stdout.splitlines()[:2]
    reported = dict(zip(header.split(","), row.split(","), strict=True))
    assert (reported["mode"], reported["bits"]) == ("I", "32")


def deep_colour(path, alpha: bool):
    values = (np.arange(5 * 7 * 4).reshape(5, 7, 4) * 2311 % 65536).astype(np.uint16)
    values = values if alpha else np.ascontiguousarray(values[..., :3])
    if path.suffix == ".png":
        colour_16_bit_png(path, 5, 7)
        imagecodecs = pytest.importorskip("imagecodecs")
        path.write_bytes(imagecodecs.png_encode(values))
    else:
        tifffile = pytest.importorskip("tifffile")
        tifffile.imwrite(path, values, photometric="rgb", extrasamples=["unassalpha"] if alpha else None)
    return values


def read_deep(path):
    if path.suffix == ".png":
        return __import__("imagecodecs").png_decode(path.read_bytes())
    return __import__("tifffile").imread(path)


@pytest.mark.parametrize("alpha", [False, True], ids=["RGB", "RGBA"])
@pytest.mark.parametrize("extension", ["png", "tif"])
def test_16_bit_colour_is_read_and_written_at_16_bits(tmp_path, extension, alpha):
    pytest.importorskip("imagecodecs")
    values = deep_colour(tmp_path / f"deep.{extension}", alpha)
    completed = pixalot("levels", *IDENTITY, f"deep.{extension}", cwd=tmp_path)
    assert (completed.returncode, completed.stderr) == (0, "")
    np.testing.assert_array_equal(read_deep(tmp_path / f"deep-levels.{extension}"), values)
    assert pixalot("levels", *LEVELS, f"deep.{extension}", "--overwrite", cwd=tmp_path).returncode == 0
    result = read_deep(tmp_path / f"deep-levels.{extension}")
    np.testing.assert_array_equal(result[..., :3], whole_array_levels(values[..., :3], 65535))
    report = pixalot("gray", "--csv", f"deep.{extension}", cwd=tmp_path).stdout.splitlines()
    assert report[1].split(",")[2:4] == ["RGBA" if alpha else "RGB", "16"]


def test_gray_reports_a_palette_file_as_such(tmp_path):
    Image.fromarray(codes("RGB")).convert("P").save(tmp_path / "palette.png")
    report = pixalot("gray", "--csv", "palette.png", cwd=tmp_path).stdout.splitlines()
    assert report[1].split(",")[2:4] == ["P", "8"]


def jpeg_settings(path):
    from PIL import JpegImagePlugin

    with Image.open(path) as image:
        return JpegImagePlugin.get_sampling(image), image.quantization


@pytest.mark.parametrize("subsampling", [0, 2], ids=["4:4:4", "4:2:0"])
def test_jpeg_keeps_its_subsampling_and_tables_unless_a_quality_is_asked(tmp_path, subsampling):
    save(tmp_path / "in.jpg", codes("RGB", 32, 32), quality=80, subsampling=subsampling)
    assert pixalot("stripes", "--amplitude", "0", "in.jpg", cwd=tmp_path).returncode == 0
    assert jpeg_settings(tmp_path / "in-stripes.jpg") == jpeg_settings(tmp_path / "in.jpg")
    assert pixalot("stripes", "--amplitude", "0", "--quality", "40", "--overwrite", "in.jpg",
                   cwd=tmp_path).returncode == 0
    sampling, tables = jpeg_settings(tmp_path / "in-stripes.jpg")
    assert sampling == subsampling and tables != jpeg_settings(tmp_path / "in.jpg")[1]


def test_lossless_webp_stays_lossless(tmp_path):
    values = codes("RGBA")
    save(tmp_path / "in.webp", values, lossless=True, exact=True)
    assert pixalot("levels", *IDENTITY, "in.webp", cwd=tmp_path).returncode == 0
    assert b"VP8L" in (tmp_path / "in-levels.webp").read_bytes()[:64]
    np.testing.assert_array_equal(load(tmp_path / "in-levels.webp")[1], values)


XMP = '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF/></x:xmpmeta>'
IPTC = b"Photoshop 3.0\x008BIM\x04\x04\x00\x00\x00\x00\x00\x0b\x1c\x02\x74\x00\x05Maker\x00"


def png_chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


# Writers put text where they like: before the pixels, or after them (a tool that tags a
# file once its pixels are written); the result keeps it either way.
@pytest.mark.parametrize("place", ["before the image data", "after the image data"])
def test_png_text_chunks_survive(tmp_path, place):
    from PIL import PngImagePlugin

    text = PngImagePlugin.PngInfo()
    text.add_text("Author", "Ana")
    text.add_itxt("Copyright", "© Ana")
    text.add_text("XML:com.adobe.xmp", XMP)
    save(tmp_path / "in.png", codes("RGB"), pnginfo=text)
    if place == "after the image data":
        plain = tmp_path / "plain.png"
        save(plain, codes("RGB"))
        data = plain.read_bytes()
        chunks = [png_chunk(b"tEXt", b"Author\0Ana"), png_chunk(b"iTXt", "Copyright\0\0\0\0\0© Ana".encode()),
                  png_chunk(b"tEXt", b"XML:com.adobe.xmp\0" + XMP.encode())]
        (tmp_path / "in.png").write_bytes(data[:-12] + b"".join(chunks) + data[-12:])
    assert pixalot("levels", "in.png", cwd=tmp_path).returncode == 0
    with Image.open(tmp_path / "in-levels.png") as result:
        assert {key: result.text[key] for key in ("Author", "Copyright", "XML:com.adobe.xmp")} == {
            "Author": "Ana", "Copyright": "© Ana", "XML:com.adobe.xmp": XMP}


def test_jpeg_comment_xmp_and_iptc_survive(tmp_path):
    app13 = b"\xff\xed" + struct.pack(">H", len(IPTC) + 2) + IPTC
    save(tmp_path / "in.jpg", codes("RGB"), comment=b"holiday", xmp=XMP.encode(), extra=app13)
    assert pixalot("levels", "in.jpg", cwd=tmp_path).returncode == 0
    with Image.open(tmp_path / "in-levels.jpg") as result:
        assert result.info["comment"] == b"holiday"
        if PILLOW >= (11,):  # Pillow writes a JPEG's XMP from version 11 on
            assert XMP.encode() in result.info["xmp"]
        assert ("APP13", IPTC) in result.applist


def test_tiff_descriptive_tags_survive(tmp_path):
    from PIL import TiffImagePlugin

    tags = TiffImagePlugin.ImageFileDirectory_v2()
    expected = {315: "Ana", 33432: "(c) Ana", 306: "2024:01:02 03:04:05", 270: "harbour at dawn"}
    for tag, value in expected.items():
        tags[tag] = value
    save(tmp_path / "in.tif", codes("RGB"), tiffinfo=tags)
    assert pixalot("levels", "in.tif", cwd=tmp_path).returncode == 0
    with Image.open(tmp_path / "in-levels.tif") as result:
        assert {tag: result.tag_v2.get(tag) for tag in expected} == expected


def test_max_pixels_bounds_what_is_read(tmp_path):
    save(tmp_path / "in.png", codes("L", 30, 40))
    refused = pixalot("gray", "--max-pixels", "1000", "in.png", cwd=tmp_path)
    assert refused.returncode == 1
    assert "in.png: has 1,200 pixels, more than 1,000 (raise --max-pixels to read it)" in refused.stderr
    assert pixalot("gray", "--max-pixels", "1200", "in.png", cwd=tmp_path).returncode == 0


def test_a_one_channel_npy_array_is_striped_as_grey_and_keeps_its_shape(tmp_path):
    array = np.linspace(0, 1, 6 * 8, dtype=np.float32).reshape(6, 8, 1)
    np.save(tmp_path / "grey.npy", array)
    completed = pixalot("stripes", "--period", "4", "grey.npy", cwd=tmp_path)
    assert (completed.returncode, completed.stderr) == (0, "")
    result = np.load(tmp_path / "grey-stripes.npy")
    assert result.shape == (6, 8, 1)
    np.testing.assert_array_equal(result[..., 0], module.sin_patern(array[..., 0], 4, 0.15, True, 0.0))
