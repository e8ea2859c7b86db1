"""Which files a run takes and what it promises to do with them: the dry run tells what the
run does, folder scans take photos and never results, filters pick what users mean, and
every name prints on one line."""

import csv
import io
import json
import os

import pytest

from cli_helpers import assert_one_line_error, codes, colourful, pixalot, run_main, save


def listing(folder):
    return sorted(str(path.relative_to(folder)) for path in folder.rglob("*"))


def contents(folder):
    return {str(path.relative_to(folder)): path.read_bytes() for path in folder.rglob("*") if path.is_file()}


def mixed_folder(root):
    """A folder with every situation a plan decides before reading a file, for results
    written beside the inputs and into `out`."""
    folder = root / "mixed"
    (root / "out").mkdir()
    folder.mkdir()
    for name in ("aardvark", "fresh", "done", "linked", "boxed"):
        save(folder / f"{name}.png", codes("L", seed=len(name)))
    # An earlier result, beside and in the output folder.
    save(folder / "done-levels.png", codes("L"))
    save(root / "out" / "done.png", codes("L"))
    # A hard link to an input where its result goes.
    os.link(folder / "linked.png", folder / "linked-levels.png")
    os.link(folder / "linked.png", root / "out" / "linked.png")
    # A folder where a result goes.
    (folder / "boxed-levels.png").mkdir()
    (root / "out" / "boxed.png").mkdir()
    (folder / "gone.png").symlink_to("nowhere.png")
    # A broken link whose earlier result stands: --skip-existing leaves it alone.
    (folder / "orphan.png").symlink_to("nowhere.png")
    save(folder / "orphan-levels.png", codes("L"))
    save(root / "out" / "orphan.png", codes("L"))


def as_run(text):
    return text.replace("would be written", "written").replace("would fail", "failed")


@pytest.mark.parametrize("options", [[], ["--skip-existing"], ["--overwrite"], ["-o", "out"],
                                     ["-o", "out", "--skip-existing"], ["-o", "out", "--overwrite"]],
                         ids=" ".join)
def test_a_dry_run_says_what_the_run_then_does(tmp_path, monkeypatch, capsys, options):
    mixed_folder(tmp_path)
    monkeypatch.chdir(tmp_path)
    before = contents(tmp_path)
    dry = run_main(["levels", "mixed", "-n", *options], capsys)
    assert contents(tmp_path) == before, "the dry run wrote something"
    real = run_main(["levels", "mixed", *options], capsys)
    assert (dry.returncode, as_run(dry.stdout), as_run(dry.stderr)) == (real.returncode, real.stdout, real.stderr)
    assert real.returncode == 1 and "mixed/gone.png: a link to nothing" in real.stderr
    assert ("mixed/orphan.png: skipped" in real.stdout) == ("--skip-existing" in options)
    # Every line that promised a result kept its promise, and nothing else was written.
    promised = {line.split(" -> ")[1] for line in real.stdout.splitlines() if " -> " in line}
    assert "mixed/fresh.png -> " in real.stdout
    after = contents(tmp_path)
    # out/ already held a file, so it is not marked as an output folder of ours.
    assert {name for name in after if before.get(name) != after[name]} == promised
    assert all((tmp_path / name).is_file() and (tmp_path / name).stat().st_nlink == 1 for name in promised)


@pytest.mark.parametrize("options", [["-n"], ["-n", "--skip-existing"], ["--skip-existing"]])
@pytest.mark.parametrize("into", ["beside", "out"])
def test_a_hard_link_to_an_input_under_the_results_name_is_refused_in_every_mode(tmp_path, monkeypatch, capsys,
                                                                                 options, into):
    save(tmp_path / "a.png", codes("RGB"))
    result = "a-levels.png" if into == "beside" else "out/a.png"
    (tmp_path / "out").mkdir()
    os.link(tmp_path / "a.png", tmp_path / result)
    monkeypatch.chdir(tmp_path)
    completed = run_main(["levels", "a.png", *options, *(["-o", "out"] if into == "out" else [])], capsys)
    assert_one_line_error(completed, 1, f"a.png: refusing to write {result}: it is one of the inputs")
    assert completed.stdout.splitlines()[-1].endswith(("1 would fail", "1 failed"))


def test_a_named_pipe_where_a_photo_should_be_is_refused_not_waited_on(tmp_path):
    (tmp_path / "in").mkdir()
    save(tmp_path / "in" / "a.png", codes("L"))
    os.mkfifo(tmp_path / "in" / "pipe.png")
    for command in ("levels", "gray"):
        completed = pixalot(command, "in", cwd=tmp_path)
        assert_one_line_error(completed, 1, f"pixalot {command}: in/pipe.png: not a regular file")


