"""Times the `pixalot` command against ten-line scripts that use the same codecs and settings.

    python benchmarks/bench_cli.py [--photos DIR] [--repeats N]

Cases, each run as a fresh process, wall time and peak memory (the child's max RSS):
  - levels over a folder of sample photographs (scikit-image's own PNG and JPEG samples
    unless --photos names a folder), -j 1, against an OpenCV script with a 256-entry lookup
    table writing PNG at Pillow's default compression level (6) and JPEG at quality 95;
  - the same folder with -j 2 against -j 1;
  - levels on a 48-megapixel JPEG, against the same OpenCV script;
  - stripes on the 48-megapixel JPEG, against a Pillow + NumPy float32 script, and its peak
    memory against the decoded float32 image.
The figure of each case is the median of --repeats runs. Ratios above 1 mean pixalot is slower.
On a shared machine timings vary from run to run: read the ratios, not the milliseconds.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

OPENCV_LEVELS = textwrap.dedent("""\
    import sys, pathlib, numpy as np, cv2
    source, target = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    codes = np.arange(256, dtype=np.float32) / np.float32(255)
    table = np.clip((codes - np.float32(0.05)) / np.float32(0.9), 0, 1)
    table = np.clip(np.rint(table * np.float32(255)), 0, 255).astype(np.uint8)
    files = [source] if source.is_file() else sorted(p for p in source.iterdir() if p.suffix in (".png", ".jpg"))
    for path in files:
        image = cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
        colour = image[..., :3] if image.ndim == 3 and image.shape[2] == 4 else image
        colour[...] = cv2.LUT(colour, table)
        options = [cv2.IMWRITE_PNG_COMPRESSION, 6] if path.suffix == ".png" else [cv2.IMWRITE_JPEG_QUALITY, 95]
        cv2.imwrite(str(target / path.name), image, options)
""")

NUMPY_STRIPES = textwrap.dedent("""\
    import sys, numpy as np
    from PIL import Image
    Image.MAX_IMAGE_PIXELS = None
    with Image.open(sys.argv[1]) as image:
        pixels = np.asarray(image).astype(np.float32)
    pixels /= np.float32(255)
    wave = (np.float32(0.15) * np.sin(np.arange(32, dtype=np.float32) * np.float32(6.28 / 32))).astype(np.float32)
    pixels += np.resize(wave, pixels.shape[1])[None, :, None]
    np.clip(pixels, 0, 1, out=pixels)
    pixels *= np.float32(255)
    np.rint(pixels, out=pixels)
    Image.fromarray(pixels.astype(np.uint8)).save(sys.argv[2], quality=95)
""")


def run(command: list[str]) -> tuple[float, float]:
    """Wall seconds and peak resident megabytes of one run of `command`."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    errors = process.stderr.read().decode() if process.stderr else ""
    if process.returncode not in (0,):
        raise SystemExit(f"{' '.join(command)} failed ({process.returncode}): {errors}")
    return elapsed, usage.ru_maxrss / 1024


def median_run(command: list[str], repeats: int, before=lambda: None) -> tuple[float, float]:
    results = []
    for _ in range(repeats):
        before()
        results.append(run(command))
    return statistics.median(r[0] for r in results), max(r[1] for r in results)


def sample_photos(folder: Path) -> Path:
    try:
        import skimage
    except ImportError:
        raise SystemExit("the sample photos come with scikit-image: pip install scikit-image "
                         "(or name a folder with --photos)") from None
    data = Path(skimage.__file__).parent / "data"
    target = folder / "photos"
    target.mkdir()
    for path in sorted(data.iterdir()):
        if path.suffix in (".png", ".jpg") and path.stat().st_size > 20_000:
            shutil.copy(path, target / path.name)
    return target


