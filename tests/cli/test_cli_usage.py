"""What a user sees when something is wrong: one line that says what, a non-zero exit, no
traceback, no fault report, and no input ever replaced."""

import os
import re
import shutil
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import numpy as np
import pytest

from cli_helpers import Image, assert_one_line_error, codes, interpreter, launched, pixalot, run_main, save


@pytest.mark.parametrize("arguments, fragment", [
    (["levels", "missing.png"], "no such file or folder: missing.png"),
    (["gray", "photos", "missing"], "no such file or folder: missing"),
    (["stripes", "empty"], "no images in folder empty"),
    (["stripes", "--period", "0", "photos"], "--period: 0 is out of range (1 to 32767 pixels)"),
    (["stripes", "--period", "32768", "photos"], "--period: 32768 is out of range"),
    (["stripes", "--amplitude", "3", "photos"], "--amplitude: 3 is out of range"),
    (["levels", "--gamma", "0", "photos"], "--gamma: 0 is out of range"),
    (["levels", "--gamma", "nan", "photos"], "--gamma: not a finite number"),
    (["levels", "--in-low", "1.5", "photos"], "--in-low 1.5 is out of range"),
    (["levels", "--out-high", "120%", "photos"], "--out-high: 120% is out of range"),
    (["levels", "--in-low", "0.5", "--in-high", "50%", "photos"], "the input range is empty"),
    (["gray", "--tolerance", "2", "photos"], "--tolerance: 2 is out of range (0 to 1)"),
    (["gray", "--json", "--csv", "photos"], "not allowed with argument --json"),
    (["levels", "-o", "photos/a.png", "photos"], "cannot write to output folder photos/a.png: it is a file"),
    (["stripes", "-o", "photos/a.png/inside", "photos"], "cannot create output folder photos/a.png/inside"),
    (["levels", "--overwrite", "--skip-existing", "photos"], "not allowed with argument --overwrite"),
    (["levels", "--quality", "0", "photos"], "--quality: 0 is out of range (1 to 100)"),
    (["gray", "--max-pixels", "0", "photos"], "--max-pixels: 0 is out of range (at least 1)"),
    (["levels", "--threads", "1.5", "photos"], "--threads: not a whole number or 'auto': '1.5'"),
    (["stripes", "--threads", "1025", "photos"], "--threads: 1025 is out of range (1 to 1024, or auto)"),
    (["gray", "--threads", "-1", "photos"], "--threads: -1 is out of range (1 to 1024, or auto)"),
    (["shrink", "photos"], "invalid choice: 'shrink'"),
], ids=lambda value: " ".join(value) if isinstance(value, list) else None)
def test_a_command_that_cannot_start_says_why_in_one_line_and_exits_2(tmp_path, photos, arguments, fragment,
                                                                     monkeypatch, capsys):
    (tmp_path / "empty").mkdir()
    monkeypatch.chdir(tmp_path)
    completed = run_main(arguments, capsys)
    assert_one_line_error(completed, 2, fragment)
    assert completed.stdout == ""
    assert sorted(path.name for path in photos.iterdir()) == ["a.png", "b.png"]


@pytest.mark.launches
def test_an_unreachable_dask_scheduler_is_one_line(tmp_path, photos):
    pytest.importorskip("dask.distributed")
    completed = launched("levels", "--dask", "nowhere://x", "photos", cwd=tmp_path)
    assert_one_line_error(completed, 2, "cannot reach the Dask scheduler at nowhere://x")


def fault_and_file_cases(folder: Path):
    np.save(folder / "four-axes.npy", np.zeros((2, 2, 2, 2), np.float32))
    np.save(folder / "two-channels.npy", np.zeros((4, 4, 2), np.float32))
    np.save(folder / "no-rows.npy", np.zeros((0, 4, 3), np.float32))
    np.save(folder / "float64.npy", np.zeros((4, 4, 3)))
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n not really")
    (folder / "notes.png").write_bytes(b"not an image at all")
    Image.new("CMYK", (4, 4)).save(folder / "cmyk.jpg")
    save(folder / "frames.tif", codes("L"), save_all=True, append_images=[Image.fromarray(codes("L"))])


