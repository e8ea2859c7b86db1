"""Image files in and out: integer images with their metadata, float TIFF and float32 .npy
arrays. Pillow does most formats; tifffile and imagecodecs, where installed, add 16-bit colour
PNG and TIFF and colour float TIFF."""

from __future__ import annotations

import dataclasses
import functools
import io
import re
import struct
import warnings
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import NDArray

from . import wholeness
from .placing import Identity, Refused, placed

# Extensions looked for when a folder is given; a file named explicitly is tried whatever it is called.
IMAGE_SUFFIXES = (".png", ".tif", ".tiff", ".jpg", ".jpeg", ".webp", ".bmp", ".gif", ".npy")

# Files are the user's own, so the limit is generous: a 500-megapixel image already needs
# 6 GB as float32 RGB. It only keeps a damaged or hostile header from asking for terabytes.
DEFAULT_MAX_PIXELS = 500_000_000

LOSSY_QUALITY = 95  # lossy WebP, and JPEG whose source tables are unknown
_TIFF_COMPRESSIONS = {"raw", "tiff_lzw", "tiff_deflate", "tiff_adobe_deflate", "packbits"}
# TIFF tags that describe the picture rather than its pixels: carried into the result.
_TIFF_DESCRIPTIVE = (269, 270, 271, 272, 285, 305, 306, 315, 316, 33432, 700, 33723)
# PNG chunks that describe the picture; copied as they are when another encoder writes it.
_PNG_DESCRIPTIVE = {b"tEXt", b"zTXt", b"iTXt", b"iCCP", b"eXIf", b"pHYs", b"sRGB", b"gAMA", b"cHRM", b"sBIT"}


def display(path: Path) -> str:
    """A path as the user would type it: relative to the working folder when inside it."""
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


# Characters that would break a line of text output or change what the terminal shows:
# control characters, line and paragraph separators, bidirectional overrides, and the lone
# surrogates by which Python carries a name's undecodable bytes.
_UNSHOWABLE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069\ud800-\udfff]")
_NAMED_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match: re.Match[str]) -> str:
    character = match.group()
    code = ord(character)
    if character in _NAMED_ESCAPES:
        return _NAMED_ESCAPES[character]
    if 0xDC80 <= code <= 0xDCFF:
        return f"\\x{code - 0xDC00:02x}"  # the undecodable byte itself
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text: str) -> str:
    """A line of text output with the names in it made safe to print: every character that
    could end the line early, or be taken by the terminal for a command, is written as its
    backslash escape."""
    return _UNSHOWABLE.sub(_escape, text)


class PictureError(Exception):
    """A file that cannot be read or written; the message says why, in a few words."""


@dataclasses.dataclass
class Picture:
    """An image as the operations see it, and what is needed to write it back alike.

    Integer images keep their `codes` (grey (H, W) or colour (H, W, 3), uint8 or uint16);
    float files keep `floats`. `pixels` is the float32 form in [0, 1] by the type's full range
    that the operations take. `alpha` is the untouched alpha channel in the file's own type.
    """

    codes: NDArray[Any] | None
    floats: NDArray[Any] | None
    alpha: NDArray[Any] | None
    mode: str  # the file's colour model as stored: "L", "LA", "RGB", "RGBA", "P", "I;16", "I", "F" or "npy"
    bits: int  # bits per channel of the file: 8, 16 or 32 (float)
    format: str  # Pillow's format name, or "NPY"
    info: dict[str, Any] = dataclasses.field(default_factory=dict)
    shape: tuple[int, ...] | None = None  # an .npy array's own shape, when pixels are reshaped from it
    unreadable_depth: str | None = None  # why the pixels were read at less than the file's depth
    file_bits: int | None = None  # the file's own depth, where the pixels have less

    @property
    def stored_bits(self) -> int:
        return self.file_bits or self.bits

    @property
    def code_max(self) -> int | None:
        """The largest code value of the file's integer type; None for float data."""
        return {8: 255, 16: 65535}.get(self.bits)

    @property
    def pixels(self) -> NDArray[Any]:
        if self.floats is None:
            assert self.codes is not None and self.code_max is not None
            # In place after the one conversion: one float copy of the image, no more.
            floats = self.codes.astype(np.float32)
            floats /= np.float32(self.code_max)
            self.floats = floats
        return self.floats


