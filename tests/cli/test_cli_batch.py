"""`pixalot gray` over many files: its verdicts, its three output forms, and the same answers
from a local process pool and from a Dask cluster."""

import csv
import io
import json
import os

import numpy as np
import pytest

from cli_helpers import codes, colour_16_bit_png, colourful, launched, pixalot, save

EXPECTED = {
    "grey-in-rgb.png": "grey", "grey-in-rgba.png": "grey", "grey-8.png": "grey", "grey-16.tif": "grey",
    "grey-la.png": "grey", "colour.png": "colour", "colour-rgba.webp": "colour", "colour-16.png": "colour",
    "cast-0.02.png": "colour",
}
FAILING = {"broken.jpg": "damaged or truncated image (a JPEG file whose header cannot be read)",
           "two-channels.npy": "pixalot faulted: assertion failed: index < dim"}


@pytest.fixture(scope="module")
def collection(tmp_path_factory):
    """Grey and colour images of every kind, and two that fail, in one folder."""
    root = tmp_path_factory.mktemp("collection")
    folder = root / "images"
    folder.mkdir()
    grey = codes("L", seed=3)
    save(folder / "grey-in-rgb.png", np.dstack([grey] * 3))
    # Alpha is not looked at: wildly different alpha leaves a grey image grey.
    save(folder / "grey-in-rgba.png", np.dstack([grey] * 3 + [codes("L", seed=4)]))
    save(folder / "grey-8.png", grey)
    save(folder / "grey-16.tif", codes("I;16"))
    save(folder / "grey-la.png", codes("LA"))
    save(folder / "colour.png", colourful())
    save(folder / "colour-rgba.webp", np.dstack([colourful(), codes("L")]), lossless=True)
    colour_16_bit_png(folder / "colour-16.png")
    # Channel means 0.02 apart: colour at the default tolerance of 0.01, grey at 0.05.
    cast = np.full((8, 8, 3), 100, np.uint8)
    cast[..., 2] += 5
    save(folder / "cast-0.02.png", cast)
    (folder / "broken.jpg").write_bytes(b"\xff\xd8\xff not a jpeg")
    np.save(folder / "two-channels.npy", np.zeros((3, 3, 2), np.float32))
    return root


def verdicts_of(text: str) -> dict:
    lines = text.splitlines()
    return {line[7:].removeprefix("images/"): line[:7].strip() for line in lines[:-1]}


def test_each_file_gets_one_line_and_the_summary_counts_them(collection):
    completed = pixalot("gray", "images", cwd=collection)
    assert completed.returncode == 1, "a failed file must show in the exit status"
    assert verdicts_of(completed.stdout) == EXPECTED
    assert list(verdicts_of(completed.stdout)) == sorted(EXPECTED), "files are listed in name order"
    assert completed.stdout.splitlines()[-1] == "11 files: 5 grey, 4 colour, 2 failed"
    assert sorted(completed.stderr.splitlines()) == [f"pixalot gray: images/{name}: {reason}"
                                                     for name, reason in sorted(FAILING.items())]


def test_the_tolerance_decides_a_slight_colour_cast(collection):
    for tolerance, verdict in (("0.01", "colour"), ("0.05", "grey")):
        completed = pixalot("gray", "--tolerance", tolerance, "images/cast-0.02.png", cwd=collection)
        assert completed.returncode == 0
        assert completed.stdout.splitlines()[0] == f"{verdict:<7}images/cast-0.02.png"


def test_json_holds_every_file_with_its_kind_and_the_summary(collection):
    completed = pixalot("gray", "--json", "images", cwd=collection)
    document = json.loads(completed.stdout)
    by_name = {entry["path"].removeprefix("images/"): entry for entry in document["files"]}
    assert {name: entry["verdict"] for name, entry in by_name.items() if entry["verdict"]} == EXPECTED
    assert {name: entry["error"] for name, entry in by_name.items() if entry["error"]} == FAILING
    assert (by_name["grey-16.tif"]["mode"], by_name["grey-16.tif"]["bits"]) == ("I;16", 16)
    assert (by_name["colour-rgba.webp"]["mode"], by_name["colour-rgba.webp"]["bits"]) == ("RGBA", 8)
    assert document["summary"] == {"files": 11, "grey": 5, "colour": 4, "failed": 2}