@pytest.mark.parametrize("command, name, reason", [
    ("stripes", "four-axes.npy", "pixalot faulted: ndarray: index out of bounds"),
    ("gray", "two-channels.npy", "pixalot faulted: assertion failed: index < dim"),
    ("gray", "no-rows.npy", "pixalot faulted: called `unwrap()` on an empty value"),
    ("levels", "float64.npy", ".npy arrays must hold float32 values, this one holds float64"),
    ("gray", "broken.png", "damaged or truncated image (a PNG file whose header cannot be read)"),
    ("gray", "notes.png", "not an image Pillow can read"),
    ("stripes", "cmyk.jpg", "colour model CMYK is not supported"),
    ("levels", "frames.tif", "has 2 frames; only single images are supported"),
])
def test_a_file_that_fails_is_named_with_its_reason_and_the_batch_goes_on(tmp_path, photos, command, name, reason):
    fault_and_file_cases(tmp_path)
    completed = pixalot(command, name, "photos", "-j", "1", cwd=tmp_path)
    assert_one_line_error(completed, 1, f"pixalot {command}: {name}: {reason}")
    assert "panicked" not in completed.stderr
    summary = completed.stdout.splitlines()[-1]
    assert summary in ("2 written, 1 failed", "3 files: 1 grey, 1 colour, 1 failed")


def test_a_code_value_beyond_the_files_type_fails_that_file_only(tmp_path):
    save(tmp_path / "eight.png", codes("L"))
    save(tmp_path / "sixteen.png", codes("I;16"))
    completed = pixalot("levels", "--codes", "--in-high", "1000", "eight.png", "sixteen.png", cwd=tmp_path)
    assert_one_line_error(completed, 1, "eight.png: --in-high 1000 is out of range for an 8-bit image (0 to 255)")
    assert (tmp_path / "sixteen-levels.png").exists() and not (tmp_path / "eight-levels.png").exists()


def test_results_are_never_written_over_inputs_or_earlier_results_unasked(tmp_path, photos):
    before = {path: path.read_bytes() for path in photos.iterdir()}
    completed = pixalot("stripes", "photos", "-o", "photos", cwd=tmp_path)
    assert_one_line_error(completed, 2, "output folder photos is the input folder photos")
    assert {path: path.read_bytes() for path in photos.iterdir()} == before

    assert pixalot("stripes", "photos", cwd=tmp_path).returncode == 0
    first = (photos / "a-stripes.png").read_bytes()
    again = pixalot("stripes", "--amplitude", "0.5", "photos", cwd=tmp_path)
    # The folder scan leaves out the first run's results instead of striping them again.
    assert again.returncode == 1
    assert again.stderr.splitlines() == [
        f"pixalot stripes: photos/{name}.png: photos/{name}-stripes.png exists (use --overwrite to replace it, "
        "or --skip-existing)"
        for name in ("a", "b")]
    assert (photos / "a-stripes.png").read_bytes() == first
    assert pixalot("stripes", "--amplitude", "0.5", "--overwrite", "photos", cwd=tmp_path).returncode == 0
    assert (photos / "a-stripes.png").read_bytes() != first
    assert not list(photos.glob("*-stripes-stripes*"))


def test_two_inputs_of_one_name_do_not_share_a_result(tmp_path):
    for folder in ("left", "right"):
        (tmp_path / folder).mkdir()
        save(tmp_path / folder / "same.png", codes("L"))
    completed = pixalot("levels", "left/same.png", "right/same.png", "-o", "out", cwd=tmp_path)
    assert_one_line_error(completed, 1, "right/same.png: refusing to write",
                          "the result of left/same.png goes there too")


