"""`pixalot demo`: the main job on built-in samples, with nothing downloaded."""

import numpy as np

from cli_helpers import load, pixalot

PICTURES = ["colour-before.png", "colour-levels.png", "colour-stripes-vertical.png", "contact-sheet.png",
            "grey-before.png", "grey-levels.png", "grey-stripes-slanted.png"]


def test_the_demo_writes_its_pictures_and_a_table_of_what_it_ran(tmp_path):
    completed = pixalot("demo", cwd=tmp_path)
    assert (completed.returncode, completed.stderr) == (0, "")
    assert sorted(path.name for path in (tmp_path / "demo-output").iterdir()) == PICTURES
    lines = completed.stdout.splitlines()
    assert lines[0] == "pixalot demo: 480x360 samples, pictures in demo-output/"
    table = {line.split("  ")[0]: line for line in lines[2:-1]}
    assert [call.split("(")[0] for call in table] == ["color_levels", "sin_patern", "sin_patern", "color_levels",
                                                      "gray_or_color", "gray_or_color"]
    assert all(line.endswith(" ms") for line in table.values())
    assert " colour " in table["gray_or_color(colour, 0.01)"] and " grey " in table["gray_or_color(grey, 0.01)"]

    mode, before = load(tmp_path / "demo-output" / "colour-before.png")
    assert mode == "RGB" and before.shape == (360, 480, 3)
    for name in PICTURES:
        if name.startswith("colour-") and name != "colour-before.png":
            assert not np.array_equal(load(tmp_path / "demo-output" / name)[1], before), f"{name} shows no change"


def test_the_demo_says_in_one_line_when_it_cannot_write(tmp_path):
    (tmp_path / "taken").write_text("a file where the folder should go")
    completed = pixalot("demo", "-o", "taken", cwd=tmp_path)
    assert completed.returncode == 2
    assert completed.stderr == "pixalot demo: error: cannot write to output folder taken: it is a file\n"
