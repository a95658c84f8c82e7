# End-to-end harness: simulated switches powered on with board-sim and
# driven on their console with pexpect, in the manner of U-Boot's console
# tests (expect a text, send keys), so that a scenario reads as it would on a
# real switch's serial port.
#
# The programs under test come from BOARD_SIM_BOOTLAUNCH and BOARD_SIM_BOOTIMG
# (CTest sets them for each build preset; by hand they default to build/sim).
# Powering a switch on needs root; such tests are skipped otherwise.

import collections
import json
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pexpect
import pytest

ROOT = Path(__file__).resolve().parents[2]
BOARD_SIM = ROOT / "tools/board-sim/board-sim"
sys.dont_write_bytecode = True
sys.path.insert(0, str(BOARD_SIM.parent))

from boardsim import binaries, demo, state as st  # noqa: E402

# A guard against hangs only: nothing here measures time.
TIMEOUT = 60
# The switch's fixed waits run this many times faster.
CLOCK = 10

# How the launcher mounts the switch's JFFS2 file system at its start.
MOUNT_USER = "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"

# The rescue menu, as the console shows it.
MENU = ("Please select one of the following options:\r\n"
        "\tX) Use xmodem 1K to serial download an image\r\n"
        "\tR) Reboot\r\n"
        "\tE) Exit\r\n")
MENU_PROMPT = "\r\nOption? : "
SLOT_PROMPT = "Install image as image 1 or 2 (hit return to just boot image): "
ERASE_QUESTION = ("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) "
                  "y/N: ")

needs_root = pytest.mark.skipif(
    os.geteuid() != 0, reason="powering the simulated switch on needs root (namespaces, mounts)")

# A slow scenario of the sandbox alone, which no build of the launcher takes
# part in: CTest runs it with the sim build only (E2E_SANDBOX_ONCE is set for
# the other builds).
sandbox_only = pytest.mark.skipif(
    os.environ.get("E2E_SANDBOX_ONCE") == "skip",
    reason="a scenario of the sandbox alone: run with the sim build")


def board_sim(*args, check=True, **kw):
    return subprocess.run([str(BOARD_SIM), *map(str, args)], check=check, text=True,
                          capture_output=True, **kw)


class Console:
    # The switch's console during one power-on.

    def __init__(self, board, args):
        self.board = board
        self.child = pexpect.spawn(str(BOARD_SIM), args, timeout=TIMEOUT, encoding="utf-8",
                                   codec_errors="replace", dimensions=(24, 200))
        self.child.logfile_read = open(board.path.parent / f"{board.path.name}-pexpect.log", "a")

    def expect(self, pattern):
        # Waits for a text (a regular expression, or a list of them: then
        # returns the index matched); returns the match.
        index = self.child.expect(pattern)
        return index if isinstance(pattern, list) else self.child.match

    def expect_exact(self, *texts):
        # Waits for each text in turn.
        for text in texts:
            self.child.expect_exact(text)

    @property
    def before(self):
        # What came before the last match.
        return self.child.before

    def send(self, keys):
        self.child.send(keys)

    def sendline(self, line=""):
        self.child.sendline(line)

    def send_bytes(self, data):
        # Sends raw bytes, as line noise arrives: not text to encode.
        os.write(self.child.child_fd, data)

    def press(self, key):
        # Presses a key once the launcher reads one (see wait_for_key_read).
        self.board.wait_for_key_read()
        self.send(key)

    def menu(self, key):
        # Waits for the rescue menu's prompt, then presses `key`.
        self.expect_exact(MENU_PROMPT)
        self.press(key)

    def off(self):
        # Waits for the power-on to end; returns last-boot.json.
        self.child.expect(pexpect.EOF)
        self.child.close()
        self.child.logfile_read.close()
        return json.loads((self.board.path / "last-boot.json").read_text())

    def app(self, slot_version=None, version=None):
        # Waits for the demo application's prompt and ends it; returns
        # last-boot.json. The program says its own version (the tests'
        # archives hold 1.0.0.1); the slot's is its env-setup's
        # DEMO_SLOT_VERSION.
        self.expect(f"Demo application {re.escape(version) if version else '[^ ]+'} started")
        self.expect_exact("> ")
        self.sendline("exit")
        record = self.off()
        if slot_version:
            assert record["application"]["environment"]["DEMO_SLOT_VERSION"] == slot_version
        return record


