"""A board published on the building's message engine (`tq publish`), read
from its JetStream stream with no more than the standard library: the NATS
client protocol spoken over a socket, an ephemeral push consumer with flow
control and heartbeats answered.

    for event in tqapi.subscribe("nats://engine:4222", "hall-2"):
        print(event.line())

The FOOTPRINT events need the board library (the eraser's outline is told by
its rule); without it the pen events come alone. Credentials come from the
environment: NATS_TOKEN, or NATS_USER and
NATS_PASSWORD; a tls:// address (or a server that asks for TLS) is checked
against NATS_CA when it names a file, else the system's authorities."""

import json
import os
import socket
import ssl
import time
import urllib.parse
import uuid

from .events import (BOARD, CHECK, DOWN, FOOTPRINT, LINE_ERROR, MOVE, PACKET_0x90, UP, Event)
from .footprints import footprint_corners, is_footprint_outline

_KINDS = {"down": DOWN, "move": MOVE, "up": UP}
_CODED = {"board": BOARD, "comm": LINE_ERROR, "check": CHECK, "0x90": PACKET_0x90}


class FleetError(OSError):
    """The engine refused the client or the stream cannot be read."""


def stream_name(board):
    return "TQ_BOARD_" + board


def board_subject(board):
    return f"tq.board.{board}.events"


class _Connection:
    """One NATS client connection: INFO, CONNECT, SUB, PUB, MSG, HMSG, PING."""

    def __init__(self, url, timeout=5.0):
        parts = urllib.parse.urlsplit(url if "://" in url else "nats://" + url)
        host, port = parts.hostname or "127.0.0.1", parts.port or 4222
        self._sock = socket.create_connection((host, port), timeout=timeout)
        self._buffer = b""
        info = json.loads(self._line().split(b" ", 1)[1])
        if parts.scheme == "tls" or info.get("tls_required"):
            context = ssl.create_default_context(cafile=os.environ.get("NATS_CA") or None)
            self._sock = context.wrap_socket(self._sock, server_hostname=host)
        connect = {"verbose": False, "pedantic": False, "headers": True, "no_responders": True,
                   "protocol": 1, "lang": "python-tqapi", "version": "1"}
        if os.environ.get("NATS_TOKEN"):
            connect["auth_token"] = os.environ["NATS_TOKEN"]
        elif os.environ.get("NATS_USER"):
            connect["user"] = os.environ["NATS_USER"]
            connect["pass"] = os.environ.get("NATS_PASSWORD", "")
        elif parts.username:
            connect["user"] = urllib.parse.unquote(parts.username)
            connect["pass"] = urllib.parse.unquote(parts.password or "")
        self._send(b"CONNECT " + json.dumps(connect).encode() + b"\r\nPING\r\n")
        while True:
            line = self._line()
            if line.startswith(b"-ERR"):
                raise FleetError(f"the engine refused the connection: {line.decode(errors='replace')}")
            if line == b"PONG":
                break
        self._sid = 0

    def close(self):
        try:
            self._sock.close()
        except OSError:
            pass

    def _send(self, data):
        self._sock.sendall(data)

    def _fill(self):
        chunk = self._sock.recv(65536)
        if not chunk:
            raise FleetError("the engine closed the connection")
        self._buffer += chunk

    def _line(self):
        while b"\r\n" not in self._buffer:
            self._fill()
        line, self._buffer = self._buffer.split(b"\r\n", 1)
        return line

    def _exactly(self, count):
        while len(self._buffer) < count + 2:
            self._fill()
        data, self._buffer = self._buffer[:count], self._buffer[count + 2:]
        return data

    def subscribe(self, subject):
        self._sid += 1
        self._send(f"SUB {subject} {self._sid}\r\n".encode())
        return self._sid

    def publish(self, subject, payload=b"", reply=None):
        head = f"PUB {subject} {reply} {len(payload)}" if reply else f"PUB {subject} {len(payload)}"
        self._send(head.encode() + b"\r\n" + payload + b"\r\n")

    def next(self, timeout):
        """(subject, reply, headers, payload) of the next message, or None
        when `timeout` seconds pass without one."""
        self._sock.settimeout(timeout)
        try:
            while True:
                line = self._line()
                if line == b"PING":
                    self._send(b"PONG\r\n")
                    continue
                if line.startswith(b"-ERR"):
                    raise FleetError(f"the engine says: {line.decode(errors='replace')}")
                words = line.split()
                if not words or words[0] not in (b"MSG", b"HMSG"):
                    continue  # +OK, PONG, INFO
                if words[0] == b"MSG":
                    reply = words[3].decode() if len(words) == 5 else None
                    payload = self._exactly(int(words[-1]))
                    return words[1].decode(), reply, {}, payload
                reply = words[3].decode() if len(words) == 6 else None
                header_size, total = int(words[-2]), int(words[-1])
                data = self._exactly(total)
                return words[1].decode(), reply, _headers(data[:header_size]), data[header_size:]
        except socket.timeout:
            return None

    def request(self, subject, payload, timeout=5.0):
        inbox = "_INBOX." + uuid.uuid4().hex
        self.subscribe(inbox)
        self.publish(subject, payload, inbox)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            message = self.next(max(0.01, deadline - time.monotonic()))
            if message is not None and message[0] == inbox:
                if message[2].get(":status") == "503":
                    raise FleetError("JetStream does not answer (is it enabled on the engine?)")
                return json.loads(message[3] or b"{}")
        raise FleetError(f"no answer to {subject}")


