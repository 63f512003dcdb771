"""Accepted connections wait here, holding no thread, until their request begins to arrive."""

from __future__ import annotations

import selectors
import socket
import threading
import time
from collections import deque
from collections.abc import Callable
from contextlib import suppress
from typing import Any, cast


class WaitingRoom:
    """One thread watches every idle connection: a connection that starts to send goes to
    `ready`; one silent for `timeout` seconds, or the longest waiting when `capacity` are
    waiting, goes to `drop`."""

    def __init__(self, ready: Callable[[socket.socket, Any], None],
                 drop: Callable[[socket.socket], None], timeout: float, capacity: int) -> None:
        self._ready, self._drop = ready, drop
        self._timeout, self._capacity = timeout, capacity
        self._arrivals: deque[tuple[socket.socket, Any]] = deque()
        # Every connection gets the same timeout, so insertion order is deadline order.
        self._waiting: dict[socket.socket, tuple[Any, float]] = {}
        self._selector = selectors.DefaultSelector()
        self._wake_up, self._waker = socket.socketpair()
        for end in (self._wake_up, self._waker):
            end.setblocking(False)
        self._selector.register(self._wake_up, selectors.EVENT_READ)
        self._closing = False
        self._thread = threading.Thread(target=self._run, name="report-waiting-room",
                                        daemon=True)
        self._thread.start()

    def enter(self, connection: socket.socket, address: Any) -> None:
        self._arrivals.append((connection, address))
        self._wake()

    def close(self) -> None:
        self._closing = True
        self._wake()
        self._thread.join()
        self._selector.close()
        self._wake_up.close()
        self._waker.close()

    def _wake(self) -> None:
        with suppress(BlockingIOError):  # a full pipe already holds a wake-up
            self._waker.send(b"\0")

    def _run(self) -> None:
        while not self._closing:
            timeout = None
            if self._waiting:
                first_deadline = next(iter(self._waiting.values()))[1]
                timeout = max(0.0, first_deadline - time.monotonic())
            for key, _ in self._selector.select(timeout):
                if key.fileobj is self._wake_up:
                    self._admit()
                else:
                    connection = cast(socket.socket, key.fileobj)
                    self._ready(connection, self._leave(connection))
            now = time.monotonic()
            while self._waiting and next(iter(self._waiting.values()))[1] <= now:
                self._drop_first()
        while self._waiting:
            self._drop_first()

    def _admit(self) -> None:
        with suppress(BlockingIOError):
            self._wake_up.recv(4096)
        while self._arrivals:
            connection, address = self._arrivals.popleft()
            if len(self._waiting) >= self._capacity:
                self._drop_first()
            self._waiting[connection] = (address, time.monotonic() + self._timeout)
            self._selector.register(connection, selectors.EVENT_READ)

    def _leave(self, connection: socket.socket) -> Any:
        self._selector.unregister(connection)
        return self._waiting.pop(connection)[0]

    def _drop_first(self) -> None:
        connection = next(iter(self._waiting))
        self._leave(connection)
        self._drop(connection)
