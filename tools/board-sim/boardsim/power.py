"""One power-on of the simulated switch: the sandbox, the console, the end.

The console is a pty made here. Its slave becomes the standard input,
output and error of `unshare`, which starts power-on.sh as PID 1 of fresh
mount, PID, network, UTS and IPC namespaces; inside, the same slave is bound
on /dev/ttyS0 and /dev/console, and it is the controlling terminal of the
switch's own session. This process copies between the pty's master
and its own standard input and output (the operator's terminal in raw mode,
or pexpect), and keeps the transcript in DIR/console.log.

The power-on ends when the switch's init ends (the launcher or the
application it became ended, or reboot ran), when the operator pulls the
plug with the escape key (Ctrl-] by default), or when the switch's watchdog
runs out (see watchdog.py): this loop reads its FIFO too.
"""

import contextlib
import dataclasses
import datetime
import errno
import fcntl
import json
import os
import re
import select
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time
import tty
from pathlib import Path

from . import binaries, console, lan, records, rootfs, rxshim, state as st, watchdog as wd

POWER_ON = binaries.TOOL_DIR / "power-on.sh"
TEMPLATE = binaries.TOOL_DIR / "rootfs"
SWITCH_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
ESCAPE = 0x1D  # Ctrl-]
NEEDED = ["unshare", "nsenter", "setsid", "chroot", "busybox", "ip"]
# The far end of the management port's cable (--mgmt), in a network
# namespace of its own: 192.0.2.1/24 with a DHCP server.
FAR_END = "mgmt0"
# What the switch's own network scripts run, from the PC's root.
MGMT_PROGRAMS = {"dhclient": "isc-dhcp-client", "ping": "iputils-ping"}


class PowerError(Exception):
    pass


# The signal that made board-sim pull the plug, if one did.
interrupted = None


# The switch's RAM file system on /tmp, in tmpfs's size syntax.
TMP_SIZE = "64M"
TMP_SIZE_SYNTAX = re.compile(r"[1-9][0-9]*[kKmMgG]?|[1-9][0-9]?%")


@dataclasses.dataclass
class Options:
    usb: str | None = None
    usb_delay: float | None = None  # seconds after power-on until the stick shows up
    tmp_size: str = TMP_SIZE
    clock: int = 1
    bootlaunch: str | None = None
    shell: bool = False  # a busybox shell on the console instead of the launcher
    term: str = "vt100"
    setenv: list = dataclasses.field(default_factory=list)  # NAME=VALUE for the launcher
    escape: int | None = ESCAPE
    mgmt: bool = False  # a cable in the management port, a DHCP server at its far end
    lan: str | None = None  # the management port plugged into this LAN (lan.py)
    switch_ops: str | None = None
    # The launcher in a process group of its own in the console's foreground,
    # as an interactive shell starts a job; else in init's, as the switch's
    # start-up scripts do.
    job_control: bool = False


def check_options(opts):
    if opts.usb and not Path(opts.usb).is_dir():
        raise PowerError(f"USB stick {opts.usb} is not a directory")
    if opts.usb_delay is not None:
        if not opts.usb:
            raise PowerError("a USB delay needs a stick (--usb)")
        if not 0 <= opts.usb_delay < 86400:
            raise PowerError(f"USB delay {opts.usb_delay:g} is not a number of seconds")
    if not TMP_SIZE_SYNTAX.fullmatch(opts.tmp_size):
        raise PowerError(f"/tmp size {opts.tmp_size!r} is not a tmpfs size such as 64M")
    if opts.mgmt and opts.lan:
        raise PowerError("the management port takes one cable: --mgmt or --lan")
    if opts.lan:
        lan.require_up(opts.lan)
    if opts.mgmt and not shutil.which("dnsmasq", path=SWITCH_PATH):
        raise PowerError("the management network needs dnsmasq on this PC (Debian's dnsmasq-base)")
    # The switch's root is the PC's with the board's substitutes on top: its
    # dhclient and the ping that Debian's dhclient-script runs are the PC's.
    for program, package in MGMT_PROGRAMS.items():
        if (opts.mgmt or opts.lan) and not shutil.which(program, path=SWITCH_PATH):
            raise PowerError(f"the switch's management port needs {program} on this PC "
                             f"(Debian's {package})")


