"""``python -m quorvane``: the same command line as the ``quorvane`` script."""
from .cli import run

if __name__ == "__main__":
    run()
