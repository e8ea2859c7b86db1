import sys

from .cli import main

# The guard matters: the process pool's children import this module under another name.
if __name__ == "__main__":
    sys.exit(main())