def launch_words(opts, launcher):
    """The command board-init runs on the console: the launcher (under
    qemu-user when it is a PowerPC program) with a clean environment and
    default signal dispositions."""
    # BOOTLAUNCH_SIM_BOARD tells the simulator build that it runs inside the
    # board, where its "reboot" is the substitute; it refuses to start elsewhere.
    env = [f"PATH={SWITCH_PATH}", "HOME=/", f"TERM={opts.term}",
           f"BOOTLAUNCH_SIM_CLOCK={opts.clock}", "BOOTLAUNCH_SIM_BOARD=1", *opts.setenv]
    if opts.shell:
        program = ["/bin/sh"]
        env.append("PS1=switch# ")
    else:
        program = [*binaries.run_prefix(launcher), "/usr/sbin/bootlaunch"]
    return ["/usr/bin/env", "-i", "--default-signal", *env, *program]


def require_root(what="powering the switch on needs root (namespaces and mounts)"):
    if os.geteuid() != 0:
        raise PowerError(what)
    missing = [p for p in NEEDED if not any(
        os.access(os.path.join(d, p), os.X_OK) for d in SWITCH_PATH.split(":"))]
    if missing:
        raise PowerError(f"missing on this PC: {', '.join(missing)}")


def lock(state):
    """Holds the state directory for one power-on at a time."""
    fd = os.open(state, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        raise PowerError(f"the switch in {state} is powered on already") from None
    return fd


def powered_on(state):
    """Whether a power-on holds the state directory (see lock); needs no
    root."""
    try:
        fd = os.open(state, os.O_RDONLY | os.O_DIRECTORY)
    except FileNotFoundError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


def init_pid(unshare_pid, timeout=10.0):
    """The switch's init as the PC sees it: the child unshare forked."""
    children = Path(f"/proc/{unshare_pid}/task/{unshare_pid}/children")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            words = children.read_text().split()
        except OSError:
            return None
        if words:
            return int(words[0])
        time.sleep(0.005)
    return None


def window_size(fd):
    try:
        return fcntl.ioctl(fd, termios.TIOCGWINSZ, b"\0" * 8)
    except OSError:
        return struct.pack("HHHH", 24, 80, 0, 0)


def prepare_console(slave, outer):
    """A serial console: 115200 bit/s, cooked, echoing, the operator's
    window size when there is one."""
    attrs = termios.tcgetattr(slave)
    attrs[4] = attrs[5] = termios.B115200
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    fcntl.ioctl(slave, termios.TIOCSWINSZ, window_size(outer))


def start_sandbox(state, opts, launcher, slave, stage, shim, switch_ops, rfs_root):
    env = {
        "BS_RFS_ROOT": str(rfs_root or ""),
        "PATH": SWITCH_PATH,
        "BS_STAGE": stage,
        "BS_TEMPLATE": str(TEMPLATE),
        "BS_STATE": str(state),
        "BS_CONSOLE": os.ttyname(slave),
        "BS_LAUNCHER": str(launcher),
        "BS_USB": str(st.absolute(opts.usb)) if opts.usb else "",
        "BS_USB_DELAY": "" if opts.usb_delay is None else f"{opts.usb_delay:g}",
        "BS_TMP_SIZE": opts.tmp_size,
        "BS_RX_SHIM": str(shim or ""),
        "BS_MGMT": "1" if opts.mgmt else "",
        "BS_LAN_NET": lan.netns(opts.lan) if opts.lan else "",
        "BS_SWITCH_OPS": str(switch_ops or ""),
        "BS_SWITCH_OPS_PREFIX": " ".join(binaries.run_prefix(switch_ops)) if switch_ops else "",
        "BS_CLOCK": str(opts.clock),
    }
    cmd = ["unshare", "--mount", "--pid", "--net", "--uts", "--ipc", "--fork", "--kill-child",
           "--propagation", "private", "/bin/sh", str(POWER_ON)]
    pid = os.fork()
    if pid == 0:
        try:
            os.setsid()
            fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
            for fd in (0, 1, 2):
                os.dup2(slave, fd)
            os.closerange(3, 65536)
            os.execvpe(cmd[0], cmd, env)
        finally:
            os._exit(127)
    return pid


def write_all(fd, data):
    while data:
        try:
            data = data[os.write(fd, data):]
        except BlockingIOError:
            select.select([], [fd], [])


class Outer:
    """The operator's side: raw mode while the switch is on, when it is a
    terminal; input may also be a pipe, or absent."""

    def __init__(self, in_fd=0, out_fd=1):
        self.in_fd, self.out_fd = in_fd, out_fd
        self.saved = None
        try:
            os.fstat(in_fd)
            self.is_tty = os.isatty(in_fd)
        except OSError:
            self.in_fd, self.is_tty = None, False

    def __enter__(self):
        if self.is_tty:
            self.saved = termios.tcgetattr(self.in_fd)
            tty.setraw(self.in_fd)
        return self

    def __exit__(self, *exc):
        if self.saved is not None:
            termios.tcsetattr(self.in_fd, termios.TCSADRAIN, self.saved)
            self.saved = None


def bridge(master, pid, outer, log, escape, door, watchdog, reset):
    """Copies between the console and the operator, and the client of the
    console socket `door` when there is one, until every process of the
    switch has let go of the console; meanwhile feeds `watchdog` what the
    switch writes to it, and calls `reset` when it runs out. Returns
    (unplugged, wait status)."""
    pending = b""
    in_fd = outer.in_fd
    out_fd = outer.out_fd
    unplugged = False
    status = None
    while True:
        readers = ([master] + ([in_fd] if in_fd is not None else []) + door.readers()
                   + watchdog.readers())
        writers = ([master] if pending else []) + door.writers()
        left = watchdog.wait(time.monotonic())
        try:
            ready_r, ready_w, _ = select.select(readers, writers, [],
                                                0.1 if left is None else min(0.1, left))
        except InterruptedError:
            continue
        watchdog.serve(ready_r)
        if not unplugged and interrupted is None and watchdog.expired(time.monotonic()):
            reset()
        # The client's bytes are binary (XMODEM blocks): the escape key is
        # the operator's only.
        pending += door.serve(ready_r, ready_w)
        if master in ready_r:
            try:
                data = os.read(master, 65536)
            except BlockingIOError:
                data = None
            except OSError as e:
                if e.errno != errno.EIO:
                    raise
                data = b""
            if data == b"":
                break  # no process holds the console any more
            if data:
                log.write(data)
                log.flush()
                door.printed(data)
                if out_fd is not None:
                    try:
                        write_all(out_fd, data)
                    except OSError:
                        out_fd = None  # nobody reads any more; the log goes on
        if in_fd is not None and in_fd in ready_r:
            try:
                data = os.read(in_fd, 4096)
            except OSError:
                data = b""
            if not data:
                in_fd = None  # no more input; the switch runs on
            elif escape is not None and escape in data:
                pending += data[:data.index(escape)]
                in_fd = None
                unplugged = True
                os.kill(pid, signal.SIGKILL)  # unshare's --kill-child ends init
            else:
                pending += data
        if master in ready_w and pending:
            try:
                pending = pending[os.write(master, pending):]
            except BlockingIOError:
                pass
            except OSError:
                pending = b""
        if status is None:
            done, wstatus = os.waitpid(pid, os.WNOHANG)
            if done:
                status = wstatus
    if status is None:
        status = os.waitpid(pid, 0)[1]
    return unplugged, status


@contextlib.contextmanager
def handled_signals(pid, master, outer):
    """While the switch is on: the operator's window size follows to the
    console, and a request to stop (TERM, HUP, INT) takes the switch down
    the way Ctrl-] does, so that the terminal, the records and the PC are
    left tidy."""
    def pull_plug(signum, _frame):
        global interrupted
        interrupted = signum
        os.kill(pid, signal.SIGKILL)

    handlers = {signal.SIGWINCH: lambda *_: fcntl.ioctl(
        master, termios.TIOCSWINSZ, window_size(outer.out_fd))}
    handlers.update({s: pull_plug for s in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT)})
    previous = {s: signal.signal(s, h) for s, h in handlers.items()}
    try:
        yield
    finally:
        for s, h in previous.items():
            signal.signal(s, h)