@pytest.mark.parametrize("arguments, fragment", [
    (["-r", "photos", "-o", "photos"], "output folder photos is the input folder photos"),
    (["photos", "-o", "photos/../photos/"], "is the input folder photos"),
    (["photos", "-o", "alias"], "output folder alias is the input folder photos"),
    (["photos/a.png", "photos/b.png", "-o", "photos"],
     "results in output folder photos would take the names of their inputs (photos/a.png and 1 more)"),
    (["photos/a.png", "-o", "alias"], "would take the names of their inputs (alias/a.png)"),
    (["photos", "-o", "photos/a.png"], "cannot write to output folder photos/a.png: it is a file"),
    (["photos", "-o", "photos/a.png/inside/deeper"],
     "cannot create output folder photos/a.png/inside/deeper: photos/a.png is not a folder"),
], ids=lambda value: " ".join(value) if isinstance(value, list) else None)
@pytest.mark.parametrize("dry", [[], ["-n"]], ids=["run", "dry run"])
def test_an_output_folder_that_cannot_take_the_results_is_one_start_up_error(tmp_path, photos, monkeypatch, capsys,
                                                                             arguments, fragment, dry):
    (photos / "inner").mkdir()
    save(photos / "inner" / "c.png", codes("L"))
    (tmp_path / "alias").symlink_to("photos")
    monkeypatch.chdir(tmp_path)
    before = listing(tmp_path)
    completed = run_main(["stripes", *arguments, *dry], capsys)
    assert_one_line_error(completed, 2, fragment)
    assert completed.stdout == "" and listing(tmp_path) == before


@pytest.mark.parametrize("names, taken", [
    # Results beside their input, of every command and in every chain, are not photos.
    (["a.png", "a-levels.png", "a-stripes.png", "a-stripes-levels.png", "a-levels-levels.tif"], ["a.png"]),
    (["a.jpg", "a-levels.tif", "a-stripes-stripes.jpg"], ["a.jpg"]),
    # Alone, the same names are photos: of sea levels, say.
    (["sea-levels.png", "sea-levels-stripes.png"], ["sea-levels.png"]),
    (["sea-levels.png", "sea-levels-x.png"], ["sea-levels-x.png", "sea-levels.png"]),
    # A killed run's temporary file is hidden and never taken.
    (["b.png", ".b-levels.png.0123456789abcdef.part"], ["b.png"]),
])
@pytest.mark.parametrize("command", ["levels", "stripes", "gray"])
def test_a_folder_scan_never_takes_results_for_photos(tmp_path, monkeypatch, capsys, names, taken, command):
    (tmp_path / "in").mkdir()
    for name in names:
        save(tmp_path / "in" / name, codes("L")) if not name.endswith(".part") else (tmp_path / "in" / name).touch()
    monkeypatch.chdir(tmp_path)
    completed = run_main([command, "in", *(["-n", "-o", "out"] if command != "gray" else [])], capsys)
    assert completed.returncode == 0, completed.stderr
    found = [line.split(" -> ")[0] if " -> " in line else line[7:] for line in completed.stdout.splitlines()[:-1]]
    assert found == [f"in/{name}" for name in taken]