def big_jpeg(folder: Path, photos: Path) -> Path:
    """A 48-megapixel photograph-like JPEG (8000x6000, 4:2:0, quality 90) from a sample."""
    from PIL import Image

    source = max((p for p in photos.iterdir() if p.suffix == ".jpg"), key=lambda p: p.stat().st_size)
    with Image.open(source) as image:
        big = image.convert("RGB").resize((8000, 6000), Image.Resampling.BICUBIC)
    path = folder / "big.jpg"
    big.save(path, quality=90, subsampling=2)
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--photos", type=Path, help="a folder of PNG and JPEG photographs")
    parser.add_argument("--repeats", type=int, default=3)
    options = parser.parse_args()
    python = sys.executable
    pixalot = [python, "-m", "pixalot_cli"]
    with tempfile.TemporaryDirectory() as scratch:
        root = Path(scratch)
        photos = options.photos or sample_photos(root)
        files = sorted(p for p in photos.iterdir() if p.suffix in (".png", ".jpg"))
        size = sum(p.stat().st_size for p in files) / 1e6
        big = big_jpeg(root, photos)
        for name in ("reference", "one", "two", "big"):
            (root / name).mkdir()

        def fresh(name: str):
            return lambda: [p.unlink() for p in (root / name).iterdir()]

        folder = photos if options.photos is None else photos
        rows = []
        ref, ref_mb = median_run([python, "-c", OPENCV_LEVELS, str(folder), str(root / "reference")], options.repeats)
        one, one_mb = median_run(pixalot + ["levels", "-j", "1", str(folder), "-o", str(root / "one"), "--no-progress",
                                            "--in-low", "0.05", "--in-high", "0.95"], options.repeats, fresh("one"))
        two, _ = median_run(pixalot + ["levels", "-j", "2", str(folder), "-o", str(root / "two"), "--no-progress"],
                            options.repeats, fresh("two"))
        rows.append((f"levels, {len(files)} photos ({size:.1f} MB), -j 1 vs OpenCV LUT script", one, ref, 1.2))
        rows.append(("levels, same folder, -j 2 vs -j 1", two, one, 1.0))
        big_ref, big_ref_mb = median_run([python, "-c", OPENCV_LEVELS, str(big), str(root / "reference")],
                                         options.repeats)
        big_one, big_mb = median_run(pixalot + ["levels", str(big), "-o", str(root / "big"), "--no-progress"],
                                     options.repeats, fresh("big"))
        rows.append(("levels, 48 MP JPEG vs OpenCV LUT script: time", big_one, big_ref, 1.5))
        rows.append(("levels, 48 MP JPEG vs OpenCV LUT script: peak memory", big_mb, big_ref_mb, 1.5))
        stripes_ref, stripes_ref_mb = median_run([python, "-c", NUMPY_STRIPES, str(big), str(root / "ref.jpg")],
                                                 options.repeats)
        stripes, stripes_mb = median_run(pixalot + ["stripes", str(big), "-o", str(root / "big"), "--no-progress"],
                                         options.repeats, fresh("big"))
        decoded_mb = 8000 * 6000 * 3 * 4 / 2**20
        rows.append(("stripes, 48 MP JPEG vs NumPy float32 script: time", stripes, stripes_ref, 2.0))
        rows.append(("stripes, 48 MP JPEG: peak memory vs decoded float32 image", stripes_mb, decoded_mb, 2.5))

    print(f"{'case':<62} {'pixalot':>9} {'reference':>10} {'ratio':>6} {'target':>7}")
    for case, ours, theirs, target in rows:
        unit = "MB" if "memory" in case else "s"
        ratio = ours / theirs
        mark = "ok" if ratio <= target else "MISSED"
        print(f"{case:<62} {ours:>7.2f}{unit:>2} {theirs:>8.2f}{unit:>2} {ratio:>6.2f} {'<= ' + str(target):>7} {mark}")
    print(f"(peak memory of the OpenCV script on the folder: {ref_mb:.0f} MB, of pixalot: {one_mb:.0f} MB; "
          f"stripes reference script: {stripes_ref_mb:.0f} MB)")


if __name__ == "__main__":
    main()