def _pillow() -> Any:
    try:
        from PIL import Image
    except ImportError:
        raise PictureError("reading images needs Pillow: pip install 'pixalot[cli]' "
                           "(from a source checkout: pip install '.[cli]')") from None
    return Image


@functools.cache  # a missing library is looked for once, not once per file
def _optional(name: str) -> Any:
    try:
        return __import__(name)
    except ImportError:
        return None


def read_picture(path: Path, max_pixels: int = DEFAULT_MAX_PIXELS) -> Picture:
    if path.suffix.lower() == ".npy":
        return _read_npy(path)
    png = _read_png(path, max_pixels)
    if png is not None:
        return png
    Image = _pillow()
    from PIL import ImageFile

    # Never rows of grey in place of the missing end of a cut-short file.
    ImageFile.LOAD_TRUNCATED_IMAGES = False
    # Pillow's own limit (about 89 megapixels) would refuse a 100-megapixel camera's frames;
    # the size is checked against --max-pixels instead, before any pixel is decoded.
    Image.MAX_IMAGE_PIXELS = None
    try:
        with warnings.catch_warnings():
            # Pillow only warns when it skips what a damaged file no longer holds (EXIF or TIFF
            # tags cut short); the result would be written without it.
            warnings.filterwarnings("error", r".*(corrupt|truncat)", UserWarning)
            with Image.open(path) as image:
                return _from_pillow(image, path, max_pixels)
    except PictureError:
        raise
    except UserWarning as warning:
        raise _damaged(str(warning).strip()) from None
    except Image.UnidentifiedImageError:
        if path.suffix.lower() in (".tif", ".tiff") and _optional("tifffile"):
            return _read_tifffile(path)
        known = _known_start(path)
        if known is not None:
            raise _damaged(f"a {known} file whose header cannot be read") from None
        raise PictureError("not an image Pillow can read") from None
    except OSError as error:
        if error.errno:
            raise PictureError(_os_reason(error)) from None
        # Pillow's decoders report a damaged or cut-short file as an OSError with no errno.
        raise _damaged(str(error)) from None
    except (ValueError, SyntaxError, EOFError) as error:
        # Pillow's decoders report damaged files with these.
        raise _damaged(str(error)) from None


def _damaged(reason: str) -> PictureError:
    return PictureError(f"damaged or truncated image ({reason})")


def _known_start(path: Path) -> str | None:
    try:
        with open(path, "rb") as file:
            return wholeness.known_start(file.read(12))
    except OSError:
        return None


def _whole(path: Path, format_: str) -> bytes | None:
    """Refuses a cut-short or damaged JPEG, PNG or GIF file before it is decoded (libwebp
    refuses a cut WebP file itself); a JPEG file's bytes, read for the check, are given back
    for its decoder."""
    problem = None
    try:
        if format_ in ("JPEG", "MPO"):
            data = path.read_bytes()
            problem = wholeness.jpeg_problem(data)
            if problem is None:
                return data
        elif format_ == "PNG":
            problem = wholeness.png_problem(path.read_bytes(), check_image_data=True)
        elif format_ == "GIF":
            problem = wholeness.gif_problem(path.read_bytes())
    except OSError as error:
        raise PictureError(_os_reason(error)) from None
    if problem is not None:
        raise _damaged(problem)
    return None


def _os_reason(error: OSError) -> str:
    return error.strerror or str(error) if error.errno else str(error)


def _rawmode(image: Any) -> str:
    for tile in getattr(image, "tile", None) or ():
        args = tile[3] if len(tile) > 3 else None
        if isinstance(args, str):
            return args
        if isinstance(args, tuple) and args and isinstance(args[0], str):
            return args[0]
    return ""


