"""The rescue menu on the powered switch: the serial download with lrzsz's
sender on the far side of the console, the install from a USB stick, the
version display, the erase and diagnostics boot, and the keys."""

import os
import re

import pytest

from conftest import (back_to_console_settings, make_container, needs_root, sections_of,
                      send_while_switched)
from boardsim import state

pytestmark = needs_root

MENU = ("Please select one of the following options:\r\n"
        "\tX) Use xmodem 1K to serial download an image\r\n"
        "\tR) Reboot\r\n"
        "\tE) Exit\r\n")
PROMPT = "\r\nOption? : "
SLOT_PROMPT = "Install image as image 1 or 2 (hit return to just boot image): "


def rescue_board(board):
    """The boot loader asks for the rescue menu at start."""
    board.set_env(diagnostics="rescue")
    return board


def menu_key(board, console, key):
    """Waits for the menu's prompt and its key read, then presses `key`."""
    console.expect_exact(PROMPT)
    board.wait_for_key_read()
    console.send(key)


# --- X: the serial download -----------------------------------------------------

def download_container(board, tmp_path):
    """A kernel and an application; the kernel is sized so that the
    sender's padding of the last block is long enough to look like one
    more section header to the installer."""
    app = board.app_archive("3.0.0.1")
    kernel = tmp_path / "uImage"
    kernel.write_bytes(b"\x27\x05\x19\x56" + bytes(range(256)) * 300)
    image = tmp_path / "download.img"
    make_container(image, [("kernel", "4.19.0.9", kernel), ("app", "3.0.0.1", app)])
    short = len(image.read_bytes()) % 128
    if short == 0 or short > 100:  # padding of 28..127 bytes
        kernel.write_bytes(kernel.read_bytes() + b"\0" * ((1 - short) % 128))
        make_container(image, [("kernel", "4.19.0.9", kernel), ("app", "3.0.0.1", app)])
    assert 0 < len(image.read_bytes()) % 128 <= 100
    return image


def test_serial_download_installs_into_the_slot_named_and_boots_from_it(board, tmp_path):
    image = download_container(board, tmp_path)
    kernel, app = sections_of(image)
    console = rescue_board(board).power_on()
    console.expect_exact("Entering Rescue Mode.\r\n" + MENU)
    menu_key(board, console, "x")
    console.expect_exact("Running xmodem rescue.....")
    console.expect_exact("Change the baud rate to 115200 bps and hit the <ENTER> key")
    console.expect_exact("before initiating the download.")
    # The sender is ready before the operator presses Enter, as it would be
    # on a PC whose terminal program starts the transfer.
    line = send_while_switched(board, console, image, lambda line: "-icanon" in line)
    for setting in ("speed 115200", "-icanon", "-isig", "-echo", "-icrnl", "-opost", "cs8"):
        assert setting in line, setting
    back_to_console_settings(board, console)
    console.expect_exact("Extracting images ... Do *NOT* power cycle the switch.")
    console.expect_exact("Installing Kernel: ")
    console.expect_exact("100%")
    console.expect_exact("Installing Application: " + SLOT_PROMPT)
    console.sendline("2")
    console.expect_exact("Installing image as image2: ")
    console.expect_exact("Image2 updated succeeded")
    # The sender's 0x1A padding behind the last section is stepped over.
    console.expect_exact("File processed\r\n")
    console.expect_exact(MENU)
    assert "ERROR" not in console.before and "allocate" not in console.before
    received = board.exec("stat", "-c", "%s", "/tmp/image", inside=True).stdout
    assert int(received) > len(image.read_bytes())
    menu_key(board, console, "R")
    assert console.off()["ended"] == "reboot"

    assert board.slot(2).read_bytes() == app
    assert board.partition("mtd-kernel").startswith(kernel)
    assert board.vpd("boot-slot") == 2
    board.unset_env("diagnostics")
    console = board.power_on()
    console.expect_exact("Booting image '2'")
    console.expect_exact("Demo application 1.0.0.1 started")
    console.expect_exact("> ")
    console.sendline("exit")
    record = console.off()
    assert record["application"]["environment"]["DEMO_SLOT_VERSION"] == "3.0.0.1"