def test_output_folders_of_earlier_runs_are_left_out_of_later_scans(tmp_path, photos, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert run_main(["levels", "-r", "photos", "-o", "photos/levelled"], capsys).returncode == 0
    striped = run_main(["stripes", "-r", "photos", "-o", "photos/striped"], capsys)
    assert striped.stdout.splitlines() == ["photos/a.png -> photos/striped/a.png",
                                           "photos/b.png -> photos/striped/b.png", "2 written"]
    assert run_main(["gray", "-r", "photos"], capsys).stdout.splitlines()[-1].startswith("2 files")
    # Named, an output folder is an input folder like any other.
    assert run_main(["gray", "photos/levelled"], capsys).stdout.splitlines()[-1].startswith("2 files")
    temporary = "photos/.a.png.0123456789abcdef.part"
    (tmp_path / temporary).touch()
    assert_one_line_error(run_main(["gray", temporary], capsys), 2, "temporary file of an unfinished write")


def test_a_folder_of_the_users_own_photos_is_never_marked_as_one_of_results(tmp_path, photos, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "photos" / "album").mkdir()
    save(tmp_path / "photos" / "album" / "own.png", codes("RGB"))
    assert run_main(["levels", "photos/a.png", "-o", "photos/album"], capsys).returncode == 0
    assert not (tmp_path / "photos" / "album" / ".pixalot-results").exists()
    scanned = run_main(["gray", "-r", "photos"], capsys).stdout
    assert "photos/album/own.png" in scanned and "photos/album/a.png" in scanned


@pytest.mark.parametrize("patterns, expected", [
    (["--include", "*.jpg"], ["UPPER.JPG", "lower.jpg"]),
    (["--include", "*.JPG", "--include", "x.*"], ["UPPER.JPG", "inner/x.png", "lower.jpg"]),
    (["--exclude", "inner"], ["Skip/z.png", "UPPER.JPG", "lower.jpg"]),
    (["--exclude", "inner/"], ["Skip/z.png", "UPPER.JPG", "lower.jpg"]),
    (["--exclude", "skip"], ["UPPER.JPG", "inner/deep/y.png", "inner/x.png", "lower.jpg"]),
    (["--exclude", "inner/deep"], ["Skip/z.png", "UPPER.JPG", "inner/x.png", "lower.jpg"]),
    (["--include", "deep"], ["inner/deep/y.png"]),
    (["--include", "inner", "--exclude", "y.png"], ["inner/x.png"]),
], ids=lambda value: " ".join(value) if isinstance(value, list) else None)
def test_filters_ignore_case_as_the_scan_does_and_name_folders_too(tmp_path, monkeypatch, capsys, patterns, expected):
    for name in ("UPPER.JPG", "lower.jpg", "inner/x.png", "inner/deep/y.png", "Skip/z.png"):
        (tmp_path / "tree" / name).parent.mkdir(parents=True, exist_ok=True)
        save(tmp_path / "tree" / name, codes("L"))
    monkeypatch.chdir(tmp_path)
    completed = run_main(["gray", "-r", "tree", *patterns], capsys)
    assert completed.returncode == 0, completed.stderr
    assert sorted(line[7:].removeprefix("tree/") for line in completed.stdout.splitlines()[:-1]) == expected


@pytest.mark.parametrize("patterns", [["--include", "*.gif"], ["--exclude", "*"], ["--exclude", "A.PNG",
                                                                                 "--exclude", "b*"]])
def test_a_filter_that_leaves_nothing_says_so(tmp_path, photos, monkeypatch, capsys, patterns):
    monkeypatch.chdir(tmp_path)
    completed = run_main(["levels", "photos", *patterns], capsys)
    assert_one_line_error(completed, 2, f"no images in folder photos are left by {' '.join(patterns)} (2 left out)")
    assert "-r" not in completed.stderr


@pytest.mark.parametrize("character, escaped", [("\n", "\\n"), ("\t", "\\t"), ("\r", "\\r"), ("\x1b", "\\x1b"),
                                                ("\x7f", "\\x7f"), ("\u202e", "\\u202e"), ("\u2028", "\\u2028")],
                         ids=repr)
def test_names_with_control_characters_are_escaped_in_text_and_kept_in_csv_and_json(tmp_path, monkeypatch, capsys,
                                                                                    character, escaped):
    name = f"a{character}b.png"
    save(tmp_path / name, colourful())
    (tmp_path / f"gone{character}.png").symlink_to("nowhere")
    (tmp_path / "out").mkdir()
    save(tmp_path / "out" / name, codes("RGB"))
    monkeypatch.chdir(tmp_path)
    levels = run_main(["levels", name, "-n"], capsys)
    assert levels.stdout.splitlines() == [f"a{escaped}b.png -> a{escaped}b-levels.png", "1 would be written"]
    exists = run_main(["levels", name, "-o", "out"], capsys)
    assert exists.stderr.splitlines() == [f"pixalot levels: a{escaped}b.png: out/a{escaped}b.png exists "
                                          "(use --overwrite to replace it, or --skip-existing)"]
    gray = run_main(["gray", name], capsys)
    assert gray.stdout.splitlines()[0] == f"colour a{escaped}b.png"
    assert_one_line_error(run_main(["gray", f"gone{character}.png"], capsys), 2, f"gone{escaped}.png is a link")
    assert json.loads(run_main(["gray", "--json", name], capsys).stdout)["files"][0]["path"] == name
    assert list(csv.reader(io.StringIO(run_main(["gray", "--csv", name], capsys).stdout)))[1][0] == name


def test_several_names_for_one_input_give_one_result_and_say_so(tmp_path, monkeypatch, capsys):
    save(tmp_path / "a.png", codes("RGB"))
    os.link(tmp_path / "a.png", tmp_path / "hard.png")
    (tmp_path / "soft.png").symlink_to("a.png")
    monkeypatch.chdir(tmp_path)
    completed = run_main(["levels", "a.png", "hard.png", "soft.png", "-o", "out"], capsys)
    assert completed.returncode == 0
    assert completed.stderr == "pixalot levels: hard.png, soft.png name the same file as a.png, which is done once\n"
    assert completed.stdout.splitlines() == ["a.png -> out/a.png", "1 written"]
