# The rescue menu on the powered switch: the serial download with lrzsz's
# sender on the far side of the console, the install from a USB stick, the
# version display, the erase and diagnostics boot, and the keys.

import re

import pytest

from conftest import (ERASE_QUESTION, MENU, SLOT_PROMPT, make_container, needs_root,
                      sections_of, send_while_switched)
from boardsim import state

pytestmark = needs_root


def test_serial_download_installs_into_the_slot_named_and_boots_from_it(board, tmp_path):
    # A kernel and an application; the kernel is sized so that the
    # sender's padding of the last block (28..127 bytes) is long enough to
    # look like one more section header to the installer.
    app = board.app_archive("3.0.0.1")
    kernel = tmp_path / "uImage"
    image = tmp_path / "download.img"

    def container():
        make_container(image, [("kernel", "4.19.0.9", kernel), ("app", "3.0.0.1", app)])
        return image.stat().st_size % 128

    kernel.write_bytes(b"\x27\x05\x19\x56" + bytes(range(256)) * 300)
    short = container()
    if short == 0 or short > 100:
        kernel.write_bytes(kernel.read_bytes() + b"\0" * ((1 - short) % 128))
        short = container()
    assert 0 < short <= 100
    kernel_section, app_section = sections_of(image)

    console = board.rescue()
    console.expect_exact("Entering Rescue Mode.\r\n" + MENU)
    console.menu("x")
    console.expect_exact("Running xmodem rescue.....",
                         "Change the baud rate to 115200 bps and hit the <ENTER> key",
                         "before initiating the download.")
    # The sender is ready before the operator presses Enter, as it would be
    # on a PC whose terminal program starts the transfer.
    send_while_switched(board, console, image)
    console.expect_exact("Extracting images ... Do *NOT* power cycle the switch.",
                         "Installing Kernel: ", "100%", "Installing Application: " + SLOT_PROMPT)
    console.sendline("2")
    # The sender's 0x1A padding behind the last section is stepped over.
    console.expect_exact("Installing image as image2: ", "Image2 updated succeeded",
                         "File processed\r\n", MENU)
    assert "ERROR" not in console.before and "allocate" not in console.before
    console.menu("R")
    assert console.off()["ended"] == "reboot"
    assert board.slot(2).read_bytes() == app_section
    assert board.partition("mtd-kernel").startswith(kernel_section)
    assert board.vpd("boot-slot") == 2

    board.set_env(diagnostics=None)
    console = board.power_on()
    console.expect_exact("Booting image '2'")
    console.app("3.0.0.1")
    # Without bootlimit no trial-boot record or event log is kept.
    assert sorted(p.name for p in board.slot(1).parent.iterdir()) == ["image1", "image2"]


def test_usb_install_picks_a_file_by_its_number(board, stick):
    (stick / "subdir").mkdir()
    (stick / "subdir" / "hidden.img").write_bytes(b"x")
    (stick / "notes.txt").write_text("release notes\n")
    board.app_image(stick / "update.img", "3.0.0.2")
    (stick / "zz-last.img").write_bytes(b"not this one")

    console = board.rescue(usb=stick)
    console.menu("u")
    console.expect_exact("Choose file number to install (q to quit): ")
    files = {m[1]: int(m[0]) for m in re.findall(r"\t(\d+): (.+?)\r\n", console.before)}
    # The directory is neither shown nor counted.
    assert sorted(files) == ["notes.txt", "update.img", "zz-last.img"]
    assert sorted(files.values()) == [1, 2, 3]
    console.sendline(f"{files['update.img']}th")  # trailing text is ignored
    console.expect_exact("Installing update.img", SLOT_PROMPT)
    console.sendline("1")
    console.expect_exact("Image1 updated succeeded", MENU)
    console.menu("E")
    console.app("3.0.0.2")
    assert board.slot(1).read_bytes() == (stick / "update.img").read_bytes()


@pytest.mark.parametrize("key, erased", [("y", True), ("\r", False)],
                         ids=["y erases the user tree", "Enter keeps it"])
def test_erase_and_diagnostics_from_the_menu(board, key, erased):
    console = board.rescue()
    console.menu("d")
    console.expect_exact(ERASE_QUESTION)
    console.press(key)
    console.expect_exact(*(["Erasing filesystem for clean install"] if erased else []),
                         "Booting diags image...", "Launching diagnostics image")
    console.expect(r"Demo diagnostics \S+ started")
    console.expect_exact("> ")
    console.sendline("exit")
    record = console.off()
    assert record["application"]["diagnostics"] is True
    assert board.slot(1).exists() == (not erased)
    assert ("erase /dev/mtd-user-char" in record["flash"]) == erased


def test_unknown_keys_version_display_diagnostics_missing_and_exit(board, tmp_path):
    board.slot(2).unlink()
    rescue = board.path / "dev/mtd-rescue"
    rescue.write_bytes(b"\xff" * rescue.stat().st_size)
    payload = tmp_path / "payload"
    payload.write_bytes(bytes(1024))
    expected = {"OS image 1  ": "1.0.0.1", "OS image 2  ": "0.0.0.0"}
    for kind, partition, version, name in [("uboot", "mtd-uboot", "7.4.0.1", "Boot image  "),
                                           ("rfs", "mtd-rfs", "4.19.0.2", "RFS image   "),
                                           ("kernel", "mtd-kernel", "4.19.0.3", "Kernel image"),
                                           ("dtb", "mtd-devicetree", "4.19.0.4", "DFT image   ")]:
        data = make_container(tmp_path / f"{kind}.img", [(kind, version, payload)]).read_bytes()
        state.program_partition(board.path, partition, data[16:] if kind == "uboot" else data)
        expected[name] = version
    console = board.rescue()
    console.expect_exact("Entering Rescue Mode.\r\n" + MENU)
    console.menu("q")
    # Echoed as typed, then named upper-cased; the menu lines do not repeat.
    console.expect_exact('q\r\nunknown option "Q". Please try again\r\n\r\nOption? : ')
    console.press("V")
    console.expect_exact("Installed images versions: \r\n", MENU)
    assert dict(re.findall(r"\t(.{12}): (\S+)\r\n", console.before)) == expected
    console.menu("D")
    console.expect_exact("y/N: ")
    console.press("n")
    console.expect_exact("Image not found... ", MENU)
    console.menu("E")
    console.expect_exact("Booting image '1'")
    assert console.app()["ended"] == "application-ended"
    assert board.console_log().count("Please select one of the following options:") == 3
