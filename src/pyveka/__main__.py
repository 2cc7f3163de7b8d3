"""``python -m pyveka`` and the console script ``pyveka``: only delegates to the command
line in :mod:`pyveka.cli`; the report it prints is :mod:`pyveka.report`."""

import sys

from .cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
