"""``python -m pyveka`` and the console script ``pyveka``: the command line is in
:mod:`pyveka.cli`, the report it prints in :mod:`pyveka.report`."""

from __future__ import annotations

import sys
from typing import Any

from . import report as _report
from .cli import main, run_child

__all__ = ["main", "report", "run_child"]


def report() -> dict[str, Any]:
    """The report as ``--json`` prints it."""
    return _report.report().to_json()


if __name__ == "__main__":
    sys.exit(main())
