"""bitloom: exact bit-level encodings of numbers and text, and packets built
and parsed from recipes.  Every public name comes from the native module."""

import importlib as _importlib

try:
    _native = _importlib.import_module("bitloom.bitloom")
except ModuleNotFoundError as _error:
    if _error.name != "bitloom.bitloom":
        raise
    # Typically Python was started in a source checkout, whose bitloom/
    # folder holds the Python files but not the compiled module, and shadows
    # the installed package.  Say so in one line instead of the interpreter's
    # "partially initialized module" message.
    raise ImportError(
        f"bitloom's compiled module is missing from {__path__[0]} (a source checkout?): "
        "run Python from another folder to use the installed bitloom, or install this "
        "checkout in editable mode with `pip install -e .`"
    ) from None

from bitloom.bitloom import *  # noqa: E402,F401,F403

__all__ = list(_native.__all__)
__doc__ = _native.__doc__

del _importlib, _native
