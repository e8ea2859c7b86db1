"""The `pixalot` command line: pixalot's image operations on image files, and a demo."""

from importlib import metadata

try:
    __version__ = metadata.version("pixalot")
except metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "unknown"