class Shell:
    # A busybox shell on the switch's console in place of the launcher
    # (board-sim boot --shell): for looking at the sandbox from inside.

    PROMPT = "switch# "

    def __init__(self, console):
        self.console = console
        console.expect_exact(self.PROMPT)
        # Without echo busybox reads plain lines: no line editing escapes.
        console.sendline("stty -echo")
        console.expect_exact(self.PROMPT)

    def run(self, command):
        # Runs a command line, which must succeed; returns its output (line
        # ends as \n).
        self.console.sendline(f'{command}; echo "<<status=$?>>"')
        match = self.console.expect(r"<<status=(\d+)>>\r\n")
        output = self.console.before.replace("\r\n", "\n")
        self.console.expect_exact(self.PROMPT)
        assert match.group(1) == "0", f"{command}: status {match.group(1)}\n{output}"
        return output

    def reboot(self):
        self.console.sendline("reboot")
        return self.console.off()


class Board:
    # A simulated switch's state directory, and how to power it on.

    def __init__(self, path):
        self.path = Path(path)

    # --- state -----------------------------------------------------------
    def vpd(self, where):
        return st.vpd_get(self.path, st.vpd_offset(str(where)))

    def set_vpd(self, where, value):
        st.vpd_set(self.path, st.vpd_offset(str(where)), value)

    def set_env(self, **variables):
        # Sets the boot loader's variables; None unsets one.
        env = st.env_load(self.path)[0]
        for name, value in variables.items():
            env.pop(name, None)
            if value is not None:
                env[name] = str(value)
        st.env_store(self.path, env)

    def snapshot(self):
        # Keeps a copy of the switch as it is; returns what puts it back.
        clean = self.path.parent / f"{self.path.name}-clean"
        shutil.copytree(self.path, clean, symlinks=True)

        def restore():
            shutil.rmtree(self.path)
            shutil.copytree(clean, self.path, symlinks=True)

        return restore

    def partition(self, name):
        return (self.path / "dev" / name).read_bytes()

    def slot(self, n):
        return self.path / f"user/images/image{n}"

    def corrupt(self, slot, offset=-1):
        # Flips every bit of one byte of a slot file (default: its last).
        data = bytearray(self.slot(slot).read_bytes())
        data[offset] ^= 0xFF
        self.slot(slot).write_bytes(bytes(data))

    def app_archive(self, version, extra=None):
        # An archive of the demo program 1.0.0.1 whose env-setup says
        # `version` (DEMO_SLOT_VERSION), with `extra` files ({name: (bytes,
        # mode)}) besides; returns its path.
        files = demo.app_files(version, self.demo_program())
        files.update(extra or {})
        archive = self.path / "demo" / f"test-{version}-{len(files)}.tar.gz"
        archive.write_bytes(demo.archive_bytes(files))
        return archive

    def app_image(self, path, version, **files):
        # A container of one application section from app_archive(version).
        return make_container(path, [("app", version, self.app_archive(version, **files))])

    def demo_program(self, stripped=True):
        # The demo program 1.0.0.1 as it goes into an archive, or with its
        # debugging information (the symbol file for a debugger on the PC).
        path = self.path / "demo/demo_app-1.0.0.1"
        return Path(f"{path}.strip") if stripped else path

    # --- power -----------------------------------------------------------
    def power_on(self, *, usb=None, shell=False, clock=CLOCK, setenv=(), extra=(), lan=None,
                 command="boot"):
        args = [command, str(self.path), "--clock", str(clock),
                "--bootlaunch", str(bootlaunch())]
        if usb:
            args += ["--usb", str(usb)]
        if lan:
            args += ["--lan", str(lan.path)]
        if shell:
            args.append("--shell")
        for item in setenv:
            args += ["--setenv", item]
        return Console(self, args + list(extra))

    def rescue(self, **kw):
        # Powers on with the boot loader asking for the rescue menu.
        self.set_env(diagnostics="rescue")
        return self.power_on(**kw)

    def shell(self, **kw):
        return Shell(self.power_on(shell=True, **kw))

    def wait_for_line(self, ready, what="the console line never changed"):
        # Waits until the console line's settings, as `stty -a` shows them
        # inside, make `ready` true.
        for _ in range(TIMEOUT * 20):
            line = self.exec("stty", "-F", "/dev/ttyS0", "-a", inside=True, check=False).stdout
            if ready(line):
                return
            time.sleep(0.05)
        raise AssertionError(what)

    def wait_for_key_read(self):
        # Waits until the launcher reads a single key: the console is then
        # out of line mode. A key sent earlier could be taken by the line
        # discipline first; a Ctrl-C sent earlier would interrupt no read.
        self.wait_for_line(lambda line: "-icanon" in line, "the launcher never read a key")

    def console_log(self):
        return (self.path / "console.log").read_text(errors="replace")

    def exec(self, *command, inside=False, far=False, **kw):
        # Runs a PC command in the powered switch's network namespace (or
        # inside the switch, or at the far end of its management port's
        # cable); returns the CompletedProcess.
        where = ["--inside"] if inside else ["--far"] if far else []
        return board_sim("exec", self.path, *where, "--", *command, **kw)


