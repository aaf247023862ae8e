"""bitloom: exact bit-level encodings of numbers and text, and packets built
and parsed from recipes.  Every public name comes from the native module."""

from bitloom import bitloom as _native
from bitloom.bitloom import *  # noqa: F401,F403

__all__ = list(_native.__all__)
__doc__ = _native.__doc__

del _native
