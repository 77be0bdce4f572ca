"""``python -m quorvane``: the same command line as the ``quorvane`` script."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
