"""The switch boots: slot choice, fallback, extraction and every launch
variant, powered on in the simulated switch and driven on its console."""

import gzip
import json
import shutil
import subprocess

import pytest

from conftest import BOARD_SIM, TIMEOUT, bootimg, needs_root
from boardsim import demo

pytestmark = needs_root

APP = {1: "1.0.0.1", 2: "1.0.0.2"}


def expect_app(console, version, title="Demo application"):
    console.expect_exact(f"{title} {version} started")
    console.expect_exact("> ")


def finish_app(console):
    """Ends the demo application at its prompt; returns last-boot.json."""
    console.sendline("exit")
    return console.off()


def flash_rescue_partition(board, image):
    """Puts a container at the start of an erased diagnostics partition."""
    path = board.path / "dev" / "mtd-rescue"
    size = path.stat().st_size
    data = image.read_bytes()
    path.write_bytes(data + b"\xff" * (size - len(data)))


def flash_recovery_image(board, env_setup=None):
    """A recovery image (an application-type section) in the diagnostics
    partition; returns the container."""
    archive = board.path / "demo" / "recovery.tar.gz"
    archive.write_bytes(demo.archive_bytes(app_files(board, env_setup=env_setup)))
    image = board.path / "demo" / "recovery.img"
    demo.make_image(bootimg(), image, [("app", "5.5.5.5", archive, None)])
    flash_rescue_partition(board, image)
    return image


def app_files(board, version="1.0.0.1", env_setup=None, distro_id=True):
    files = demo.app_files(version, board.demo_program(version))
    if env_setup is not None:
        files["home/bin/env-setup"] = (env_setup.encode(), 0o644)
    if not distro_id:
        del files["home/bin/distro-id"]
    return files


@pytest.mark.parametrize("byte,slot", [(2, 2), (1, 1), (0, 1), (255, 1)])
def test_boot_slot_byte_chooses_the_slot(board, byte, slot):
    board.set_vpd("boot-slot", byte)
    console = board.power_on()
    console.expect_exact(f"Booting image '{slot}'")
    expect_app(console, APP[slot])
    record = finish_app(console)
    assert record["ended"] == "application-ended"
    app = record["application"]
    assert app["how"] == "backtrace"
    assert app["environment"]["DEMO_SLOT_VERSION"] == APP[slot]
    assert board.vpd("booted-image") == slot
    # Started in the launcher's place, with the archive's settings and
    # nothing of the PC's environment.
    assert app["environment"]["DEMO_GREETING"] == "hello"
    assert "HOSTNAME" not in app["environment"]


def test_crc_failure_falls_back_to_the_other_slot(board):
    board.corrupt(1)
    console = board.power_on()
    console.expect_exact("Booting image '1'")
    console.expect_exact("Image1 CRC failed, trying Image2 now.")
    console.expect_exact("Booting image '2'")
    expect_app(console, APP[2])
    finish_app(console)
    assert board.vpd("booted-image") == 2


def test_missing_slot_boots_the_other_and_records_the_slot_booted(board):
    board.slot(1).unlink()
    board.set_env(gdb="on")  # the debugger must come from the slot not booted
    console = board.power_on()
    console.expect_exact("Booting image '1'")
    console.expect_exact("Failed to open Application image 1. Trying image 2.")
    console.expect_exact("Extracting GDB from image slot 1")
    console.expect_exact("Failed to open GDB image (from slot 1)")
    console.expect_exact("GDB mode selected but GDB not available")
    expect_app(console, APP[2])
    assert "Booting image '2'" not in console.before
    finish_app(console)
    assert board.vpd("booted-image") == 2


def test_empty_slot_file_reports_an_invalid_header(board):
    board.slot(1).write_bytes(b"")
    console = board.power_on()
    console.expect_exact("Image has invalid header 0x0. (0x6504754)")
    console.expect_exact("Image1 has invalid header... trying Image2.")
    console.expect_exact("Booting image '2'")
    expect_app(console, APP[2])
    finish_app(console)


@pytest.mark.parametrize("shell", [False, True])
def test_both_slots_bad(board, shell):
    board.corrupt(1)
    board.corrupt(2)
    if shell:
        board.set_env(shell="on")
    console = board.power_on()
    console.expect_exact("Image1 CRC failed, trying Image2 now.")
    console.expect_exact("Booting image '2'")
    console.expect_exact("Both image1 and image2 failed.")
    if shell:
        console.expect(r"[#$] ")
        console.sendline("echo in-the-switch-shell; exit")
        console.expect_exact("in-the-switch-shell")
    record = console.off()
    assert record["ended"] == "reboot"
    assert "Entering Rescue Mode." not in board.console_log()


