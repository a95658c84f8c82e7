"""The demo application on the simulated switch, and what board-sim records
of how it was started.

The launch variants themselves are the boot scenarios' (test_boot.py).
"""


import pexpect
import pytest

from conftest import BOARD_SIM, bootlaunch, is_powerpc, needs_root

pytestmark = needs_root

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
