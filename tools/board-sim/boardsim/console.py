"""The console's second door: DIR/run/console.sock, and `board-sim send`.

While the switch is powered, one program of the PC at a time may connect to
the Unix socket DIR/run/console.sock: it then sees everything the console
prints (as the operator and console.log do) and what it writes goes to the
console, along with the operator's keys. That is how an XMODEM sender on the
PC talks to the switch's receiver on its serial line, while the operator (or
a test) still presses keys on the same line.

A sender never sits on the pty master itself: termios and flush calls made
on a master act on the slave, and the sender's clean-up at exit would
rewrite the switch's line settings.
"""

import os
import socket
import subprocess
from pathlib import Path

from . import state as st

SOCKET = "run/console.sock"
# A client that reads nothing while the console prints this much is dropped.
CLIENT_BACKLOG_LIMIT = 16 << 20


class ConsoleError(Exception):
    pass


def _address(path):
    """A name for the socket that fits in sun_path (108 bytes): a long
    state-directory path is reached through an open descriptor of its
    folder. Returns (address, descriptor to close or None)."""
    path = Path(path)
    if len(os.fsencode(path)) < 100:
        return str(path), None
    fd = os.open(path.parent, os.O_RDONLY | os.O_DIRECTORY)
    return f"/proc/self/fd/{fd}/{path.name}", fd


def _unix(path, action):
    address, fd = _address(path)
    try:
        return action(address)
    finally:
        if fd is not None:
            os.close(fd)


class ConsoleSocket:
    """The listening socket and its one client, driven by the power-on's
    bridge loop. While a client is connected nothing listens: a second
    client's connect is refused."""

    def __init__(self, state):
        self.path = Path(state) / SOCKET
        self.listener = None
        self.client = None
        self.outgoing = b""
        self._listen()

    def _listen(self):
        self.path.unlink(missing_ok=True)
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        _unix(self.path, listener.bind)
        listener.listen(1)
        listener.setblocking(False)
        self.listener = listener

    def _drop_client(self):
        self.client.close()
        self.client, self.outgoing = None, b""
        self._listen()

    def readers(self):
        return [s for s in (self.listener, self.client) if s is not None]

    def writers(self):
        return [self.client] if self.client is not None and self.outgoing else []

    def printed(self, data):
        """What the console printed: the client gets it too."""
        if self.client is not None:
            self.outgoing += data
            if len(self.outgoing) > CLIENT_BACKLOG_LIMIT:
                self._drop_client()

    def serve(self, ready_r, ready_w):
        """Handles what select found ready; returns the client's bytes for
        the console."""
        if self.listener is not None and self.listener in ready_r:
            try:
                client, _ = self.listener.accept()
            except (BlockingIOError, ConnectionAbortedError):
                client = None
            if client is not None:
                client.setblocking(False)
                self.client = client
                self.listener.close()  # the socket file stays; connects are refused
                self.listener = None
        if self.client is None:
            return b""
        if self.client in ready_w and self.outgoing:
            try:
                self.outgoing = self.outgoing[self.client.send(self.outgoing):]
            except BlockingIOError:
                pass
            except OSError:
                self._drop_client()
                return b""
        if self.client in ready_r:
            try:
                data = self.client.recv(65536)
            except BlockingIOError:
                return b""
            except OSError:
                data = b""
            if not data:
                self._drop_client()
            return data
        return b""

    def close(self):
        for s in (self.listener, self.client):
            if s is not None:
                s.close()
        self.listener = self.client = None
        self.path.unlink(missing_ok=True)


def connect(state):
    """A connection to the powered switch's console, or ConsoleError."""
    path = st.absolute(state) / SOCKET
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        _unix(path, sock.connect)
    except FileNotFoundError:
        sock.close()
        raise ConsoleError(f"the switch in {state} is not powered on") from None
    except ConnectionRefusedError:
        sock.close()
        raise ConsoleError(f"the console of {state} has a client already "
                           "(or its board-sim is gone)") from None
    return sock


def send(state, file, timeout=None):
    """Sends `file` with XMODEM (lrzsz's sx, 1 KiB blocks) to the receiver
    on the switch's console; sx's messages go to our standard error. Returns
    sx's exit status; ConsoleError when the switch is off or on time-out."""
    if not os.access(file, os.R_OK) or not os.path.isfile(file):
        raise ConsoleError(f"{file} is not a readable file")
    sock = connect(state)
    with sock:
        sender = subprocess.Popen(["sx", "-k", str(file)], stdin=sock, stdout=sock)
    try:
        status = sender.wait(timeout)
        return 128 - status if status < 0 else status  # a signal, as the shell tells it
    except subprocess.TimeoutExpired:
        sender.terminate()
        try:
            sender.wait(5)
        except subprocess.TimeoutExpired:
            sender.kill()
            sender.wait()
        raise ConsoleError(f"the transfer did not end within {timeout:g} s") from None
    except KeyboardInterrupt:
        sender.terminate()
        sender.wait()
        raise