def test_no_slot_at_all_ends_in_the_rescue_menu_then_a_reboot(board):
    board.slot(1).unlink()
    board.slot(2).unlink()
    console = board.power_on()
    console.expect_exact("Failed to open Application image 1. Trying image 2.")
    console.expect_exact("Failed to open Application image 2.")
    console.expect_exact("Entering Rescue Mode.")
    console.expect_exact("Option? : ")
    board.wait_for_key_read()
    console.send("R")
    assert console.off()["ended"] == "reboot"


def test_extended_header_section_boots(board):
    board.put_image(1, app_files(board, env_setup="DEMO_SLOT_VERSION 7.7.7.7\n"),
                    version="7.7.7.7", hdr_len=48)
    console = board.power_on()
    expect_app(console, "1.0.0.1")
    record = finish_app(console)
    assert record["application"]["environment"]["DEMO_SLOT_VERSION"] == "7.7.7.7"


def test_env_setup_with_an_odd_word_count(board):
    board.put_image(1, app_files(board, env_setup="DEMO_FIRST one\n DEMO_SECOND\ttwo\nDEMO_LAST\n"))
    console = board.power_on()
    console.expect_exact("Running AOS install script")
    expect_app(console, "1.0.0.1")
    env = finish_app(console)["application"]["environment"]
    assert env["DEMO_FIRST"] == "one"
    assert env["DEMO_SECOND"] == "two"
    assert env["DEMO_LAST"] == ""


@pytest.mark.parametrize("key,rescue", [("y", True), ("Y", True), ("n", False), ("\r", False),
                                        ("\x03", False)])
def test_archive_without_distro_id(board, key, rescue):
    board.put_image(1, app_files(board, distro_id=False))
    console = board.power_on()
    console.expect_exact("WARNING: Suspected incompatible application image detected during "
                         "unpacking")
    console.expect_exact("Would you like to enter recovery mode to download a new image? y/N: ")
    # Ctrl-C raises SIGINT, which the launcher only notes: the question
    # reads no key, and the boot goes on.
    board.wait_for_key_read()
    console.send(key)
    if rescue:
        # Leaving the menu lets the launch go on.
        console.expect_exact("Entering Rescue Mode.")
        console.expect_exact("Option? : ")
        board.wait_for_key_read()
        console.send("E")
    expect_app(console, "1.0.0.1")
    record = finish_app(console)
    assert record["ended"] == "application-ended"
    assert ("Entering Rescue Mode." in board.console_log()) == rescue


def test_memory_checker_is_preloaded(board):
    board.set_env(memchk="on")
    console = board.power_on()
    console.expect_exact("DUMA, built")
    expect_app(console, APP[1])
    console.sendline("overrun")  # the checker's guard page stops the program
    record = console.off()
    assert record["ended"] == "reboot"
    app = record["application"]
    assert app["how"] == "shell"
    assert app["preload"] == "libduma.so.0.0.0"
    assert "The overrun went unnoticed" not in board.console_log()


def test_gdb_selected_without_a_debugger_launches_plainly(board):
    board.slot(2).unlink()
    board.set_env(gdb="on", memchk="on")  # the memory checker is ignored with gdb
    console = board.power_on()
    console.expect_exact("**** GDB mode selected but GDB not available. Please install GDB image ***")
    expect_app(console, APP[1])
    record = finish_app(console)
    assert record["application"]["how"] == "backtrace"
    assert record["application"]["preload"] is None


@pytest.fixture(scope="session")
def debugger_image(tmp_path_factory):
    """Debian's gdb, gzip-compressed, as the payload of an application
    section: what a debugger image in the other slot holds."""
    work = tmp_path_factory.mktemp("gdb")
    payload = work / "gdb.gz"
    with open(shutil.which("gdb"), "rb") as src, gzip.open(payload, "wb", compresslevel=1) as dst:
        shutil.copyfileobj(src, dst)
    image = work / "gdb.img"
    demo.make_image(bootimg(), image, [("app", "9.9.9.9", payload, None)])
    return image


def test_debugger_from_the_other_slot_runs_the_application_on_the_console(board, debugger_image):
    shutil.copyfile(debugger_image, board.slot(2))
    board.set_env(gdb="on")
    console = board.power_on()
    console.expect_exact("Extracting GDB from image slot 2")
    console.expect_exact("V2 header found")
    console.expect(r"Found GDB image 2 of length = \d+\.")
    console.expect_exact("decompressing GDB....")
    console.expect_exact("*** Launching under GDB ***")
    console.expect_exact("(gdb) ")
    console.sendline("run")
    expect_app(console, APP[1])
    console.sendline("exit")
    console.expect("exited normally")
    console.expect_exact("(gdb) ")
    console.sendline("quit")
    record = console.off()
    assert record["ended"] == "reboot"
    assert record["application"]["how"] == "gdb"


