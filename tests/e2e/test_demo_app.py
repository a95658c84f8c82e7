"""The demo application on the simulated switch, and what board-sim records
of how it was started.

The first tests boot the demo switch with the launcher. The launch variant
tests run the launcher's exact command lines from a shell on the console
(board-sim boot --shell), so that each way of starting the application is
checked against Debian's gdbserver, gdb and duma whatever the launcher does.
"""

import gzip
import shutil
import subprocess

import pexpect
import pytest

from conftest import BOARD_SIM, bootlaunch, is_powerpc, needs_root

pytestmark = needs_root

UNPACK = "cd /tmp && tar mxzf /user/app.tar.gz && rm /user/app.tar.gz && cd /"


@pytest.mark.parametrize("slot, version", [(1, "1.0.0.1"), (2, "1.0.0.2")])
def test_demo_boots_and_tells_where_it_came_from(board, slot, version):
    board.set_vpd("boot-slot", slot)
    console = board.power_on()
    console.expect_exact(f"Demo install script: application {version}")
    console.expect_exact(f"Demo application {version} started")
    console.expect_exact(f"Booted from image slot {slot} (booted-image byte {slot}, "
                         f"boot slot byte {slot})")
    console.expect_exact(f"env-setup: DEMO_SLOT_VERSION={version}")
    console.expect_exact("env-setup: DEMO_GREETING=hello")
    console.expect_exact("LD_PRELOAD: not set")
    console.expect_exact("Started by: /bin/sh /usr/sbin/board-init")
    console.expect_exact("demo> ")
    console.sendline("version")
    console.expect_exact(f"{version}\r\ndemo> ")
    console.sendline("env")
    console.expect_exact(f"DEMO_SLOT_VERSION={version}")
    console.expect_exact("demo> ")
    console.sendline("what")
    console.expect_exact("Unknown command 'what'. Type help.")
    console.sendline("reboot")
    record = console.off()
    assert record["ended"] == "reboot"
    assert record["reboot"]["parent_command_line"] == "/tmp/home/bin/mp.elf.strip"
    app = record["application"]
    assert (app["how"], app["version"], app["booted_image"]) == ("backtrace", version, slot)
    assert app["environment"]["DEMO_SLOT_VERSION"] == version
    assert record["backtrace"]["argv"] == ["/bin/backtrace"]
    assert record["backtrace"]["pid"] == record["launcher"]["pid"] == app["pid"]
    assert board.vpd("booted-image") == slot
    assert "Demo application" in board.console_log()
    # A PowerPC launcher runs under qemu-user; a PC one directly.
    qemu = any(word.endswith("/qemu-ppc-static") for word in record["launcher"]["command"])
    assert qemu == is_powerpc(bootlaunch())


@pytest.mark.parametrize("keys, text, status, signal", [
    ("exit\r", "The application ends.", 0, None),
    ("\x04", "End of input: the application ends.", 0, None),
    # Console keys signal the switch's programs only: the application in
    # the launcher's place ends, and nothing of board-sim's with it.
    ("\x03", None, None, 2),
    ("\x1c", None, None, 3),
])
def test_demo_ends_on_exit_at_end_of_input_and_by_console_keys(board, keys, text, status,
                                                                signal):
    console = board.power_on()
    console.expect_exact("demo> ")
    console.send(keys)
    if text:
        console.expect_exact(text)
    record = console.off()
    assert record["ended"] == "application-ended"
    assert (record["status"], record["signal"]) == (status, signal)
    assert record["sandbox_status"] == 0


def unpacked_shell(board, version="1.0.0.1"):
    """A shell on the switch's console with the demo archive unpacked in
    /tmp, as the launcher leaves it."""
    shutil.copy(board.path / f"demo/app-{version}.tar.gz", board.path / "user/app.tar.gz")
    sh = board.shell()
    sh.run(UNPACK)
    return sh


def test_started_by_backtrace_in_the_shells_place(board):
    sh = unpacked_shell(board)
    sh.console.sendline("export DEMO_SLOT_VERSION=1.0.0.1 DEMO_GREETING=hi; exec /bin/backtrace")
    sh.console.expect_exact("env-setup: DEMO_GREETING=hi")
    sh.console.expect_exact("demo> ")
    sh.console.sendline("exit")
    record = sh.console.off()
    assert (record["ended"], record["status"]) == ("application-ended", 0)
    app = record["application"]
    assert app["how"] == "backtrace"
    assert app["environment"]["DEMO_GREETING"] == "hi"
    assert app["pid"] == record["launcher"]["pid"]


def test_memory_checker_preloaded_by_the_shell(board):
    sh = unpacked_shell(board)
    console = sh.console
    console.sendline("sh -c 'LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip'")
    console.expect_exact("DUMA")
    console.expect_exact("LD_PRELOAD: libduma.so.0.0.0")
    console.expect_exact("demo> ")
    # Under duma a heap overrun hits a guard page at once.
    console.sendline("overrun")
    console.expect_exact("Writing one byte past a 16-byte heap block...")
    console.expect_exact("Segmentation fault")
    console.expect_exact(sh.PROMPT)
    record = sh.reboot()
    app = record["application"]
    assert (app["how"], app["preload"]) == ("shell", "libduma.so.0.0.0")
    assert "not noticed" not in board.console_log()


