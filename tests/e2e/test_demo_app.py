# The demo application on the simulated switch, and what board-sim records
# of how it was started. The launch variants themselves are the boot
# scenarios' (test_boot.py).

import pytest

from conftest import bootlaunch, is_powerpc, needs_root

pytestmark = needs_root


def test_demo_boots_and_tells_where_it_came_from(board):
    board.set_vpd("boot-slot", 2)
    console = board.power_on()
    # The launcher runs the archive's install script before the program.
    console.expect_exact("Demo install script: application 1.0.0.2",
                         "Demo application 1.0.0.2 started",
                         "Booted from image slot 2 (booted-image byte 2, boot slot byte 2)",
                         "env-setup: DEMO_SLOT_VERSION=1.0.0.2", "env-setup: DEMO_GREETING=hello",
                         "LD_PRELOAD: not set", "Started by: /bin/sh /usr/sbin/board-init",
                         "demo> ")
    console.sendline("version")
    console.expect_exact("1.0.0.2\r\ndemo> ")
    console.sendline("what")
    console.expect_exact("Unknown command 'what'. Type help.")
    console.sendline("reboot")
    record = console.off()
    assert record["ended"] == "reboot"
    assert record["reboot"]["parent_command_line"] == "/tmp/home/bin/mp.elf.strip"
    app = record["application"]
    assert (app["how"], app["version"], app["booted_image"]) == ("backtrace", "1.0.0.2", 2)
    assert record["backtrace"]["argv"] == ["/bin/backtrace"]
    assert record["backtrace"]["pid"] == record["launcher"]["pid"] == app["pid"]
    # A PowerPC launcher runs under qemu-user; a PC one directly.
    qemu = any(word.endswith("/qemu-ppc-static") for word in record["launcher"]["command"])
    assert qemu == is_powerpc(bootlaunch())


# Console keys signal the switch's programs only: the application in the
# launcher's place ends, and nothing of board-sim's with it.
@pytest.mark.parametrize("keys, status, signal", [
    ("\x04", 0, None), ("\x03", None, 2), ("\x1c", None, 3),
], ids=["end of input", "Ctrl-C", "Ctrl-backslash"])
def test_demo_ends_at_end_of_input_and_by_console_keys(board, keys, status, signal):
    console = board.power_on()
    console.expect_exact("demo> ")
    console.send(keys)
    record = console.off()
    assert record["ended"] == "application-ended"
    assert (record["status"], record["signal"], record["sandbox_status"]) == (status, signal, 0)
