"""bitloom: exact bit-level encodings of numbers and text, and packets built
and parsed from recipes.

The 62 functions of this package encode numbers and text to exact bit
patterns and bytes and decode them back (integers, BCD, IEEE 754 floats,
Unicode and single-byte text), and pack_parameters and unpack_parameters
build and parse whole packets from a recipe of fields.  bitloom.frames
compiles a recipe once for packing and parsing many frames.  Every function
here comes from the native module bitloom.bitloom.
"""

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

from bitloom._version import __version__  # noqa: E402,F401
from bitloom.bitloom import *  # noqa: E402,F401,F403

__all__ = list(_native.__all__)

del _importlib, _native
