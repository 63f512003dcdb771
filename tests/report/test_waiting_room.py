"""The waiting room: connections go on when they send, and the longest waiting goes first."""

from __future__ import annotations

import queue
import socket

from kor.report.waiting_room import WaitingRoom


def test_a_full_room_drops_the_longest_waiting_and_a_sender_goes_on():
    events: queue.SimpleQueue[tuple[str, socket.socket]] = queue.SimpleQueue()
    room = WaitingRoom(lambda connection, _: events.put(("ready", connection)),
                       lambda connection: events.put(("dropped", connection)), 60, capacity=2)
    pairs = [socket.socketpair() for _ in range(3)]
    try:
        for number, (served, _) in enumerate(pairs):
            room.enter(served, number)
        assert events.get(timeout=10) == ("dropped", pairs[0][0])
        pairs[2][1].sendall(b"GET")
        assert events.get(timeout=10) == ("ready", pairs[2][0])
    finally:
        room.close()
        for pair in pairs:
            for end in pair:
                end.close()
    assert events.get(timeout=10) == ("dropped", pairs[1][0])  # closing lets the rest go
