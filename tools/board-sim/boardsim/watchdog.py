"""The switch's hardware watchdog: the FIFO DIR/run/watchdog.

Inside the switch /dev/watchdog is a link to it (/run/board/watchdog). The
simulator build of the launcher, or any program of the switch, writes one
text line to it per event of the device:

    open        the device was opened: the watchdog runs, with its timeout
                (60 s until one is set)
    timeout N   a new timeout of N seconds (N >= 1); restarts the count
    keepalive   restarts the count
    magic       the magic character 'V' was written: the next close stops it
    close       the device was closed: that stops the watchdog only after a
                magic since the last open; else it keeps running, as Linux's
                "watchdog did not stop!"

Other lines change nothing; the record keeps them as it keeps the rest.
board-sim holds the FIFO open for reading and writing for the whole
power-on, so that a writer's open, blocking or not, always finds a reader.
The count runs in the switch's seconds (--clock divides it, as the switch's
other fixed waits); when it runs out while the watchdog runs, the switch is
reset: the power-on ends at once, as a power loss would end it.
"""

import collections
import os
import re
import time
from pathlib import Path

FIFO = "run/watchdog"
DEFAULT_TIMEOUT = 60
KEPT_EVENTS = 32  # the record keeps the last ones


class Watchdog:
    """The device's state, fed by the power-on's bridge loop."""

    def __init__(self, state, clock, t0):
        self.path = Path(state) / FIFO
        self.path.unlink(missing_ok=True)
        os.mkfifo(self.path, 0o600)
        self.fd = os.open(self.path, os.O_RDWR | os.O_NONBLOCK)
        self.clock = clock
        self.t0 = t0
        self.timeout = DEFAULT_TIMEOUT
        self.deadline = None  # monotonic time of the reset, while running
        self.magic = False
        self.partial = b""
        self.events = collections.deque(maxlen=KEPT_EVENTS)
        self.total = 0
        self.reset_at = None

    def readers(self):
        return [self.fd] if self.fd is not None and self.reset_at is None else []

    def _restart(self, now):
        self.deadline = now + self.timeout / self.clock

    def _event(self, line, now):
        self.events.append([round(now - self.t0, 3), line])
        self.total += 1
        word, _, rest = line.partition(" ")
        if word == "open":
            self.magic = False
            self._restart(now)
        elif word == "timeout" and re.fullmatch(r"[0-9]+", rest) and int(rest) >= 1:
            self.timeout = int(rest)
            if self.deadline is not None:
                self._restart(now)
        elif word == "keepalive" and not rest:
            if self.deadline is not None:
                self._restart(now)
        elif word == "magic" and not rest:
            self.magic = True
        elif word == "close" and not rest:
            if self.magic:
                self.deadline = None
            self.magic = False

    def serve(self, ready_r, now=None):
        """Takes in what was written, when select found the FIFO ready."""
        if self.fd is None or self.fd not in ready_r or self.reset_at is not None:
            return
        now = time.monotonic() if now is None else now
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                break
            if not data:
                break
            lines = (self.partial + data).split(b"\n")
            self.partial = lines.pop()
            for raw in lines:
                line = raw.decode("utf-8", "replace").strip()
                if line:
                    self._event(line, now)

    def wait(self, now):
        """Seconds until the reset, or None while the watchdog is stopped."""
        if self.deadline is None or self.reset_at is not None:
            return None
        return max(0.0, self.deadline - now)

    def expired(self, now):
        """True once: the count ran out while the watchdog ran."""
        if self.reset_at is None and self.deadline is not None and now >= self.deadline:
            self.reset_at = now
            return True
        return False

    def record(self):
        """For last-boot.json: None when nothing was written."""
        if not self.total:
            return None
        return {
            "timeout": self.timeout,
            "running": self.deadline is not None,
            "reset_at": None if self.reset_at is None else round(self.reset_at - self.t0, 3),
            "events": list(self.events),
            "events_total": self.total,
        }

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        self.path.unlink(missing_ok=True)
