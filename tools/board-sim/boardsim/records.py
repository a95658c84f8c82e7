"""What a power-on left in DIR/run, turned into DIR/last-boot.json.

Records written inside the switch (DIR/run is /run/board there):
    launch                how board-init started the launcher (written by us)
    launcher.pid          the launcher's process id (in the switch's PID space)
    launcher.status       its exit status, as the shell gives it (128+N: signal N)
    init.signal           reboot/halt/poweroff: init was signalled TERM/USR1/USR2
    power.argv, .parent   reboot (or a relative) ran: its arguments, its caller
    backtrace.*           /bin/backtrace ran: argv, environ, parent, pid
    app-start.json        the demo application's start record
    flash.log             mounts of /user, unmounts, erases
What board-sim saw itself: whether the plug was pulled, and what the switch
wrote to its watchdog (watchdog.py), with whether that reset the switch.
"""

import json
import os
from pathlib import Path

POWER_CUT_STATUS = 86  # the simulator's status for a process whose power was cut


def _nul_list(path):
    if not path.exists():
        return None
    words = path.read_bytes().split(b"\0")
    if words and words[-1] == b"":
        words.pop()
    return [w.decode("utf-8", "replace") for w in words]


def _text(path):
    return path.read_text(errors="replace").strip() if path.exists() else None


def _number(path):
    text = _text(path)
    try:
        return int(text) if text else None
    except ValueError:
        return None


def _environment(entries):
    env = {}
    for entry in entries or []:
        name, _, value = entry.partition("=")
        env[name] = value
    return env


def _command_line(words):
    return " ".join(words) if words is not None else None


def how_started(parent_command_line, by_backtrace):
    """Tells the launch variants apart by the application's parent: the
    launcher's own process (through /bin/backtrace), gdbserver, the debugger
    fetched to /tmp/gdb, or a command run through the shell."""
    if by_backtrace:
        return "backtrace"
    program = (parent_command_line or "").split(" ")[0]
    if os.path.basename(program) == "gdbserver":
        return "gdbserver"
    if program == "/tmp/gdb" or os.path.basename(program) == "gdb":
        return "gdb"
    return "shell"


def _backtrace(run):
    argv = _nul_list(run / "backtrace.argv")
    if argv is None:
        return None
    return {
        "argv": argv,
        "environment": _environment(_nul_list(run / "backtrace.environ")),
        "parent_command_line": _command_line(_nul_list(run / "backtrace.parent")),
        "pid": _number(run / "backtrace.pid"),
    }


def _application(run, backtrace):
    start = run / "app-start.json"
    if not start.exists():
        if backtrace is None:
            return None
        # Started by /bin/backtrace, but not a program that leaves a record.
        env = backtrace["environment"]
        return {"how": "backtrace", "command_line": "/tmp/home/bin/mp.elf.strip",
                "argv": None, "environment": env, "preload": env.get("LD_PRELOAD"),
                "pid": backtrace["pid"], "ppid": None,
                "parent_command_line": backtrace["parent_command_line"]}
    try:
        app = json.loads(start.read_text(errors="replace"))
    except ValueError:
        return {"how": None, "error": "unreadable app-start.json"}
    env = _environment(app.get("environment"))
    by_backtrace = backtrace is not None and backtrace["pid"] == app.get("pid")
    return {
        "how": how_started(app.get("parent_command_line"), by_backtrace),
        "command_line": _command_line(app.get("argv")),
        "argv": app.get("argv"),
        "environment": env,
        "preload": env.get("LD_PRELOAD"),
        "pid": app.get("pid"),
        "ppid": app.get("ppid"),
        "parent_command_line": app.get("parent_command_line"),
        "program": app.get("program"),
        "version": app.get("version"),
        "diagnostics": app.get("diagnostics"),
        "boot_slot": app.get("boot_slot"),
        "booted_image": app.get("booted_image"),
    }


def _ending(run, unplugged, backtrace, watchdog):
    """(ended, status, signal)."""
    if watchdog and watchdog["reset_at"] is not None:
        return "watchdog", None, None
    if unplugged:
        return "unplugged", None, None
    power = _nul_list(run / "power.argv")
    if power:
        name, args = os.path.basename(power[0]), power[1:]
        rebooting = name == "reboot" or any(a in ("reboot", "6", "-r") for a in args)
        return ("reboot" if rebooting else "halt"), None, None
    init_signal = _text(run / "init.signal")
    if init_signal:
        return ("reboot" if init_signal == "reboot" else "halt"), None, None
    status = _number(run / "launcher.status")
    if status is None:
        return "sandbox-failed", None, None
    signal = status - 128 if 128 < status < 128 + 65 else None
    in_place = backtrace is not None and backtrace["pid"] == _number(run / "launcher.pid")
    if in_place:
        return "application-ended", (None if signal else status), signal
    if status == POWER_CUT_STATUS:
        return "power-cut", status, None
    if signal:
        return "signal", None, signal
    return "exit", status, None


def compose(state, launcher, launch_words, options, started, seconds, unplugged,
            sandbox_status, watchdog=None):
    run = Path(state) / "run"
    backtrace = _backtrace(run)
    ended, status, signal = _ending(run, unplugged, backtrace, watchdog)
    power = _nul_list(run / "power.argv")
    flash_log = _text(run / "flash.log")
    return {
        "ended": ended,
        "status": status,
        "signal": signal,
        "reboot": None if not power else {
            "command": power,
            "parent_command_line": _command_line(_nul_list(run / "power.parent")),
        },
        "application": _application(run, backtrace),
        "backtrace": backtrace,
        "flash": flash_log.splitlines() if flash_log else [],
        "watchdog": watchdog,
        "launcher": {"binary": str(launcher), "command": launch_words,
                     "pid": _number(run / "launcher.pid")},
        "options": options,
        "sandbox_status": sandbox_status,
        "started": started,
        "seconds": round(seconds, 3),
    }


def write(state, record):
    path = Path(state) / "last-boot.json"
    tmp = path.with_suffix(".json.tmp")
    tmp.write_text(json.dumps(record, indent=2) + "\n")
    tmp.replace(path)
