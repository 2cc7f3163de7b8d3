"""What the type stub of pyveka.veka_call declares: the module's docstring, and its nine
functions' names, in the order the module defines them, with their docstrings and
annotations.

The stub is the one copy in Python of these facts: stubtest holds its signatures to the
module, and test_frame.py its names, order, docstrings and annotations. The tests read them
here. This file imports nothing of the package, so that the allocation sweep can read the
names before the module's first import: it finds the stub through the import system's
search, which does not run the package.
"""

import ast
import importlib.util
import os


def _stub() -> ast.Module:
    spec = importlib.util.find_spec("pyveka")
    if spec is None or not spec.submodule_search_locations:
        raise ImportError("the package pyveka is not installed")
    for directory in spec.submodule_search_locations:
        path = os.path.join(directory, "veka_call.pyi")
        if os.path.exists(path):
            with open(path, encoding="utf-8") as stub:
                return ast.parse(stub.read(), path)
    raise ImportError("pyveka is installed without veka_call.pyi")


_STUB = _stub()
_FUNCTIONS = [node for node in _STUB.body if isinstance(node, ast.FunctionDef)]

MODULE_DOC = ast.get_docstring(_STUB, clean=False)
# The nine functions, in the order the module defines them.
NAMES = tuple(function.name for function in _FUNCTIONS)
# Each one's __doc__, exactly: None for the private ones.
DOCS = {function.name: ast.get_docstring(function, clean=False) for function in _FUNCTIONS}


def _annotations(function: ast.FunctionDef) -> dict[str, str]:
    """The function's __annotations__ as the module gives them: each as the stub writes it."""
    arguments = function.args
    named = [*arguments.posonlyargs, *arguments.args, arguments.vararg, *arguments.kwonlyargs]
    shown = {a.arg: ast.unparse(a.annotation) for a in named if a and a.annotation is not None}
    return {**shown, "return": ast.unparse(function.returns)} if function.returns else shown


# Each one's __annotations__, in order: {"parts": "str", "return": "Optional[str]"}.
ANNOTATIONS = {function.name: _annotations(function) for function in _FUNCTIONS}