def _from_pillow(image: Any, path: Path, max_pixels: int) -> Picture:
    frames = getattr(image, "n_frames", 1)
    if frames > 1:
        raise PictureError(f"has {frames} frames; only single images are supported")
    width, height = image.size
    if width * height > max_pixels:
        raise PictureError(f"has {width * height:,} pixels, more than {max_pixels:,} (raise --max-pixels to read it)")
    deep_colour = image.mode in ("RGB", "RGBA") and ";16" in _rawmode(image)
    format_ = image.format or "PNG"
    jpeg = _whole(path, format_)
    info = _metadata(image, path, format_)
    if deep_colour:
        deep = _read_deep_colour(path, format_, info)
        if deep is not None:
            return deep
    if format_ == "JPEG" and image.mode in ("L", "RGB") and jpeg is not None:
        fast = _read_jpeg(jpeg, image.mode, (height, width), info)
        if fast is not None:
            return fast
    image.load()
    mode = stored = image.mode
    if mode == "1":
        image, mode = image.convert("L"), "L"
    elif mode in ("P", "PA"):
        mode = "RGBA" if mode == "PA" or "transparency" in image.info else "RGB"
        image = image.convert(mode)
    if mode in ("L", "LA", "RGB", "RGBA"):
        picture = _split(np.asarray(image), mode, 8, format_, info)
        if deep_colour:
            picture.file_bits = 16
            picture.unreadable_depth = (f"16-bit colour {format_} is read by Pillow at 8 bits per channel "
                                        "(install tifffile and imagecodecs to keep 16 bits)")
        picture.mode = stored if stored in ("P", "PA") else mode
        return picture
    if mode.startswith("I;16") or mode == "I":
        # Older Pillow versions open 16-bit grey PNG files as 32-bit integers.
        data = np.asarray(image)
        if mode == "I" and data.size and (data.min() < 0 or data.max() > 65535):
            raise PictureError("32-bit integer images are not supported")
        picture = _split(data.astype(np.uint16, copy=False), "I;16", 16, format_, info)
        if mode == "I" and format_ == "TIFF":
            # Its values are 16-bit codes; the result is written at the file's 32 bits.
            picture.mode, picture.file_bits = "I", 32
        return picture
    if mode == "F":
        return Picture(None, np.array(image, dtype=np.float32), None, "F", 32, format_, info)
    raise PictureError(f"colour model {mode} is not supported (grey, RGB and RGBA are)")


def _split(data: NDArray[Any], mode: str, bits: int, format_: str, info: dict[str, Any]) -> Picture:
    alpha = None
    if mode in ("LA", "RGBA"):
        data, alpha = data[..., :-1], data[..., -1].copy()
        if mode == "LA":
            data = data[..., 0]
    return Picture(data, None, alpha, mode, bits, format_, info)


def _metadata(image: Any, path: Path, format_: str) -> dict[str, Any]:
    """What the result must carry of the source besides its pixels, as save options."""
    keep = ("icc_profile", "exif", "dpi", "comment", "xmp") if format_ != "PNG" else ("icc_profile", "exif", "dpi")
    info = {key: image.info[key] for key in keep if key in image.info}
    if format_ == "PNG":
        # Text chunks (Author, Copyright, XMP...) as they were, compressed or international.
        info["text"] = dict(getattr(image, "text", {}) or {})
    elif format_ == "JPEG":
        from PIL import JpegImagePlugin

        info["qtables"] = getattr(image, "quantization", None)
        info["subsampling"] = JpegImagePlugin.get_sampling(image)
        # IPTC lives in a Photoshop APP13 segment, which Pillow reads but does not write.
        info["extra"] = b"".join(b"\xff\xed" + struct.pack(">H", len(data) + 2) + data
                                 for marker, data in getattr(image, "applist", []) if marker == "APP13")
        info["progressive"] = bool(image.info.get("progressive"))
    elif format_ == "TIFF":
        if image.info.get("compression") in _TIFF_COMPRESSIONS:
            info["compression"] = image.info["compression"]
        tags = getattr(image, "tag_v2", {})
        info["tags"] = {tag: tags[tag] for tag in _TIFF_DESCRIPTIVE if tag in tags}
    elif format_ == "WEBP":
        info["lossless"] = _webp_is_lossless(path)
    return info


