"""The type stubs shipped for pixalot: they match the built module, and mypy uses them."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")


def run_mypy(*arguments, cwd):
    return subprocess.run([sys.executable, "-m", *arguments], cwd=cwd, capture_output=True, text=True, timeout=600)


def test_stubtest_finds_the_stubs_true_to_the_built_module(tmp_path):
    completed = run_mypy("mypy.stubtest", "pixalot", cwd=tmp_path)
    assert completed.returncode == 0, completed.stdout + completed.stderr


def test_mypy_reads_the_stubs_for_types_and_rejects_what_the_module_rejects(tmp_path):
    (tmp_path / "use.py").write_text(textwrap.dedent("""\
        import numpy as np
        import pixalot

        image = np.zeros((4, 4, 3), np.float32)
        reveal_type(pixalot.sin_patern(image, 8, 0.5, True, 0.0))
        reveal_type(pixalot.color_levels(input=image, in_low=0.1, in_high=0.9, out_low=0, out_high=1, gamma=1.2))
        reveal_type(pixalot.gray_or_color(image, min=0.01))
        pixalot.sin_patern(image, 8, 0.5, 1, 0.0)
        pixalot.color_levels(np.zeros((4, 4)), 0.1, 0.9, 0.0, 1.0, 1.2)
        pixalot.gray_or_color(image, tolerance=0.01)
    """))
    completed = run_mypy("mypy", "--no-error-summary", "use.py", cwd=tmp_path)
    lines = completed.stdout.splitlines()
    revealed = [line.split("Revealed type is ")[1] for line in lines if "Revealed type" in line]
    assert len(revealed) == 3 and "bool" == revealed[2].strip('"'), completed.stdout
    assert all("numpy.ndarray" in text and "32Bit" in text for text in revealed[:2]), revealed
    errors = {line.split(":")[1]: line for line in lines if ": error: " in line}
    assert sorted(errors) == ["10", "8", "9"], completed.stdout
    assert 'Argument 4 to "sin_patern" has incompatible type "int"; expected "bool"' in errors["8"]
    assert "float64" in errors["9"] or "floating[_64Bit]" in errors["9"]  # NumPy 2 and 1.x spell it so
    assert 'Unexpected keyword argument "tolerance"' in errors["10"]
