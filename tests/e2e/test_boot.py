# The switch boots: slot choice, fallback, extraction and every launch
# variant, powered on in the simulated switch and driven on its console.

import gzip
import json
import shutil
import subprocess

import pytest

from conftest import BOARD_SIM, ERASE_QUESTION, TIMEOUT, make_container, needs_root

pytestmark = needs_root

APP = {1: "1.0.0.1", 2: "1.0.0.2"}


# A byte that is neither 1 nor 2 boots slot 1.
@pytest.mark.parametrize("byte,slot", [(2, 2), (1, 1), (0, 1), (255, 1)])
def test_boot_slot_byte_chooses_the_slot(board, byte, slot):
    board.set_vpd("boot-slot", byte)
    console = board.power_on()
    console.expect_exact(f"Booting image '{slot}'")
    record = console.app(APP[slot], version=APP[slot])
    assert record["ended"] == "application-ended"
    assert board.vpd("booted-image") == slot
    # Started in the launcher's place, with the archive's settings and
    # nothing of the PC's environment.
    app = record["application"]
    assert app["how"] == "backtrace"
    assert app["environment"]["DEMO_GREETING"] == "hello"
    assert "HOSTNAME" not in app["environment"]


@pytest.mark.parametrize("damage, said", [
    (lambda board: board.corrupt(1), [
        "Image1 CRC failed, trying Image2 now.", "Booting image '2'"]),
    (lambda board: board.slot(1).write_bytes(b""), [
        "Image has invalid header 0x0. (0x6504754)", "Image1 has invalid header... trying Image2.",
        "Booting image '2'"]),
], ids=["slot 1 fails its CRC", "slot 1 is empty"])
def test_a_bad_slot_1_falls_back_to_slot_2(board, damage, said):
    damage(board)
    console = board.power_on()
    console.expect_exact("Booting image '1'", *said)
    console.app(APP[2], version=APP[2])
    assert board.vpd("booted-image") == 2


def test_missing_slot_boots_the_other_without_the_missing_debugger(board):
    board.slot(1).unlink()
    board.set_env(gdb="on", memchk="on")  # the debugger must come from the slot not booted
    console = board.power_on()
    console.expect_exact("Booting image '1'",
                         "Failed to open Application image 1. Trying image 2.",
                         "Extracting GDB from image slot 1",
                         "Failed to open GDB image (from slot 1)",
                         "**** GDB mode selected but GDB not available. Please install GDB image ***")
    record = console.app(APP[2], version=APP[2])
    assert "Booting image '2'" not in board.console_log()
    assert board.vpd("booted-image") == 2
    # Launched plainly: the memory checker is ignored with gdb.
    assert (record["application"]["how"], record["application"]["preload"]) == ("backtrace", None)


# With both slots damaged the switch reboots (after the shell, when the
# boot loader asks for one); with both missing it offers the rescue menu.
@pytest.mark.parametrize("missing, env, said", [
    (False, {}, ["Image1 CRC failed, trying Image2 now.", "Booting image '2'",
                 "Both image1 and image2 failed."]),
    (False, {"shell": "on"}, ["Both image1 and image2 failed."]),
    (True, {}, ["Failed to open Application image 1. Trying image 2.",
                "Failed to open Application image 2.", "Entering Rescue Mode."]),
], ids=["both bad: reboot", "both bad: shell, then reboot", "both missing: rescue menu"])
def test_no_slot_to_boot(board, missing, env, said):
    for slot in (1, 2):
        if missing:
            board.slot(slot).unlink()
        else:
            board.corrupt(slot)
    board.set_env(**env)
    console = board.power_on()
    console.expect_exact(*said)
    if env:
        console.expect(r"[#$] ")
        console.sendline("echo in-the-switch-shell; exit")
        console.expect_exact("in-the-switch-shell")
    if missing:
        console.menu("R")
    assert console.off()["ended"] == "reboot"
    assert ("Entering Rescue Mode." in board.console_log()) == missing


# Ctrl-C raises SIGINT, which the launcher only notes: the question reads
# no key, and the boot goes on.
@pytest.mark.parametrize("key,rescue", [("y", True), ("\x03", False)], ids=["y", "Ctrl-C"])
def test_archive_without_distro_id(board, key, rescue):
    board.app_image(board.slot(1), "1.0.0.9", without=["home/bin/distro-id"])
    console = board.power_on()
    console.expect_exact("WARNING: Suspected incompatible application image detected during "
                         "unpacking",
                         "Would you like to enter recovery mode to download a new image? y/N: ")
    console.press(key)
    if rescue:
        # Leaving the menu lets the launch go on.
        console.expect_exact("Entering Rescue Mode.")
        console.menu("E")
    assert console.app()["ended"] == "application-ended"
    assert ("Entering Rescue Mode." in board.console_log()) == rescue


def test_memory_checker_is_preloaded(board):
    board.set_env(memchk="on")
    console = board.power_on()
    console.expect_exact("DUMA, built", "Demo application 1.0.0.1 started", "> ")
    console.sendline("overrun")  # the checker's guard page stops the program
    record = console.off()
    assert record["ended"] == "reboot"
    assert (record["application"]["how"], record["application"]["preload"]) == \
        ("shell", "libduma.so.0.0.0")
    assert "The overrun went unnoticed" not in board.console_log()


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


# Three settings in the environment: each must be seen.
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


def test_the_application_inherits_no_flash_bus_or_simulator_settings(board):
    # The launcher's partition and bus handles are close-on-exec, and the
    # simulator's settings leave its environment before it starts anything.
    console = board.power_on(setenv=["BOOTLAUNCH_SIM_FAULTS=read:999"])
    console.expect_exact("Demo application 1.0.0.1 started", "> ")
    app = json.loads((board.path / "run/app-start.json").read_text())
    fds = board.exec("ls", "-l", f"/proc/{app['pid']}/fd", inside=True).stdout
    assert "/dev/mtd" not in fds and "/dev/i2c" not in fds, fds
    assert "/dev/ttyS0" in fds or "/dev/pts" in fds  # the console it is on
    console.sendline("exit")
    environment = console.off()["application"]["environment"]
    assert not [name for name in environment if name.startswith("BOOTLAUNCH_")], environment