# --- a serial download on the console ---------------------------------------------

def send_while_switched(board, console, file, switched=lambda line: "-icanon" in line):
    # Sends `file` with board-sim send (lrzsz sx -k on the console socket)
    # and presses Enter once the console line's settings (`stty -a` inside)
    # make `switched` true, as an operator does once the terminal follows
    # the switch; then Enter again once the line is back at the console's
    # settings: a key sent while the switch still drains and flushes the
    # line is thrown away. The sender must end with success.
    sender = subprocess.Popen([str(BOARD_SIM), "send", str(board.path), str(file)],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        board.wait_for_line(switched)
        console.send("\r")
        out, _ = sender.communicate(timeout=TIMEOUT)
    finally:
        if sender.poll() is None:
            sender.kill()
    assert sender.returncode == 0, out
    back_to_console_settings(board, console, lambda line: not switched(line))


def back_to_console_settings(board, console, back=lambda line: "-icanon" not in line):
    console.expect_exact("Change the baud rate back to 9600 bps, hit the <ENTER> key")
    board.wait_for_line(back)
    console.send("\r")


def bootlaunch():
    return binaries.locate("bootlaunch")


def bootimg():
    return binaries.locate("bootimg")


def run_bootimg(*args, **kw):
    # Runs the container tool (under qemu-user when it is a PowerPC build).
    tool = bootimg()
    return subprocess.run([*binaries.run_prefix(tool), str(tool), *map(str, args)], check=True,
                          text=True, capture_output=True, **kw)


def make_container(path, sections):
    # `bootimg create` of [(type, version, payload path)]; returns `path`.
    demo.make_image(bootimg(), path, [(t, v, p, None) for t, v, p in sections])
    return path


def sections_of(path):
    # A container's sections as bytes, where `bootimg list` finds them.
    listed = json.loads(run_bootimg("list", "--json", path).stdout)
    data = path.read_bytes()
    return [data[s["offset"]:s["offset"] + s["size"]] for s in listed["sections"]]


def report(title, endings):
    # How a campaign's runs ended, for scripts/*-campaign (pytest -s).
    print(f"\n{title}:")
    for ending, count in sorted(collections.Counter(endings).items()):
        print(f"  {count:4d}  {ending}")


def is_powerpc(path):
    return binaries.elf_machine(path) == binaries.EM_PPC


@pytest.fixture(scope="session")
def demo_template(tmp_path_factory):
    # One demo switch made with `board-sim new --demo`, copied per test.
    path = tmp_path_factory.mktemp("template") / "switch"
    board_sim("new", path, "--demo", "--bootimg", bootimg())
    return path


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    if call.when == "call":
        item.passed = outcome.get_result().passed


@pytest.fixture
def board(demo_template, tmp_path, request):
    # A fresh demo switch: slots 1 and 2 hold the demo application 1.0.0.1
    # and 1.0.0.2, the rescue partition the demo diagnostics image, and the
    # boot slot byte is 1. A switch takes some 30 MB: only a failed test's
    # is kept to look at.
    path = tmp_path / "switch"
    shutil.copytree(demo_template, path, symlinks=True)
    yield Board(path)
    # E2E_TRANSCRIPTS=DIR keeps every test's console, all its power-ons, as
    # DIR/<test>.log: two runs compare byte for byte.
    keep = os.environ.get("E2E_TRANSCRIPTS")
    log = path.parent / f"{path.name}-pexpect.log"
    if keep and log.exists():
        name = re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.nodeid)
        shutil.copy(log, Path(keep) / f"{name}.log")
    if getattr(request.node, "passed", False):
        shutil.rmtree(path, ignore_errors=True)


class Lan:
    # A management LAN (board-sim lan) that switches plug into.

    def __init__(self, path):
        self.path = Path(path)
        self.serve = self.path / "serve"

    def __call__(self, *args, **kw):
        # board-sim lan ACTION LANDIR ARGS...
        return board_sim("lan", args[0], self.path, *args[1:], **kw)

    def served(self):
        # The HTTP server's answers by status, e.g. {"200": 4}.
        return collections.Counter(re.findall(r"response:(\d+)",
                                              (self.path / "run/http.out").read_text()))


@pytest.fixture
def lan(tmp_path):
    # A LAN whose server offers http://installer/image.img (nothing there yet).
    network = Lan(tmp_path / "lan")
    network("up", "--offer", "http://installer/image.img")
    yield network
    network("down", check=False)


@pytest.fixture
def stick(tmp_path):
    # A USB stick's files.
    path = tmp_path / "stick"
    path.mkdir()
    return path