def power_on(state, opts, outer=None):
    """One power-on; returns the record also written to DIR/last-boot.json."""
    global interrupted
    interrupted = None
    require_root()
    state = st.absolute(state)
    st.check(state)
    check_options(opts)
    launcher = binaries.locate("bootlaunch", opts.bootlaunch)
    switch_ops = binaries.locate_optional("switch-ops", opts.switch_ops)
    words = launch_words(opts, launcher)
    outer = outer or Outer()
    held = lock(state)
    master = slave = -1
    door = watchdog = None
    # Where power-on.sh mounts its working tmpfs (only inside the switch's
    # mount namespace). In DIR/run, so that even a board-sim killed outright
    # leaves nothing elsewhere: the next power-on clears DIR/run.
    stage = state / "run/.stage"
    try:
        st.clear_run(state)
        stage.mkdir()
        st.reset_expander(state)
        (state / "run/launch").write_text(
            "# How board-init starts the launcher at this power-on (written by board-sim).\n"
            "exec " + " ".join(shlex.quote(w) for w in words) + "\n")
        if opts.job_control:
            (state / "run/job-control").write_text("")
        try:
            shim = rxshim.build(state)
        except rxshim.ShimError as e:
            shim = None
            sys.stderr.write(f"[board-sim] warning: {e}; XMODEM transfers may stall\n")
        master, slave = os.openpty()
        prepare_console(slave, outer.out_fd)
        os.set_blocking(master, False)
        started = datetime.datetime.now().astimezone().isoformat(timespec="seconds")
        t0 = time.monotonic()
        door = console.ConsoleSocket(state)
        watchdog = wd.Watchdog(state, opts.clock, t0)
        # What the root file system partition adds to /, unpacked beside the
        # stage (run/ is cleared at every power-on).
        rfs_root = state / "run/rfs-root"
        rfs_root.mkdir()
        rfs_files = rootfs.unpack(state, rfs_root)
        if opts.lan:
            (state / "run/lan.json").write_text(json.dumps({"lan": str(st.absolute(opts.lan))}))
        (state / "run/rfs-files").write_text("".join(f + "\n" for f in rfs_files))
        pid = start_sandbox(state, opts, launcher, slave, str(stage), shim, switch_ops,
                            rfs_root if rfs_files else None)
        os.close(slave)
        slave = -1
        init = init_pid(pid)
        if init:
            (state / "run/pid").write_text(f"{init}\n")

        def reset():
            # As a power loss: the switch's init, and with it every process
            # of the switch, ends at once. unshare goes first, as when the
            # plug is pulled: it would report its child's end on the console
            # (its --kill-child ends init too).
            os.kill(pid, signal.SIGKILL)
            if init:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(init, signal.SIGKILL)

        with handled_signals(pid, master, outer), \
                open(state / "console.log", "wb") as log, outer:
            unplugged, status = bridge(master, pid, outer, log, opts.escape, door, watchdog,
                                       reset)
        watchdog.serve([watchdog.fd])  # what came last
        unplugged = unplugged or interrupted is not None
        seconds = time.monotonic() - t0
    finally:
        if door is not None:
            door.close()
        if watchdog is not None:
            watchdog.close()
        for fd in (master, slave):
            if fd >= 0:
                os.close(fd)
        (state / "run/pid").unlink(missing_ok=True)
        if stage.is_dir():
            stage.rmdir()
        os.close(held)
    options = {"clock": opts.clock, "usb": str(st.absolute(opts.usb)) if opts.usb else None,
               "usb_delay": opts.usb_delay, "tmp_size": opts.tmp_size,
               "shell": opts.shell, "setenv": opts.setenv, "mgmt": opts.mgmt,
               "lan": str(st.absolute(opts.lan)) if opts.lan else None,
               "job_control": opts.job_control,
               "switch_ops": str(switch_ops) if switch_ops else None}
    sandbox_status = os.waitstatus_to_exitcode(status)
    record = records.compose(state, launcher, words[words.index("--default-signal") + 1:],
                             options, started, seconds, unplugged, sandbox_status,
                             watchdog.record())
    records.write(state, record)
    return record


