"""The command reads and writes every supported kind of file faithfully, and its results are
the operations' results."""

import numpy as np
import pytest

from cli_helpers import CODE_MAX, Image, codes, colour_16_bit_png, load, pixalot, save, sine_table

IDENTITY = ["--in-low", "0", "--in-high", "1", "--out-low", "0", "--out-high", "1", "--gamma", "1"]

LOSSLESS = [
    ("L", "png"), ("LA", "png"), ("RGB", "png"), ("RGBA", "png"), ("I;16", "png"),
    ("L", "tif"), ("LA", "tif"), ("RGB", "tif"), ("RGBA", "tif"), ("I;16", "tif"),
    ("L", "bmp"), ("RGB", "bmp"),
]


@pytest.mark.parametrize("mode, extension", LOSSLESS, ids=[f"{m}-{e}" for m, e in LOSSLESS])
def test_an_identity_levels_run_gives_back_every_lossless_file_exactly(tmp_path, mode, extension):
    values = codes(mode)
    save(tmp_path / f"in.{extension}", values)
    completed = pixalot("levels", *IDENTITY, f"in.{extension}", cwd=tmp_path)
    assert (completed.returncode, completed.stderr) == (0, "")
    assert completed.stdout.splitlines() == [f"in.{extension} -> in-levels.{extension}", "1 written"]
    assert load(tmp_path / f"in-levels.{extension}")[0] == mode
    np.testing.assert_array_equal(load(tmp_path / f"in-levels.{extension}")[1], values)


@pytest.mark.parametrize("mode, extension", [("L", "jpg"), ("RGB", "jpg"), ("RGB", "webp"), ("RGBA", "webp")])
def test_lossy_formats_keep_their_mode_and_size_and_stay_close(tmp_path, mode, extension):
    smooth = np.linspace(0, 255, 24 * 20, dtype=np.float64).reshape(24, 20)
    values = np.dstack([smooth] * {"L": 1, "RGB": 3, "RGBA": 4}[mode]).astype(np.uint8)
    save(tmp_path / f"in.{extension}", values[..., 0] if mode == "L" else values, quality=100)
    source = load(tmp_path / f"in.{extension}")[1].astype(int)
    assert pixalot("stripes", "--amplitude", "0", f"in.{extension}", cwd=tmp_path).returncode == 0
    result_mode, result = load(tmp_path / f"in-stripes.{extension}")
    assert result_mode == mode and result.shape == source.shape
    assert np.abs(result.astype(int) - source).mean() < 3


@pytest.mark.parametrize("mode", ["L", "RGB", "RGBA", "LA", "I;16"])
def test_levels_follow_the_formula_at_the_files_bit_depth_and_leave_alpha_alone(tmp_path, mode):
    values = codes(mode)
    save(tmp_path / "in.png", values)
    low, high, out_low, out_high, gamma = 0.2, 0.7, 0.1, 0.9, 1.7
    completed = pixalot("levels", "--in-low", low, "--in-high", high, "--out-low", out_low,
                        "--out-high", out_high, "--gamma", gamma, "in.png", cwd=tmp_path)
    assert (completed.returncode, completed.stderr) == (0, "")
    result_mode, result = load(tmp_path / "in-levels.png")
    assert result_mode == mode

    top = CODE_MAX[mode]
    has_alpha = mode in ("LA", "RGBA")
    colour = values[..., :-1] if has_alpha else values
    mapped = np.clip((colour / top - low) / (high - low) * (out_high - out_low) + out_low, 0, 1) ** gamma
    produced = result[..., :-1] if has_alpha else result
    assert np.abs(produced.astype(int) - np.rint(mapped * top)).max() <= 1
    if has_alpha:
        np.testing.assert_array_equal(result[..., -1], values[..., -1])


@pytest.mark.parametrize("horizontal, slant, expected_index", [
    (False, 0.0, lambda i, j, p: j % p),
    (True, 0.0, lambda i, j, p: (-i) % p),  # the horizontal wave runs backwards through the table
    (False, 1.0, lambda i, j, p: (j - i) % p),
], ids=["vertical", "horizontal", "slanted"])
@pytest.mark.parametrize("mode", ["L", "RGB"])
def test_stripes_add_the_sine_wave_to_every_channel(tmp_path, mode, horizontal, slant, expected_index):
    values = np.full((12, 18, 3) if mode == "RGB" else (12, 18), 128, np.uint8)
    if mode == "RGB":
        values[..., 1] = 40
    save(tmp_path / "in.png", values)
    period, amplitude = 6, 0.3
    options = ["--period", period, "--amplitude", amplitude, "--slant", slant]
    options += ["--horizontal"] if horizontal else []
    assert pixalot("stripes", *options, "in.png", cwd=tmp_path).returncode == 0

    rows, columns = np.indices(values.shape[:2])
    wave = sine_table(period, amplitude)[expected_index(rows, columns, period)]
    if mode == "RGB":
        wave = wave[..., None]
    expected = np.rint(np.clip(values / 255 + wave, 0, 1) * 255)
    assert np.abs(load(tmp_path / "in-stripes.png")[1].astype(int) - expected).max() <= 1