def _webp_is_lossless(path: Path) -> bool:
    """A WebP file's image chunk is VP8L when lossless, VP8 when lossy."""
    with open(path, "rb") as file:
        head = file.read(12)
        if head[:4] != b"RIFF" or head[8:12] != b"WEBP":
            return False
        while chunk := file.read(8):
            if len(chunk) < 8:
                break
            kind, size = chunk[:4], struct.unpack("<I", chunk[4:])[0]
            if kind in (b"VP8L", b"VP8 "):
                return kind == b"VP8L"
            file.seek(size + (size & 1), io.SEEK_CUR)
    return False


_PNG_MODES = {(0, 8): "L", (0, 16): "I;16", (2, 8): "RGB", (2, 16): "RGB", (4, 8): "LA", (4, 16): "LA",
              (6, 8): "RGBA", (6, 16): "RGBA"}


def _read_png(path: Path, max_pixels: int) -> Picture | None:
    """A plain PNG (grey or colour, 8 or 16 bits, with or without alpha) through imagecodecs,
    which decodes and encodes PNG several times faster than Pillow and at 16 bits in colour
    too; its descriptive chunks are kept whole for the result. None for whatever else
    (palettes, transparency chunks, animations, no imagecodecs): Pillow reads those."""
    imagecodecs = _optional("imagecodecs")
    if imagecodecs is None or path.suffix.lower() != ".png":
        return None
    try:
        data = path.read_bytes()
    except OSError as error:
        raise PictureError(_os_reason(error)) from None
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR" or len(data) < 33:
        return None
    width, height, depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", data[16:29])
    mode = _PNG_MODES.get((colour_type, depth))
    chunks, kinds = _png_chunks(data)
    if mode is None or interlace or kinds & {b"tRNS", b"acTL"}:
        return None
    if width * height > max_pixels:
        raise PictureError(f"has {width * height:,} pixels, more than {max_pixels:,} (raise --max-pixels to read it)")
    # libpng checks the image data's checksums itself, but not that the file goes on to its end.
    problem = wholeness.png_problem(data, check_image_data=False)
    if problem is not None:
        raise _damaged(problem)
    try:
        codes = imagecodecs.png_decode(data)
    except Exception as error:  # imagecodecs reports a damaged stream with its own error type
        raise _damaged(str(error)) from None
    bits = 16 if depth == 16 else 8
    return _split(codes, mode, bits, "PNG", {"chunks": chunks})


def _read_jpeg(data: bytes, mode: str, size: tuple[int, int], info: dict[str, Any]) -> Picture | None:
    """JPEG pixels through imagecodecs: the same libjpeg-turbo decoding as Pillow's, the very
    same values, without Pillow's extra copy of the image on the way to NumPy; about three
    times faster on a large photo. Pillow has read the metadata already."""
    imagecodecs = _optional("imagecodecs")
    if imagecodecs is None:
        return None
    try:
        codes = imagecodecs.jpeg8_decode(data)
    except Exception:  # whatever imagecodecs cannot decode, Pillow tries and reports on
        return None
    if codes.shape[:2] != size or codes.dtype != np.uint8 or (codes.ndim == 3) != (mode == "RGB"):
        return None
    return _split(codes, mode, 8, "JPEG", info)


def _read_deep_colour(path: Path, format_: str, info: dict[str, Any]) -> Picture | None:
    """16-bit colour at 16 bits, where a library for it is installed; None where none is."""
    if format_ == "TIFF" and _optional("tifffile"):
        picture = _read_tifffile(path)
        picture.info.update(info)
        return picture
    return None


