"""The main job on a built-in sample; the same as `pixalot demo` (see pixalot_cli/demo.py)."""

import sys

from pixalot_cli.cli import main

if __name__ == "__main__":
    sys.exit(main(["demo", *sys.argv[1:]]))