def test_serial_download_that_stores_nothing_installs_no_older_file(board, tmp_path):
    image = download_container(board, tmp_path)
    console = rescue_board(board).power_on()
    console.expect_exact(PROMPT)
    # A container left in /tmp/image by an earlier download.
    board.put_inside("/tmp/image", image.read_bytes())
    board.wait_for_key_read()
    console.send("X")
    console.expect_exact("before initiating the download.")
    # Enter once the line is switched: a key that comes while the switch
    # still drains and flushes the line is thrown away.
    board.wait_for_line(lambda line: "-icanon" in line)
    console.send("\r")
    # The operator gives up: CAN CAN cancels the receiver.
    console.send("\x18" * 8)
    back_to_console_settings(board, console)
    console.expect_exact(MENU)
    assert "Extracting images" not in console.before
    assert board.exec("test", "-e", "/tmp/image", inside=True, check=False).returncode == 1
    menu_key(board, console, "E")
    console.expect_exact("Booting image '1'")
    console.expect_exact("Demo application 1.0.0.1 started")
    console.sendline("exit")
    assert console.off()["application"]["environment"]["DEMO_SLOT_VERSION"] == "1.0.0.1"


# --- U: a file from the USB stick -------------------------------------------------

def listing(text):
    """{name: number} from the lines "\\t%d: %s"."""
    return {m.group(2): int(m.group(1)) for m in re.finditer(r"\t(\d+): (.+?)\r\n", text)}


def test_usb_install_picks_a_file_by_its_number(board, tmp_path):
    stick = tmp_path / "stick"
    stick.mkdir()
    (stick / "subdir").mkdir()
    (stick / "subdir" / "hidden.img").write_bytes(b"x")
    (stick / "notes.txt").write_text("release notes\n")
    long_name = "update-" + "x" * 200 + ".img"
    app = board.app_archive("3.0.0.2")
    make_container(stick / "update.img", [("app", "3.0.0.2", app)])
    (stick / long_name).write_bytes((stick / "update.img").read_bytes())

    console = rescue_board(board).power_on(usb=stick)
    menu_key(board, console, "u")
    console.expect_exact("Choose file number to install (q to quit): ")
    files = listing(console.before)
    assert sorted(files) == sorted(["notes.txt", "update.img", long_name])
    assert sorted(files.values()) == [1, 2, 3]  # the directory is neither shown nor counted

    console.sendline("abc")
    console.expect_exact("Invalid file number abc. Try again pleas")
    # A name that does not fit the path is refused, never cut short.
    console.sendline(str(files[long_name]))
    console.expect_exact(f"Installing {long_name}")
    console.expect_exact("File name too long to install")
    console.expect_exact(MENU)
    menu_key(board, console, "U")
    console.expect_exact("(q to quit): ")
    console.sendline("4")  # past the last file: back to the menu, no message
    console.expect_exact(MENU)
    assert "Installing" not in console.before
    menu_key(board, console, "U")
    console.expect_exact("(q to quit): ")
    console.sendline(f"{files['update.img']}th")  # trailing text is ignored
    console.expect_exact("Installing update.img")
    console.expect_exact(SLOT_PROMPT)
    console.sendline("1")
    console.expect_exact("Image1 updated succeeded")
    console.expect_exact(MENU)
    launcher = board.launcher_pid()
    assert board.exec("readlink", f"/proc/{launcher}/cwd", inside=True).stdout.strip() == "/tmp"
    menu_key(board, console, "U")
    console.expect_exact("(q to quit): ")
    console.sendline("quit")
    console.expect_exact(MENU)
    menu_key(board, console, "E")
    console.expect_exact("Demo application 1.0.0.1 started")
    console.sendline("exit")
    assert console.off()["application"]["environment"]["DEMO_SLOT_VERSION"] == "3.0.0.2"
    assert board.slot(1).read_bytes() == (stick / "update.img").read_bytes()


def test_booting_a_download_larger_than_the_ram_file_system_fails_cleanly(board, tmp_path):
    """The archive of an application booted without installing goes to
    /tmp, the switch's RAM: when it does not fit, the error is reported and
    the menu comes back."""
    stick = tmp_path / "stick"
    stick.mkdir()
    archive = board.app_archive("3.0.0.3", {"home/share/assets.bin": (os.urandom(3 << 20), 0o644)})
    make_container(stick / "big.img", [("app", "3.0.0.3", archive)])
    console = rescue_board(board).power_on(usb=stick, extra=["--tmp-size", "2M"])
    menu_key(board, console, "U")
    console.expect_exact("(q to quit): ")
    console.sendline("1")
    console.expect_exact(SLOT_PROMPT)
    console.sendline("")
    console.expect_exact("Booting downloaded image\r\nImage unpack failed (err 28)")
    console.expect_exact(MENU)
    assert board.exec("df", "-k", "/tmp", inside=True).stdout.split()[-3] != "0"  # emptied again
    menu_key(board, console, "R")
    assert console.off()["ended"] == "reboot"