def _png_chunks(data: bytes) -> tuple[list[bytes], set[bytes]]:
    """The descriptive chunks before the image data, whole (length, type, data, CRC), and
    the types of every chunk before it."""
    chunks, kinds, offset = [], set(), 8
    while offset + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[offset:offset + 8])
        if kind == b"IDAT":
            break
        kinds.add(kind)
        if kind in _PNG_DESCRIPTIVE:
            chunks.append(data[offset:offset + 12 + length])
        offset += 12 + length
    return chunks, kinds


def _read_tifffile(path: Path) -> Picture:
    import tifffile

    try:
        with tifffile.TiffFile(path) as tiff:
            if len(tiff.pages) > 1:
                raise PictureError(f"has {len(tiff.pages)} frames; only single images are supported")
            page = tiff.pages.first
            problem = wholeness.strips_problem(tuple(page.dataoffsets), tuple(page.databytecounts),
                                               tiff.filehandle.size)
            if problem is not None:
                raise _damaged(problem)
            # tifffile pads what it cannot decode with zeros, and says so only in its log.
            with wholeness.logged_warnings("tifffile") as warnings:
                data = page.asarray()
            if warnings:
                raise _damaged(warnings[0].splitlines()[0])
            extra = page.extrasamples
    except (tifffile.TiffFileError, ValueError) as error:
        raise PictureError(f"damaged, truncated or unsupported TIFF ({error})") from None
    except OSError as error:
        raise PictureError(_os_reason(error)) from None
    channels = 1 if data.ndim == 2 else data.shape[2]
    has_alpha = channels in (2, 4) and bool(extra)
    mode = {(1, False): "L", (2, True): "LA", (3, False): "RGB", (4, True): "RGBA"}.get((channels, has_alpha))
    if mode is None or data.ndim not in (2, 3):
        raise PictureError(f"a TIFF of shape {data.shape} is not supported (grey, RGB and RGBA are)")
    if data.dtype == np.float32:
        alpha = None
        if has_alpha:
            data, alpha = data[..., :-1], data[..., -1].copy()
            if mode == "LA":
                data = data[..., 0]
        return Picture(None, np.ascontiguousarray(data), alpha, mode, 32, "TIFF")
    if data.dtype not in (np.uint8, np.uint16):
        raise PictureError(f"TIFF samples of type {data.dtype} are not supported")
    bits = 8 if data.dtype == np.uint8 else 16
    return _split(data, mode if bits == 8 or channels > 1 else "I;16", bits, "TIFF", {})


def _read_npy(path: Path) -> Picture:
    try:
        data = np.load(path, allow_pickle=False)
    except OSError as error:
        raise PictureError(_os_reason(error)) from None
    except (ValueError, EOFError) as error:
        raise PictureError(f"damaged, truncated or not a .npy array ({error})") from None
    if not isinstance(data, np.ndarray) or data.dtype != np.float32:
        kind = data.dtype if isinstance(data, np.ndarray) else type(data).__name__
        raise PictureError(f".npy arrays must hold float32 values, this one holds {kind}")
    if data.ndim == 3 and data.shape[2] == 1:
        # One channel on its own axis is a grey image; the result keeps the array's shape.
        return Picture(None, data[..., 0], None, "npy", 32, "NPY", shape=data.shape)
    return Picture(None, data, None, "npy", 32, "NPY")


@dataclasses.dataclass(frozen=True)
class WriteSettings:
    as_float: bool = False
    overwrite: bool = False
    skip_existing: bool = False
    quality: int | None = None
    max_pixels: int = DEFAULT_MAX_PIXELS


def to_codes(floats: NDArray[Any], code_max: int) -> NDArray[Any]:
    """Float32 results in [0, 1] as rounded code values; `floats` is used up as scratch.

    pixalot's results are never NaN for what the command asks of it (both operations clamp),
    so no NaN pass is needed before the cast.
    """
    floats *= np.float32(code_max)
    np.rint(floats, out=floats)
    np.clip(floats, 0, code_max, out=floats)
    return floats.astype(np.uint8 if code_max == 255 else np.uint16)