def test_csv_has_a_header_a_row_per_file_and_the_summary_on_stderr(collection):
    completed = pixalot("gray", "--csv", "images", cwd=collection)
    rows = list(csv.DictReader(io.StringIO(completed.stdout)))
    assert list(rows[0]) == ["path", "verdict", "mode", "bits", "error"]
    assert {row["path"].removeprefix("images/"): row["verdict"] for row in rows if row["verdict"]} == EXPECTED
    assert completed.stderr.splitlines()[-1] == "11 files: 5 grey, 4 colour, 2 failed"


@pytest.mark.launches
def test_a_process_pool_gives_the_same_report(collection):
    alone = pixalot("gray", "--json", "images", cwd=collection)
    pooled = launched("gray", "--json", "-j", "2", "images", cwd=collection)
    assert (pooled.returncode, pooled.stdout, pooled.stderr) == (alone.returncode, alone.stdout, alone.stderr)


def has_module(name: str) -> bool:
    try:
        __import__(name)
    except ImportError:
        return False
    return True


@pytest.mark.launches
@pytest.mark.parametrize("command", ["levels", "stripes"])
def test_a_process_pool_writes_the_same_files(tmp_path, collection, command):
    alone = pixalot(command, "images", "-o", tmp_path / "alone", cwd=collection)
    pooled = launched(command, "images", "-j", "2", "-o", tmp_path / "pooled", cwd=collection)
    assert pooled.returncode == alone.returncode == 1
    assert pooled.stderr == alone.stderr
    written = sorted(path.name for path in (tmp_path / "alone").iterdir())
    assert written == sorted(path.name for path in (tmp_path / "pooled").iterdir())
    # 16-bit colour is refused rather than rewritten at 8 bits where imagecodecs is missing;
    # and the folder is marked as one of results.
    assert len(written) == (11 if has_module("imagecodecs") else 10) and ".pixalot-results" in written
    for name in written:
        assert (tmp_path / "alone" / name).read_bytes() == (tmp_path / "pooled" / name).read_bytes(), name


@pytest.mark.launches
def test_an_existing_dask_cluster_gives_the_same_report(collection, dask_cluster):
    alone = pixalot("gray", "--json", "images", cwd=collection)
    remote = launched("gray", "--json", "--dask", dask_cluster, "images", cwd=collection)
    assert (remote.returncode, remote.stdout, remote.stderr) == (alone.returncode, alone.stdout, alone.stderr)


@pytest.mark.launches
@pytest.mark.parametrize("command", ["levels", "stripes"])
def test_an_existing_dask_cluster_writes_the_same_files_under_the_same_rules(tmp_path, collection, dask_cluster,
                                                                             command):
    alone = pixalot(command, "images", "-o", tmp_path / "alone", cwd=collection)
    (tmp_path / "remote").mkdir()
    # A hard link to an input where a result goes: the workers refuse it like this process.
    os.link(collection / "images" / "colour.png", tmp_path / "remote" / "colour.png")
    remote = launched(command, "images", "--overwrite", "--dask", dask_cluster, "-o", tmp_path / "remote",
                     cwd=collection)
    assert remote.returncode == 1
    assert sorted(remote.stderr.splitlines()) == sorted(
        alone.stderr.splitlines() + [f"pixalot {command}: images/colour.png: refusing to write "
                                     f"{tmp_path / 'remote' / 'colour.png'}: it is one of the inputs"])
    # remote/ held a file before the run, so only alone/ is marked as a folder of results.
    written = sorted(path.name for path in (tmp_path / "alone").iterdir() if path.name != ".pixalot-results")
    assert sorted(path.name for path in (tmp_path / "remote").iterdir()) == written
    for name in written:
        if name != "colour.png":
            assert (tmp_path / "alone" / name).read_bytes() == (tmp_path / "remote" / name).read_bytes(), name


@pytest.mark.launches
def test_dask_local_starts_and_stops_its_own_cluster_of_j_workers(collection):
    pytest.importorskip("dask.distributed")
    completed = launched("gray", "--dask", "local", "-j", "1", "images/colour.png", "images/grey-8.png",
                        cwd=collection)
    assert (completed.returncode, completed.stderr) == (0, "")
    assert completed.stdout.splitlines() == ["colour images/colour.png", "grey   images/grey-8.png",
                                             "2 files: 1 grey, 1 colour, 0 failed"]
