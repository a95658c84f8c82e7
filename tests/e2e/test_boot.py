# The switch boots: slot choice, fallback, the debugger server with the
# memory checker and the recovery image, powered on in the simulated switch
# and driven on its console.

import gzip
import json
import shutil
import subprocess

import pytest

from conftest import BOARD_SIM, ERASE_QUESTION, MOUNT_USER, TIMEOUT, make_container, needs_root

pytestmark = needs_root

APP = {1: "1.0.0.1", 2: "1.0.0.2"}


# A byte that is neither 1 nor 2 boots slot 1.
@pytest.mark.parametrize("byte,slot", [(2, 2), (0, 1)])
def test_boot_slot_byte_chooses_the_slot(board, byte, slot):
    board.set_vpd("boot-slot", byte)
    console = board.power_on(setenv=["BOOTLAUNCH_SIM_FAULTS=read:999"])
    console.expect_exact(f"Booting image '{slot}'", f"Demo application {APP[slot]} started", "> ")
    # Started in the launcher's place, once /user was mounted with sync; the
    # launcher's partition and bus handles are close-on-exec.
    app = json.loads((board.path / "run/app-start.json").read_text())
    fds = board.exec("ls", "-l", f"/proc/{app['pid']}/fd", inside=True).stdout
    assert "/dev/mtd" not in fds and "/dev/i2c" not in fds, fds
    assert "/dev/ttyS0" in fds or "/dev/pts" in fds  # the console it is on
    console.sendline("exit")
    record = console.off()
    assert record["ended"] == "application-ended"
    assert board.vpd("booted-image") == slot
    assert record["flash"] == [MOUNT_USER.removeprefix("/bin/")]
    # With the archive's settings, and nothing of the PC's environment nor
    # of the simulator's settings (which leave it before it starts anything).
    environment = record["application"]["environment"]
    assert (environment["DEMO_SLOT_VERSION"], environment["DEMO_GREETING"]) == (APP[slot], "hello")
    assert "HOSTNAME" not in environment
    assert not [name for name in environment if name.startswith("BOOTLAUNCH_")], environment


def test_a_slot_1_that_fails_its_crc_falls_back_to_slot_2(board):
    board.corrupt(1)
    console = board.power_on()
    console.expect_exact("Booting image '1'", "Image1 CRC failed, trying Image2 now.",
                         "Booting image '2'")
    console.app(APP[2], version=APP[2])
    assert board.vpd("booted-image") == 2


# With both slots damaged the switch reboots; with both missing it offers
# the rescue menu.
@pytest.mark.parametrize("missing, said", [
    (False, ["Image1 CRC failed, trying Image2 now.", "Booting image '2'",
             "Both image1 and image2 failed."]),
    (True, ["Failed to open Application image 1. Trying image 2.",
            "Failed to open Application image 2.", "Entering Rescue Mode."]),
], ids=["both bad: reboot", "both missing: rescue menu"])
def test_no_slot_to_boot(board, missing, said):
    for slot in (1, 2):
        if missing:
            board.slot(slot).unlink()
        else:
            board.corrupt(slot)
    console = board.power_on()
    console.expect_exact(*said)
    if missing:
        console.menu("R")
    assert console.off()["ended"] == "reboot"
    assert ("Entering Rescue Mode." in board.console_log()) == missing


# Three settings in the environment: each must be seen.
def test_debugger_from_the_other_slot_runs_the_application_on_the_console(board, tmp_path):
    # Debian's gdb, gzip-compressed, as the payload of an application
    # section in slot 2: what a debugger image holds.
    payload = tmp_path / "gdb.gz"
    with open(shutil.which("gdb"), "rb") as src, gzip.open(payload, "wb", compresslevel=1) as dst:
        shutil.copyfileobj(src, dst)
    make_container(board.slot(2), [("app", "9.9.9.9", payload)])
    board.set_env(gdb="on")
    console = board.power_on()
    console.expect_exact("Extracting GDB from image slot 2", "V2 header found")
    console.expect(r"Found GDB image 2 of length = \d+\.")
    console.expect_exact("decompressing GDB....", "*** Launching under GDB ***", "(gdb) ")
    console.sendline("run")
    console.expect_exact("Demo application 1.0.0.1 started", "> ")
    console.sendline("exit")
    console.expect("exited normally")
    console.expect_exact("(gdb) ")
    console.sendline("quit")
    record = console.off()
    assert (record["ended"], record["application"]["how"]) == ("reboot", "gdb")


def test_gdbserver_serves_the_application_to_gdb_in_the_switch_network(board):
    board.set_env(gdbserver="on", gdbport="2345", memchk="on")
    console = board.power_on()
    console.expect_exact("Listening on port 2345")
    gdb = subprocess.Popen(
        ["/usr/bin/python3", str(BOARD_SIM), "exec", str(board.path), "--", "gdb",
         "-nx", "-batch", "-ex", "target remote 127.0.0.1:2345", "-ex", "continue",
         str(board.demo_program(stripped=False))],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        console.expect_exact("Demo application 1.0.0.1 started", "> ")
        console.sendline("exit")
        out, _ = gdb.communicate(timeout=TIMEOUT)
    finally:
        if gdb.poll() is None:
            gdb.kill()
    assert "exited normally" in out
    record = console.off()
    assert record["ended"] == "reboot"
    assert (record["application"]["how"], record["application"]["preload"]) == \
        ("gdbserver", "libduma.so.0.0.0")


# A recovery image (an application section) in the diagnostics partition:
# installed into the slot named, which becomes the boot slot, or booted
# from RAM alone.
@pytest.mark.parametrize("keep, answer, said, booted, boot_slot", [
    ("\r", "2", ["Installing recovery image as image2...", "Setting boot image to 2"], 2, 2),
    ("n", "", ["Booting recovery image. You will need to download and install an image before "
               "rebooting"], 4, 1),
], ids=["installed into slot 2", "booted without installing"])
def test_recovery_image(board, keep, answer, said, booted, boot_slot):
    image = board.app_image(board.path / "demo" / "recovery.img", "5.5.5.5")
    rescue = board.path / "dev" / "mtd-rescue"
    data = image.read_bytes()
    rescue.write_bytes(data + b"\xff" * (rescue.stat().st_size - len(data)))
    board.set_env(diagnostics="diags")

    console = board.power_on()
    console.expect_exact(ERASE_QUESTION)
    console.press(keep)  # the user tree stays
    console.expect_exact("Install recovery image as image 1 or 2 (hit return to just boot image): ")
    console.sendline(answer)
    console.expect_exact(*said)
    console.app("5.5.5.5")
    assert board.slot(1).exists()
    assert (board.slot(2).read_bytes() == data) == (booted == 2)
    assert (board.vpd("booted-image"), board.vpd("boot-slot")) == (booted, boot_slot)