@pytest.mark.parametrize("memchk", [False, True])
def test_gdbserver_serves_the_application_to_gdb_in_the_switch_network(board, memchk):
    board.set_env(gdbserver="on", gdbport="2345", **({"memchk": "on"} if memchk else {}))
    console = board.power_on()
    console.expect_exact("Listening on port 2345")
    gdb = subprocess.Popen(
        ["/usr/bin/python3", str(BOARD_SIM), "exec", str(board.path), "--", "gdb",
         "-nx", "-batch", "-ex", "target remote 127.0.0.1:2345", "-ex", "continue",
         str(board.demo_program(APP[1], stripped=False))],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        expect_app(console, APP[1])
        console.sendline("exit")
        out, _ = gdb.communicate(timeout=TIMEOUT)
    finally:
        if gdb.poll() is None:
            gdb.kill()
    assert "exited normally" in out
    record = console.off()
    assert record["ended"] == "reboot"
    app = record["application"]
    assert app["how"] == "gdbserver"
    assert app["preload"] == ("libduma.so.0.0.0" if memchk else None)


def test_diagnostics_image_from_flash_after_erasing_the_user_tree(board):
    board.set_env(diagnostics="diags")
    console = board.power_on()
    console.expect_exact("Confirm: Erase filesystem? (all saved data, configuration, keys will "
                         "be lost) y/N: ")
    board.wait_for_key_read()
    console.send("y")
    for line in ("unmount filesystem", "Erasing filesystem for clean install", "Mounting...",
                 "creating default filesystem", "Booting diags image...",
                 "Launching diagnostics image", "install diags image"):
        console.expect_exact(line)
    console.expect(r"Demo diagnostics \S+ started")
    console.expect_exact("Diagnostics: all tests passed.")
    record = finish_app(console)
    assert record["application"]["diagnostics"] is True
    assert board.vpd("booted-image") == 4
    assert not board.slot(1).exists() and not board.slot(2).exists()
    assert (board.path / "user/images").is_dir()


def test_recovery_image_installed_into_a_slot_and_booted(board):
    image = flash_recovery_image(board, env_setup="DEMO_ROLE recovery\n")
    board.set_env(diagnostics="diags")

    console = board.power_on()
    console.expect_exact("y/N: ")
    board.wait_for_key_read()
    console.send("\r")  # keep the user tree
    console.expect_exact("Install recovery image as image 1 or 2 (hit return to just boot image): ")
    console.sendline("2")
    console.expect_exact("Installing recovery image as image2...")
    console.expect_exact("Setting boot image to 2")
    expect_app(console, "1.0.0.1")
    record = finish_app(console)
    assert record["application"]["environment"]["DEMO_ROLE"] == "recovery"
    assert board.slot(2).read_bytes() == image.read_bytes()
    assert board.slot(1).exists()
    assert board.vpd("boot-slot") == 2
    assert board.vpd("booted-image") == 2

    # The next power-on, without the diagnostics start, boots the recovery
    # image from slot 2.
    board.unset_env("diagnostics")
    console = board.power_on()
    console.expect_exact("Booting image '2'")
    expect_app(console, "1.0.0.1")
    assert finish_app(console)["application"]["environment"]["DEMO_ROLE"] == "recovery"


def test_recovery_image_booted_without_installing(board):
    flash_recovery_image(board)
    board.set_env(diagnostics="diags")
    console = board.power_on()
    console.expect_exact("y/N: ")
    board.wait_for_key_read()
    console.send("n")
    console.expect_exact("(hit return to just boot image): ")
    console.sendline("")
    console.expect_exact("Booting recovery image. You will need to download and install an image "
                         "before rebooting")
    expect_app(console, "1.0.0.1")
    finish_app(console)
    assert board.vpd("booted-image") == 4
    assert board.vpd("boot-slot") == 1


def test_the_application_inherits_no_flash_bus_or_simulator_settings(board):
    """The launcher's partition and bus handles are close-on-exec, and the
    simulator's settings leave its environment before it starts anything."""
    console = board.power_on(setenv=["BOOTLAUNCH_SIM_FAULTS=read:999"])
    expect_app(console, APP[1])
    app = json.loads((board.path / "run/app-start.json").read_text())
    fds = board.exec("ls", "-l", f"/proc/{app['pid']}/fd", inside=True).stdout
    assert "/dev/mtd" not in fds and "/dev/i2c" not in fds, fds
    assert "/dev/ttyS0" in fds or "/dev/pts" in fds  # the console it is on
    record = finish_app(console)
    environment = record["application"]["environment"]
    assert not [name for name in environment if name.startswith("BOOTLAUNCH_")], environment