def test_folders_keep_their_layout_under_the_output_folder_with_r(tmp_path, photos):
    (photos / "inner").mkdir()
    save(photos / "inner" / "c.tif", codes("RGBA"))
    (photos / ".hidden.png").write_bytes(b"")
    (photos / "notes.txt").write_text("not an image")
    assert pixalot("levels", "photos", "-o", "out", cwd=tmp_path).stdout.splitlines()[-1] == "2 written"
    completed = pixalot("levels", "-r", "--overwrite", "photos", "-o", "out", cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    assert sorted(str(p.relative_to(tmp_path / "out")) for p in (tmp_path / "out").rglob("*.*")) == [
        ".pixalot-results", "a.png", "b.png", "inner/c.tif"]


@pytest.mark.parametrize("command", ["levels", "stripes", "gray", "demo"])
def test_each_commands_help_shows_an_example(tmp_path, command):
    completed = pixalot(command, "--help", cwd=tmp_path)
    assert completed.returncode == 0
    assert "Example:" in completed.stdout and f"pixalot {command}" in completed.stdout.split("Example:")[1]
    assert "%%" not in completed.stdout, "argparse does not unescape % in epilogs"


@pytest.mark.launches
def test_the_console_script_is_installed_beside_the_interpreter(tmp_path):
    try:
        metadata.distribution("pixalot")
    except metadata.PackageNotFoundError:
        pytest.skip("pixalot runs from a source tree here, not from an installed wheel")
    script = shutil.which("pixalot", path=os.path.dirname(sys.executable))
    assert script, "the wheel did not install the pixalot console script"
    completed = subprocess.run(interpreter("--version", program=script), capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0 and completed.stdout.startswith("pixalot ")


@pytest.mark.launches
def test_a_progress_bar_appears_only_on_a_terminal(tmp_path, photos):
    pytest.importorskip("tqdm")
    import fcntl
    import pty
    import struct
    import termios

    quiet = pixalot("gray", "photos", cwd=tmp_path)
    assert (quiet.returncode, quiet.stderr) == (0, "")
    controller, terminal = pty.openpty()
    # A new pseudo-terminal is 0 columns wide, and tqdm draws nothing into no room.
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    try:
        completed = launched("gray", "photos", cwd=tmp_path, stderr=terminal)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal's far side is closed: everything has been read
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
    assert completed.returncode == 0
    assert b"0/2 [" in shown and b"file/s" in shown
    assert completed.stdout == quiet.stdout


@pytest.mark.launches
def test_a_name_the_terminal_cannot_show_is_shown_replaced_not_fatal(tmp_path):
    save(tmp_path / "写真.png", codes("L"))
    completed = launched("levels", "写真.png", cwd=tmp_path, env={"PYTHONIOENCODING": "latin-1"})
    assert (completed.returncode, completed.stderr) == (0, "")
    assert completed.stdout.splitlines() == ["??.png -> ??-levels.png", "1 written"]
    assert (tmp_path / "写真-levels.png").exists()


LIGHT_START = """
import sys
from pixalot_cli.cli import main

for arguments in sys.argv[1:]:
    try:
        main(arguments.split())
    except SystemExit:
        pass
    loaded = {name.split(".")[0] for name in sys.modules}
    heavy = {"numpy", "PIL", "pixalot", "tifffile", "imagecodecs", "dask"} & loaded
    print(arguments, "loads", ", ".join(sorted(heavy)) or "nothing heavy", file=sys.stderr)
"""

LIGHT_ARGUMENTS = ["--help", "levels --help", "stripes --help", "gray --help", "demo --help", "--version",
                   "shrink photos", "stripes --period 0 photos", "levels --in-low 1.5 photos",
                   "levels --in-low 0.5 --in-high 50% photos", "gray --json --csv photos",
                   "stripes --threads 0.5 photos", "gray --threads 2 --dask tcp://127.0.0.1:1 photos"]


@pytest.mark.launches
def test_help_and_option_errors_start_without_numpy_pillow_or_the_module(tmp_path):
    """One fresh interpreter for all of them, each checked after the one before."""
    completed = subprocess.run(interpreter("-c", LIGHT_START, *LIGHT_ARGUMENTS), cwd=tmp_path,
                               capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    verdicts = [line for line in completed.stderr.splitlines() if " loads " in line]
    assert verdicts == [f"{arguments} loads nothing heavy" for arguments in LIGHT_ARGUMENTS], completed.stderr
    assert re.search(r"^pixalot \S+$", completed.stdout, re.MULTILINE), "--version says no version"