def write_picture(picture: Picture, result: NDArray[Any], path: Path, settings: WriteSettings,
                  protected: set[Identity]) -> None:
    """Writes `result` (float32 pixels, or code values of the picture's type) with the
    picture's alpha and metadata, at the file's own bit depth or as float TIFF.

    The result appears under its name only once complete; an existing file is replaced only
    with `overwrite`, and a file in `protected` (the inputs) never.
    """
    shown = display(path)
    try:
        with placed(path, settings.overwrite, protected, shown) as file:
            if settings.as_float or picture.code_max is None:
                floats = result if result.dtype == np.float32 else _floats_of(picture, result)
                _write_float(picture, floats, file, settings.as_float)
            else:
                codes = result if result.dtype != np.float32 else to_codes(result, picture.code_max)
                _write_integer(picture, codes, file, settings.quality)
    except Refused as error:
        raise PictureError(str(error)) from None
    except PictureError:
        raise
    except OSError as error:
        raise PictureError(f"cannot write {shown}: {_os_reason(error)}") from None
    except (ValueError, KeyError, TypeError) as error:
        raise PictureError(f"cannot write {shown}: {error}") from None


def _floats_of(picture: Picture, codes: NDArray[Any]) -> NDArray[Any]:
    floats = codes.astype(np.float32)
    floats /= np.float32(picture.code_max)
    return floats


def _write_float(picture: Picture, pixels: NDArray[Any], file: BinaryIO, as_float: bool) -> None:
    if picture.format == "NPY" and not as_float:
        array = pixels.reshape(picture.shape) if picture.shape is not None else pixels
        np.save(file, np.ascontiguousarray(array, dtype=np.float32), allow_pickle=False)
        return
    if pixels.ndim not in (2, 3) or (pixels.ndim == 3 and pixels.shape[2] not in (1, 3)):
        raise PictureError(f"an array of shape {pixels.shape} has no float TIFF form; write it as .npy")
    channels = pixels if pixels.ndim == 2 or pixels.shape[2] != 1 else pixels[..., 0]
    if picture.alpha is not None:
        alpha = picture.alpha.astype(np.float32)
        if picture.code_max is not None:
            alpha /= np.float32(picture.code_max)
        channels = np.dstack([channels, alpha])
    tifffile = _optional("tifffile")
    if tifffile is None:
        if channels.ndim != 2:
            raise PictureError("colour float TIFF needs tifffile: pip install 'pixalot[cli]'")
        _pillow().fromarray(np.ascontiguousarray(channels), "F").save(file, format="TIFF")
        return
    tifffile.imwrite(file, np.ascontiguousarray(channels), photometric="minisblack" if channels.ndim == 2 or
                     channels.shape[2] == 2 else "rgb", extrasamples=("unassalpha",) if picture.alpha is not None
                     else None, compression="zlib", metadata=None)


def _write_integer(picture: Picture, codes: NDArray[Any], file: BinaryIO, quality: int | None) -> None:
    if picture.alpha is not None:
        codes = np.dstack([codes, picture.alpha])
    if picture.format == "PNG" and "chunks" in picture.info:
        _write_png(picture, codes, file)
        return
    if picture.bits == 16 and codes.ndim == 3:
        _write_deep_colour(picture, codes, file)
        return
    if picture.file_bits == 32:
        codes = codes.astype(np.int32)
    Image = _pillow()
    image = Image.fromarray(np.ascontiguousarray(codes))
    image.save(file, format=picture.format, **_save_options(picture, quality))


