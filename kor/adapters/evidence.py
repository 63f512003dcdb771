"""What proves a table's files unchanged: each file's identity, read from the file system.

A file's identity is its device, inode, size, modification and change time. A write changes
its size or its modification time; a write whose modification time is put back still moves
the change time, which no user can set; a file replaced by another has another inode. What
the file system cannot tell apart is a second write within one tick of its clock, so a file
written within the last RACY_SECONDS proves nothing yet.
"""

from __future__ import annotations

import os
import time
from pathlib import Path

RACY_SECONDS = 2.0

Identity = list[int]


def file_identity(path: Path | str) -> Identity | None:
    """The identity of the file at `path` (links followed); None when there is none."""
    try:
        stat = os.stat(path)
    except FileNotFoundError:
        return None
    return [stat.st_dev, stat.st_ino, stat.st_size, stat.st_mtime_ns, stat.st_ctime_ns]


def tree_identity(root: Path) -> list[tuple[str, Identity]] | None:
    """Every file under `root` (or `root` itself, a file) by its path from `root`, in order,
    hidden and bookkeeping files included: a change of any of them counts. None when the tree
    cannot be read whole (a file vanished or unreadable under the walk)."""
    if root.is_file():
        identity = file_identity(root)
        return None if identity is None else [(".", identity)]
    found: list[tuple[str, Identity]] = []
    seen: set[tuple[int, int]] = set()
    failed: list[OSError] = []
    # Links are followed, as the reader of the table follows them; a link back up is walked
    # once.
    for folder, folders, files in os.walk(root, followlinks=True, onerror=failed.append):
        stat = os.stat(folder)
        if (stat.st_dev, stat.st_ino) in seen:
            folders.clear()
            continue
        seen.add((stat.st_dev, stat.st_ino))
        folders.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            identity = file_identity(path)
            if identity is None:
                return None
            found.append((os.path.relpath(path, root), identity))
    return None if failed else found


def settled(identities: list[Identity]) -> bool:
    """Whether every file was last written long enough ago for a later write to show."""
    newest = max((identity[3] for identity in identities), default=0)
    return time.time_ns() - newest >= RACY_SECONDS * 1e9
