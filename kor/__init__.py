"""kor: a small SQL-project framework, and the home of `zel profile`."""

from __future__ import annotations

__version__ = "0.1.0"
