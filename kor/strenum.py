"""`StrEnum` on every Python the package supports: members are their stored strings.

Python 3.11 has `enum.StrEnum`; on 3.10 the same behaviour from `str` and `Enum`, with `str()`
and `format()` giving the value (a plain `(str, Enum)` gives "Kind.NAME" from `str()`).
"""

from __future__ import annotations

import sys
from enum import Enum

if sys.version_info >= (3, 11):
    from enum import StrEnum
else:
    class StrEnum(str, Enum):
        def __str__(self) -> str:
            return str(self.value)

        def __format__(self, spec: str) -> str:
            return format(str(self.value), spec)

__all__ = ["StrEnum"]
