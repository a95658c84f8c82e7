# The sandbox that stands for the switch, seen from inside through a shell
# on its console (board-sim boot --shell) and from the PC, and the demo
# application in it with what board-sim records of how it was started. The
# launch variants themselves are the boot scenarios' (test_boot.py).

import os

from conftest import bootlaunch, is_powerpc, needs_root

pytestmark = needs_root

SUBSTITUTE_MARK = "The simulated switch's reboot"


def test_reboot_and_its_relatives_are_the_boards_own(board):
    # The PC's reboot (a link to systemctl) is out of reach: every name and
    # path that leads to it inside the switch is the substitute, and the
    # switch is a PID namespace of its own whose init is the board's.
    sh = board.shell()
    names = ["reboot", "halt", "poweroff", "shutdown", "telinit", "init", "systemctl"]
    paths = [sh.run(f"command -v {name}").strip() for name in names]
    for path in paths + ["/sbin/reboot", "/bin/systemctl", "/sbin/halt", "/sbin/init"]:
        assert SUBSTITUTE_MARK in sh.run(f"cat {path}"), path
    assert sh.run("cat /proc/1/cmdline | tr '\\0' ' '").strip() == "/bin/sh /usr/sbin/board-init"
    assert sh.run("readlink /proc/self/ns/pid").strip() != os.readlink("/proc/self/ns/pid")
    # The substitute ends the power-on and says who asked.
    record = sh.reboot()
    assert record["ended"] == "reboot"
    assert record["reboot"]["command"] == ["/usr/sbin/reboot"]
    assert not (board.path / "run/pid").exists()


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