def test_code_values_are_read_at_each_files_own_bit_depth(tmp_path):
    save(tmp_path / "eight.png", np.array([[0, 16, 128, 235, 255]], np.uint8))
    save(tmp_path / "sixteen.png", np.array([[0, 4096, 32768, 60160, 65535]], np.uint16))
    completed = pixalot("levels", "--codes", "--in-low", "16", "--in-high", "235", "eight.png", cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    np.testing.assert_array_equal(load(tmp_path / "eight-levels.png")[1], [[0, 0, round(112 / 219 * 255), 255, 255]])
    completed = pixalot("levels", "--codes", "--in-low", "4096", "--in-high", "60160", "sixteen.png", cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    result = load(tmp_path / "sixteen-levels.png")[1]
    assert result[0, 0] == result[0, 1] == 0 and result[0, 3] == result[0, 4] == 65535
    assert abs(int(result[0, 2]) - round((32768 - 4096) / (60160 - 4096) * 65535)) <= 1


@pytest.mark.parametrize("mode", ["L", "I;16", "RGB", "RGBA", "LA"])
def test_float_results_are_32_bit_tiff_with_alpha_as_an_extra_channel(tmp_path, mode):
    tifffile = pytest.importorskip("tifffile")
    values = codes(mode)
    save(tmp_path / "in.png", values)
    completed = pixalot("levels", *IDENTITY[:-1], "2", "--float", "in.png", cwd=tmp_path)
    assert (completed.returncode, completed.stderr) == (0, "")
    with tifffile.TiffFile(tmp_path / "in-levels.tif") as tiff:
        page = tiff.pages[0]
        result = page.asarray()
        assert result.dtype == np.float32
        assert [int(kind) for kind in page.extrasamples] == ([2] if mode in ("LA", "RGBA") else [])
    expected = values / CODE_MAX[mode]
    if mode in ("LA", "RGBA"):
        np.testing.assert_allclose(result[..., -1], expected[..., -1], atol=1e-7)
        result, expected = result[..., :-1], expected[..., :-1]
    np.testing.assert_allclose(result, expected.reshape(result.shape) ** 2, atol=1e-6)


def test_a_grey_float_result_reads_back_in_pillow_and_can_be_processed_again(tmp_path):
    save(tmp_path / "in.png", codes("L"))
    assert pixalot("stripes", "--float", "--amplitude", "0", "in.png", cwd=tmp_path).returncode == 0
    mode, first = load(tmp_path / "in-stripes.tif")
    assert mode == "F"
    np.testing.assert_allclose(first, codes("L") / 255, atol=1e-7)
    completed = pixalot("levels", *IDENTITY, "in-stripes.tif", cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    np.testing.assert_array_equal(load(tmp_path / "in-stripes-levels.tif")[1], first)


def test_float32_npy_arrays_go_through_as_they_are(tmp_path):
    array = np.linspace(-0.5, 1.5, 2 * 3 * 5, dtype=np.float32).reshape(2, 3, 5)
    np.save(tmp_path / "data.npy", array)
    assert pixalot("levels", *IDENTITY, "data.npy", cwd=tmp_path).returncode == 0
    np.testing.assert_array_equal(np.load(tmp_path / "data-levels.npy"), np.clip(array, 0, 1))


def test_16_bit_colour_is_classified_but_not_rewritten_at_8_bits_without_its_codecs(tmp_path):
    try:
        import imagecodecs  # noqa: F401
        pytest.skip("imagecodecs is installed: 16-bit colour PNG is read at 16 bits")
    except ImportError:
        pass
    colour_16_bit_png(tmp_path / "deep.png")
    completed = pixalot("levels", "deep.png", cwd=tmp_path)
    assert completed.returncode == 1
    assert "16-bit colour PNG is read by Pillow at 8 bits per channel" in completed.stderr
    assert not (tmp_path / "deep-levels.png").exists()
    assert pixalot("gray", "deep.png", cwd=tmp_path).stdout.startswith("colour deep.png\n")


@pytest.mark.parametrize("extension", ["jpg", "png", "webp"])
def test_the_orientation_tag_comes_along_so_viewers_turn_the_result_alike(tmp_path, extension):
    exif = Image.Exif()
    exif[0x0112] = 6  # stored sideways: turn 90 degrees clockwise to show
    save(tmp_path / f"turned.{extension}", codes("RGB"), exif=exif)
    assert pixalot("levels", f"turned.{extension}", cwd=tmp_path).returncode == 0
    with Image.open(tmp_path / f"turned-levels.{extension}") as result:
        assert result.getexif().get(0x0112) == 6
