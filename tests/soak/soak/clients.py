"""Clients of the control socket as they come: several at once, some that hang up before the
reply and some that never read it."""
import select
import socket
import struct
import time


class Connection:
    """One client connection with at most one request awaiting its reply."""

    def __init__(self, path, timeout=1.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        # A blocking connect, as real clients make it: it waits while the daemon's backlog is
        # full instead of failing at once, for at most `timeout`.
        seconds = int(timeout)
        limit = struct.pack("ll", seconds, int((timeout - seconds) * 1e6))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, limit)
        try:
            self.sock.connect(path)
        except OSError:
            self.sock.close()
            raise
        self.pending = None

    def send(self, data):
        self.sock.sendall(data)
        self.pending = data

    def reply(self, timeout):
        """The reply to the pending request: bytes, b"" when the daemon hung up, None when
        nothing came within `timeout`."""
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            return None
        try:
            data = self.sock.recv(65536)
        except OSError:
            data = b""
        self.pending = None
        return data

    def close(self):
        self.sock.close()


def ask(path, data, timeout=1.0):
    """Sends one request on a new connection: (reply or None, seconds taken)."""
    start = time.monotonic()
    try:
        connection = Connection(path, timeout)
    except OSError:
        return None, time.monotonic() - start
    try:
        connection.send(data)
        return connection.reply(max(0.0, timeout - (time.monotonic() - start))), \
            time.monotonic() - start
    except OSError:
        return None, time.monotonic() - start
    finally:
        connection.close()


class ClientPool:
    """A few long-lived connections used in turn, plus one that never reads its replies."""

    def __init__(self, path, size=4):
        self.path = path
        self.slots = [None] * size
        self.deaf = None
        self.deaf_sent = 0

    def connection(self, slot):
        if self.slots[slot] is None:
            self.slots[slot] = Connection(self.path)
        return self.slots[slot]

    def drop(self, slot):
        if self.slots[slot] is not None:
            self.slots[slot].close()
            self.slots[slot] = None

    def send_unread(self, data, limit):
        """Sends on the connection that never reads; it hangs up after `limit` requests."""
        if self.deaf is None:
            self.deaf = Connection(self.path)
            self.deaf.sock.setblocking(False)
            self.deaf_sent = 0
        try:
            self.deaf.sock.send(data)
        except (BlockingIOError, InterruptedError):
            pass
        self.deaf_sent += 1
        if self.deaf_sent >= limit:
            self.deaf.close()
            self.deaf = None

    def close_all(self):
        for slot in range(len(self.slots)):
            self.drop(slot)
        if self.deaf is not None:
            self.deaf.close()
            self.deaf = None