def test_usb_install_without_a_stick(board):
    console = rescue_board(board).power_on()
    menu_key(board, console, "U")
    console.expect_exact("Unable to open USB directory. Quitting")
    console.expect_exact(MENU)
    menu_key(board, console, "R")
    assert console.off()["ended"] == "reboot"


# --- V: versions -------------------------------------------------------------------

@pytest.mark.parametrize("installed", [False, True], ids=["on_erased_flash", "after_an_install"])
def test_version_display(board, tmp_path, installed):
    expected = {"Boot image  ": "255.255.255.255", "RFS image   ": "255.255.255.255",
                "Kernel image": "255.255.255.255", "DFT image   ": "255.255.255.255",
                "OS image 1  ": "1.0.0.1", "OS image 2  ": "0.0.0.0"}
    board.slot(2).unlink()
    if installed:
        payload = tmp_path / "payload"
        payload.write_bytes(bytes(1024))
        for kind, partition, version, name in [
                ("uboot", "mtd-uboot", "7.4.0.1", "Boot image  "),
                ("rfs", "mtd-rfs", "4.19.0.2", "RFS image   "),
                ("kernel", "mtd-kernel", "4.19.0.3", "Kernel image"),
                ("dtb", "mtd-devicetree", "4.19.0.4", "DFT image   ")]:
            image = make_container(tmp_path / f"{kind}.img", [(kind, version, payload)])
            data = image.read_bytes()
            state.program_partition(board.path, partition, data[16:] if kind == "uboot" else data)
            expected[name] = version
    console = rescue_board(board).power_on()
    menu_key(board, console, "v")
    console.expect_exact("Installed images versions: \r\n")
    console.expect_exact(MENU)
    shown = dict(re.findall(r"\t(.{12}): (\S+)\r\n", console.before))
    assert shown == expected
    menu_key(board, console, "R")
    console.off()


# --- D: erase and diagnostics ----------------------------------------------------

@pytest.mark.parametrize("key, erased", [("y", True), ("\r", False)],
                         ids=["y_erases_user", "enter_keeps_user"])
def test_erase_and_diagnostics_from_the_menu(board, key, erased):
    console = rescue_board(board).power_on()
    menu_key(board, console, "d")
    console.expect_exact("Confirm: Erase filesystem? (all saved data, configuration, keys will "
                         "be lost) y/N: ")
    board.wait_for_key_read()
    console.send(key)
    if erased:
        console.expect_exact("Erasing filesystem for clean install")
    console.expect_exact("Booting diags image...")
    console.expect_exact("Launching diagnostics image")
    console.expect(r"Demo diagnostics \S+ started")
    console.expect_exact("> ")
    console.sendline("exit")
    record = console.off()
    assert record["application"]["diagnostics"] is True
    assert board.slot(1).exists() == (not erased)
    assert "Erasing" not in board.console_log() or erased
    if erased:
        assert "erase /dev/mtd-user-char" in record["flash"]


def test_diagnostics_missing_returns_to_the_menu(board):
    board.path.joinpath("dev/mtd-rescue").write_bytes(
        b"\xff" * board.path.joinpath("dev/mtd-rescue").stat().st_size)
    console = rescue_board(board).power_on()
    menu_key(board, console, "D")
    console.expect_exact("y/N: ")
    board.wait_for_key_read()
    console.send("n")
    console.expect_exact("Image not found... ")
    console.expect_exact(MENU)
    menu_key(board, console, "R")
    console.off()


# --- the keys ------------------------------------------------------------------------

def test_unknown_keys_ctrl_c_and_exit(board):
    console = rescue_board(board).power_on()
    console.expect_exact("Entering Rescue Mode.\r\n" + MENU)
    menu_key(board, console, "q")
    # Echoed as typed, then named upper-cased; the menu lines do not repeat.
    console.expect_exact('q\r\nunknown option "Q". Please try again\r\n' + PROMPT)
    board.wait_for_key_read()
    console.send("\x03")
    console.expect_exact(PROMPT)
    assert MENU not in console.before
    board.wait_for_key_read()
    console.send("E")
    console.expect_exact("Booting image '1'")
    console.expect_exact("Demo application 1.0.0.1 started")
    console.sendline("exit")
    assert console.off()["ended"] == "application-ended"
    assert board.console_log().count("Please select one of the following options:") == 1
