"""``python -m talvern.platformdetails``: the command-line entry (see ``--help``)."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m talvern.platformdetails"))