def summary(record):
    ended = record["ended"]
    if record["status"] is not None and ended in ("exit", "application-ended"):
        return f"{ended}, status {record['status']}"
    if record["signal"]:
        return f"{ended}, signal {record['signal']}"
    return ended


def running_pid(state):
    """The init of the powered switch in DIR, or PowerError."""
    path = st.absolute(state) / "run/pid"
    try:
        pid = int(path.read_text())
        os.kill(pid, 0)
    except PermissionError:
        raise PowerError("reaching the powered switch needs root") from None
    except (OSError, ValueError):
        raise PowerError(f"the switch in {state} is not powered on") from None
    return pid


def far_end_pid(state):
    """The PC pid of the process that holds the far end of the powered
    switch's management port (its network namespace), or PowerError."""
    init = running_pid(state)
    try:
        pid = int((st.absolute(state) / "run/mgmt-far.pid").read_text())
        # Only a process of this switch: a number the PC has reused since is not.
        same = os.readlink(f"/proc/{pid}/ns/pid") == os.readlink(f"/proc/{init}/ns/pid")
    except (OSError, ValueError):
        same = False
    if not same:
        raise PowerError(f"the switch in {state} has no management network (power it on "
                         "with --mgmt)")
    return pid


def set_far_end(state, up):
    """Takes the far end of the management port's cable down or up: the
    switch's eth0 then loses or regains its carrier."""
    require_root()
    port = st.absolute(state) / "run/lan-port"
    if port.exists():  # a port of a LAN's bridge (--lan)
        running_pid(state)
        lan_dir = json.loads((st.absolute(state) / "run/lan.json").read_text())["lan"]
        lan.inside(lan_dir, "ip", "link", "set", port.read_text().strip(),
                   "up" if up else "down")
        return
    pid = far_end_pid(state)
    subprocess.run(["nsenter", f"--target={pid}", "--net", "--", "ip", "link", "set",
                    FAR_END, "up" if up else "down"], check=True)


def exec_in(state, command, inside=False, far=False):
    """Runs `command` in the powered switch's network namespace on the PC's
    file system, or with `inside` in all of the switch's namespaces and its
    root, as a process of the switch, or with `far` in the network namespace
    of the management port's far end. Does not return."""
    require_root()
    if far:
        cmd = ["nsenter", "--net", f"--target={far_end_pid(state)}", "--", *command]
    elif inside:
        pid = running_pid(state)
        cmd = ["nsenter", f"--target={pid}", "--mount", "--uts", "--ipc", "--net", "--pid",
               "--root", "--wd", "--", "/usr/bin/env", "-i", f"PATH={SWITCH_PATH}", "HOME=/",
               f"TERM={os.environ.get('TERM', 'vt100')}", *command]
    else:
        cmd = ["nsenter", "--net", f"--target={running_pid(state)}", "--", *command]
    sys.stdout.flush()
    os.execvp(cmd[0], cmd)