def _save_options(picture: Picture, quality: int | None) -> dict[str, Any]:
    info = picture.info
    options: dict[str, Any] = {key: info[key] for key in ("icc_profile", "dpi") if key in info}
    # Pixels are processed as stored; the orientation tag must come along for viewers to
    # turn the result as they turned the original.
    if "exif" in info and picture.format in ("JPEG", "PNG", "WEBP"):
        options["exif"] = info["exif"]
    if picture.format == "JPEG":
        options.update({key: info[key] for key in ("comment", "xmp", "extra") if info.get(key)})
        options["progressive"] = info.get("progressive", False)
        sampling = info.get("subsampling", -1)
        if sampling is not None and sampling >= 0:
            options["subsampling"] = sampling
        if quality is not None or not info.get("qtables"):
            options["quality"] = quality or LOSSY_QUALITY
        else:
            options["qtables"] = info["qtables"]
    elif picture.format == "WEBP":
        options.update({key: info[key] for key in ("xmp",) if info.get(key)})
        if info.get("lossless") and quality is None:
            # exact: the colour under fully transparent pixels is kept too, as it was.
            options.update(lossless=True, exact=True)
        else:
            options["quality"] = quality or LOSSY_QUALITY
    elif picture.format == "PNG":
        from PIL import PngImagePlugin

        text = PngImagePlugin.PngInfo()
        for key, value in info.get("text", {}).items():
            text.add_text(key, value, zip=len(value) > 1024)
        options["pnginfo"] = text
    elif picture.format == "TIFF":
        if "compression" in info:
            options["compression"] = info["compression"]
        if info.get("tags"):
            from PIL import TiffImagePlugin

            tags = TiffImagePlugin.ImageFileDirectory_v2()
            for tag, value in info["tags"].items():
                tags[tag] = value
            options["tiffinfo"] = tags
    elif picture.format == "GIF" and info.get("comment"):
        options["comment"] = info["comment"]
    return options


def _write_png(picture: Picture, codes: NDArray[Any], file: BinaryIO) -> None:
    import imagecodecs

    # Pillow's default compression level, so that results are no larger than before.
    data = imagecodecs.png_encode(np.ascontiguousarray(codes), level=6)
    # The encoder writes pixels only; the source's descriptive chunks go in before them.
    cut = 8 + 12 + struct.unpack(">I", data[8:12])[0]  # after the signature and IHDR
    with memoryview(data) as encoded:
        file.write(encoded[:cut])
        file.write(b"".join(picture.info["chunks"]))
        file.write(encoded[cut:])


_TIFFFILE_COMPRESSIONS = {"tiff_lzw": "lzw", "tiff_deflate": "zlib", "tiff_adobe_deflate": "zlib",
                          "packbits": "packbits"}


def _write_deep_colour(picture: Picture, codes: NDArray[Any], file: BinaryIO) -> None:
    codes = np.ascontiguousarray(codes)
    info = picture.info
    if picture.format == "TIFF":
        import tifffile

        tags = info.get("tags", {})
        extratags = [(tag, "s", 0, value, True) for tag, value in tags.items()
                     if isinstance(value, str) and tag not in (270, 305, 306)]
        compression = _TIFFFILE_COMPRESSIONS.get(info.get("compression", ""))
        options = dict(photometric="rgb", extrasamples=("unassalpha",) if codes.shape[2] == 4 else None,
                       compression=compression, description=tags.get(270), software=tags.get(305, False),
                       datetime=tags.get(306), iccprofile=info.get("icc_profile"), extratags=extratags,
                       metadata=None, resolution=info.get("dpi"),
                       resolutionunit="inch" if "dpi" in info else None)
        if compression is not None:
            tifffile.imwrite(file, codes, **options)
            return
        # Uncompressed pixels would reach the file through a bytes copy of the whole image (the
        # file has no descriptor for tifffile to write from the array): the layout is written
        # first, then the pixels straight from the array into their place.
        place = tifffile.imwrite(file, shape=codes.shape, dtype=codes.dtype, returnoffset=True, **options)
        if place is None:
            raise PictureError("tifffile gave no place for the pixels of a 16-bit colour TIFF")
        end = file.tell()
        file.seek(place[0])
        file.write(codes)
        file.seek(end)
        return
    raise PictureError(f"16-bit colour {picture.format} cannot be written")
