"""Assertions shared by several test files."""
import re

import pytest


def check(call, expected):
    """call() answers `expected`, or raises it when it is an exception."""
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=f"^{re.escape(str(expected))}$"):
            call()
    else:
        assert call() == expected
