"""The `pixalot` command line: pixalot's image operations on image files, and a demo."""

from __future__ import annotations


def __getattr__(name: str) -> str:
    # Looked up on first use: importing the package metadata costs more than printing --help.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import metadata

    try:
        version = metadata.version("pixalot")
    except metadata.PackageNotFoundError:  # run from a source tree that was never installed
        version = "unknown"
    globals()["__version__"] = version
    return version
