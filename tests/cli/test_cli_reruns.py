"""Running again over the same folders: earlier results are neither inputs nor failures, and
the files taken are the ones asked for."""

import pytest

from cli_helpers import Image, codes, pixalot, save


def listing(folder):
    """The files below `folder`, but for the marks of output folders."""
    return sorted(str(path.relative_to(folder)) for path in folder.rglob("*")
                  if path.is_file() and path.name != ".pixalot-results")


def test_an_output_folder_inside_the_input_folder_is_never_read(tmp_path, photos):
    for _ in range(2):
        completed = pixalot("levels", "-r", "photos", "-o", "photos/levelled", "--skip-existing", cwd=tmp_path)
        assert completed.returncode == 0, completed.stderr
    assert listing(photos) == ["a.png", "b.png", "levelled/a.png", "levelled/b.png"]
    assert completed.stdout.splitlines() == ["photos/a.png: skipped, photos/levelled/a.png exists",
                                             "photos/b.png: skipped, photos/levelled/b.png exists",
                                             "0 written, 2 skipped"]


def test_a_rerun_after_adding_files_skips_what_exists(tmp_path, photos):
    assert pixalot("stripes", "photos", cwd=tmp_path).returncode == 0
    save(photos / "c.png", codes("RGB"))
    completed = pixalot("stripes", "photos", "--skip-existing", cwd=tmp_path)
    assert (completed.returncode, completed.stderr) == (0, "")
    assert completed.stdout.splitlines()[-2:] == ["photos/c.png -> photos/c-stripes.png", "1 written, 2 skipped"]
    both = pixalot("stripes", "photos", "--skip-existing", "--overwrite", cwd=tmp_path)
    assert both.returncode == 2 and "not allowed with argument" in both.stderr


def test_only_results_with_their_input_beside_them_are_left_out_of_a_scan(tmp_path):
    folder = tmp_path / "shots"
    folder.mkdir()
    save(folder / "sea-levels.png", codes("L"))  # a photo of sea levels, no result of ours
    save(folder / "harbour.png", codes("L"))
    save(folder / "harbour-levels.png", codes("L"))  # harbour.png's earlier result
    completed = pixalot("levels", "shots", "-n", "--skip-existing", cwd=tmp_path)
    assert completed.stdout.splitlines() == ["shots/harbour.png: skipped, shots/harbour-levels.png exists",
                                             "shots/sea-levels.png -> shots/sea-levels-levels.png",
                                             "1 would be written, 1 skipped"]


def test_a_dry_run_lists_what_would_be_written_and_writes_nothing(tmp_path, photos):
    save(photos / "a-levels.png", codes("L"))
    completed = pixalot("levels", "photos", "-n", "--skip-existing", "-o", "out", cwd=tmp_path)
    assert (completed.returncode, completed.stderr) == (0, "")
    # a-levels.png is the result of an earlier run beside a.png, whichever folder this run writes to.
    assert completed.stdout.splitlines() == ["photos/a.png -> out/a.png", "photos/b.png -> out/b.png",
                                             "2 would be written"]
    assert not (tmp_path / "out").exists()
    beside = pixalot("levels", "photos", "--dry-run", "--skip-existing", cwd=tmp_path)
    assert beside.stdout.splitlines() == ["photos/a.png: skipped, photos/a-levels.png exists",
                                          "photos/b.png -> photos/b-levels.png", "1 would be written, 1 skipped"]
    assert listing(photos) == ["a-levels.png", "a.png", "b.png"]


@pytest.mark.parametrize("patterns, expected", [
    ([], ["a.png", "b.png", "c.gif", "inner/d.png"]),
    (["--include", "*.gif"], ["c.gif"]),
    (["--exclude", "inner/*"], ["a.png", "b.png", "c.gif"]),
    (["--include", "*.png", "--exclude", "b.*"], ["a.png", "inner/d.png"]),
])
def test_include_and_exclude_pick_files_found_in_folders(tmp_path, photos, patterns, expected):
    Image.fromarray(codes("RGB")).convert("P").save(photos / "c.gif")
    (photos / "inner").mkdir()
    save(photos / "inner" / "d.png", codes("L"))
    completed = pixalot("gray", "-r", "photos", *patterns, cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    assert [line[7:].removeprefix("photos/") for line in completed.stdout.splitlines()[:-1]] == expected