def _headers(block):
    lines = block.decode(errors="replace").split("\r\n")
    headers = {}
    status = lines[0].split(None, 2)
    if len(status) > 1:
        headers[":status"] = status[1]
    for line in lines[1:]:
        if ":" in line:
            key, value = line.split(":", 1)
            headers[key.strip()] = value.strip()
    return headers


def _sequence_and_pending(reply):
    """The stream sequence and the messages still pending, from a JetStream
    message's acknowledgement subject (either of its two forms)."""
    tokens = reply.split(".") if reply else []
    if len(tokens) == 9:
        return int(tokens[5]), int(tokens[8])
    if len(tokens) >= 11:
        return int(tokens[7]), int(tokens[10])
    return 0, 0


def _event(data):
    """The events of one stream event: a board message's Event, or a marker
    ("open", "close") as a string; None for anything else."""
    kind = data.get("type")
    if kind in _KINDS:
        return Event(_KINDS[kind], int(data["x"]), int(data["y"]), int(data["pen"]))
    if kind in _CODED:
        return Event(_CODED[kind], code=int(data.get("code", 0)),
                     port=int(data.get("port", 0)) if kind != "comm" else 0)
    if kind in ("open", "close"):
        return kind
    return None


def subscribe(url, board, timeout=None):
    """Yields the Events of `board`'s last session on the engine at `url`,
    as a local board's window gives them (a FOOTPRINT after an eraser
    outline), from the session's open on, live, until its close; or until
    `timeout` seconds pass without a message from the engine."""
    connection = _Connection(url.split(",")[0])
    try:
        yield from _follow(connection, board, timeout)
    finally:
        connection.close()


def _follow(connection, board, timeout):
    stream = stream_name(board)
    deliver = "_INBOX." + uuid.uuid4().hex
    connection.subscribe(deliver)
    config = {"deliver_subject": deliver, "deliver_policy": "all", "ack_policy": "none",
              "filter_subject": board_subject(board), "flow_control": True,
              "idle_heartbeat": 1_000_000_000, "mem_storage": True,
              "inactive_threshold": 10_000_000_000}
    reply = connection.request(f"$JS.API.CONSUMER.CREATE.{stream}",
                               json.dumps({"stream_name": stream, "config": config}).encode())
    if "error" in reply:
        raise FleetError(f"cannot read the stream of board {board}: {reply['error'].get('description')}")
    # Until the stream is caught up its events are held and dropped at every
    # "open": what is yielded starts with the last session.
    held, caught_up, points = [], False, []
    last = 0
    while True:
        message = connection.next(timeout if timeout is not None else 3600.0)
        if message is None:
            if timeout is not None:
                return
            continue
        _, reply_to, headers, payload = message
        if headers.get(":status") == "100":
            if reply_to:
                connection.publish(reply_to)  # flow control
            if headers.get("Nats-Consumer-Stalled"):
                connection.publish(headers["Nats-Consumer-Stalled"])
            if not caught_up:  # a heartbeat: nothing more is waiting
                caught_up = True
                if (yield from _release(held, points)):
                    return
                held = []
            continue
        sequence, pending = _sequence_and_pending(reply_to)
        if sequence and sequence <= last:
            continue
        last = sequence or last
        try:
            event = _event(json.loads(payload))
        except (ValueError, KeyError, TypeError):
            continue
        if event is None:
            continue
        if not caught_up:
            if event == "open":
                held = []
            held.append(event)
            if pending == 0:
                caught_up = True
                if (yield from _release(held, points)):
                    return
                held = []
            continue
        if event == "close":
            return
        yield from _emit(event, points)


def _release(held, points):
    """Yields the events held while catching up with the stream; true when
    the session they belong to has already closed."""
    for event in held:
        yield from _emit(event, points)
    return "close" in held


def _outline_known(points):
    """True for an eraser's outline; the library's rule tells it, so on a
    machine without the library no footprint is told (the pen events are
    all there all the same)."""
    try:
        return is_footprint_outline(points)
    except OSError:
        return False


def _emit(event, points):
    """`event` (markers left out) and, after an eraser outline's pen-up, its
    FOOTPRINT, as a local window tells them."""
    if isinstance(event, str):
        if event == "open":
            points.clear()
        return
    yield event
    if event.kind == DOWN:
        points[:] = [(event.x, event.y)]
    elif event.kind == MOVE:
        points.append((event.x, event.y))
    elif event.kind == UP:
        if len(points) == 8 and _outline_known(points):
            yield Event(FOOTPRINT, corners=footprint_corners(points))
        points.clear()
    elif event.kind == BOARD and event.code == 0:
        points.clear()
