"""The waiting room: a connection goes on when it sends; when full, the longest waiting goes."""

from __future__ import annotations

import queue
import socket

from kor.report.waiting_room import WaitingRoom


def test_a_full_room_drops_the_longest_waiting_and_a_sender_goes_on():
    events: queue.SimpleQueue[tuple[str, socket.socket]] = queue.SimpleQueue()
    room = WaitingRoom(lambda served, _: events.put(("ready", served)),
                       lambda served: events.put(("dropped", served)), 60, capacity=2)
    pairs = [socket.socketpair() for _ in range(3)]
    for number, (served, _) in enumerate(pairs):
        room.enter(served, number)
    assert events.get(timeout=10) == ("dropped", pairs[0][0])
    pairs[2][1].sendall(b"GET")
    assert events.get(timeout=10) == ("ready", pairs[2][0])
    room.close()
    assert events.get(timeout=10) == ("dropped", pairs[1][0])  # closing lets the rest go
    for end in (end for pair in pairs for end in pair):
        end.close()