def test_gdbserver_serves_a_debugger_on_the_pc(board):
    sh = unpacked_shell(board)
    console = sh.console
    console.sendline("/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip")
    console.expect_exact("Listening on port 1234")
    # Debian's gdb on the PC, in the switch's network, with the demo's
    # symbol file.
    gdb = subprocess.Popen(
        [str(BOARD_SIM), "exec", str(board.path), "--", "gdb", "-q", "-batch",
         "-ex", "target remote 127.0.0.1:1234", "-ex", "break run_command", "-ex", "continue",
         "-ex", "bt", "-ex", "continue", str(board.demo_program(stripped=False))],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        console.expect_exact("Started by: /bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip")
        console.expect_exact("demo> ")
        console.sendline("version")
        console.expect_exact("demo> ")
        console.sendline("exit")
        console.expect_exact(sh.PROMPT)
        out = gdb.communicate(timeout=60)[0]
    finally:
        gdb.kill()
    assert 'run_command (line=0x' in out and '"version"' in out
    assert "in main (argc=1" in out
    record = sh.reboot()
    assert record["application"]["how"] == "gdbserver"
    assert record["application"]["parent_command_line"] == \
        "/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip"


def test_gdb_on_the_console(board):
    # The debugger image's payload: Debian's gdb, gzip-compressed; the
    # launcher unpacks it to /tmp/gdb.
    (board.path / "user/gdb.gz").write_bytes(gzip.compress(open("/usr/bin/gdb", "rb").read(), 1))
    sh = unpacked_shell(board)
    sh.run("mv /user/gdb.gz /tmp/gdb.gz && gunzip /tmp/gdb.gz && chmod +x /tmp/gdb")
    console = sh.console
    console.sendline("/tmp/gdb /tmp/home/bin/mp.elf.strip")
    console.expect_exact("(gdb) ")
    for command in ("set style enabled off", "set pagination off", "break run_command"):
        console.sendline(command)
        console.expect_exact("(gdb) ")
    console.sendline("run")
    console.expect_exact("Started by: /tmp/gdb /tmp/home/bin/mp.elf.strip")
    console.expect_exact("demo> ")
    console.sendline("version")
    # The archive's program keeps its function names, not its debugging
    # information.
    console.expect(r"Breakpoint 1, 0x[0-9a-f]+ in run_command \(\)")
    console.expect_exact("(gdb) ")
    console.sendline("continue")
    console.expect_exact("demo> ")
    console.sendline("exit")
    console.expect_exact("(gdb) ")  # breakpoint on "exit"
    console.sendline("continue")
    console.expect(r"\[Inferior 1 \(process \d+\) exited normally\]")
    console.expect_exact("(gdb) ")
    console.sendline("quit")
    console.expect_exact(sh.PROMPT)
    record = sh.reboot()
    assert record["application"]["how"] == "gdb"


def test_diagnostics_program(board):
    shutil.copy(board.path / "demo/diags-1.0.0.3.tar.gz", board.path / "user/app.tar.gz")
    sh = board.shell()
    sh.run(UNPACK)
    sh.run("mkdir -p /tmp/home/bin && mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip")
    sh.console.sendline("exec /bin/backtrace")
    sh.console.expect_exact("Demo diagnostics 1.0.0.3 started")
    sh.console.expect_exact("Diagnostics: all tests passed.")
    sh.console.expect_exact("diag> ")
    sh.console.sendline("reboot")
    record = sh.console.off()
    assert record["ended"] == "reboot"
    assert record["application"]["diagnostics"] is True
    assert record["application"]["version"] == "1.0.0.3"


def test_run_powers_on_again_after_every_reboot(board):
    child = pexpect.spawn(str(BOARD_SIM), ["run", str(board.path), "--clock", "10",
                                           "--bootlaunch", str(bootlaunch())],
                          timeout=60, encoding="utf-8")
    child.expect_exact("Demo application 1.0.0.1 started")
    child.expect_exact("demo> ")
    board.set_vpd("boot-slot", 2)
    child.sendline("reboot")
    child.expect_exact("The switch reboots.")
    child.expect_exact("Demo application 1.0.0.2 started")
    child.expect_exact("demo> ")
    child.send("\x1d")  # Ctrl-] pulls the plug
    child.expect_exact("The switch is off: unplugged.")
    child.expect_exact("Enter: power on again; q: quit.")
    child.sendline("")
    child.expect_exact("Demo application 1.0.0.2 started")
    child.expect_exact("demo> ")
    child.sendline("exit")
    child.expect_exact("The switch is off: application-ended, status 0.")
    child.sendline("q")
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
