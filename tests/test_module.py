import importlib
import sys

import pytest

import pixalot
from subprocess_helpers import run_python

SIGNATURES = {
    "sin_patern": "(input, shape_sin, alpha, vertical, bias)",
    "color_levels": "(input, in_low, in_high, out_low, out_high, gamma)",
    "gray_or_color": "(input, min)",
}


def test_the_module_publishes_the_three_functions_and_nothing_else():
    assert pixalot.__all__ == list(SIGNATURES)
    assert pixalot.__doc__ == ""
    assert not hasattr(pixalot, "PanicException")


@pytest.mark.parametrize("name", SIGNATURES)
def test_each_function_is_a_builtin_of_the_module_with_only_a_text_signature(name):
    function = getattr(pixalot, name)
    assert (function.__name__, function.__text_signature__) == (name, SIGNATURES[name])
    assert function.__doc__ is None
    assert function.__module__ == "pixalot"
    assert function.__self__ is pixalot


def test_importing_again_after_removal_from_sys_modules_gives_the_identical_module():
    del sys.modules["pixalot"]
    try:
        assert importlib.import_module("pixalot") is pixalot
    finally:
        sys.modules["pixalot"] = pixalot


def test_a_second_interpreter_cannot_import_the_module_once_the_first_has():
    # A legacy subinterpreter, so that CPython itself lets the import reach the module.
    completed = run_python(
        '''
        import pixalot
        try:
            from _testcapi import run_in_subinterp
        except ImportError:
            raise SystemExit("unavailable")
        run_in_subinterp("""
        import os
        try:
            import pixalot
        except ImportError as error:
            os.write(1, str(error).encode())
        """)
        ''',
        check=False,
    )
    if completed.stderr == "unavailable\n":
        pytest.skip("this interpreter has no _testcapi.run_in_subinterp")
    assert completed.stdout.startswith("pixalot does not yet support subinterpreters, see ")
