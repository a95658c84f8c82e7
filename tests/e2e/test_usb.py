"""The USB path on the powered switch: the wait for the stick, the boot
loader update and its reboot, the slot replacements, booting the stick's
image, the rejected list across power cycles, and the timed question."""

import hashlib

import pytest

from conftest import make_container, needs_root

pytestmark = needs_root

WAITING = ("Attempting to mount file system on USB flash drive; this can take up to 10 "
           "seconds.\r\n")
QUESTION = "(y/n) "
# The question waits 5 s of the switch's time for each key: at this clock
# a little over a second, ample for an answer sent as soon as it shows.
ANSWERING = 4


def usb_board(board):
    board.set_vpd("usb-boot", 0xD5)
    return board


def app_image(board, path, version):
    """A container with one application section whose archive says
    `version` in its environment."""
    return make_container(path, [("app", version, board.app_archive(version))])


def boot_loader_image(board, path, version):
    payload = board.path / "demo" / "u-boot.bin"
    payload.write_bytes(bytes(range(256)) * 64)
    return make_container(path, [("uboot", version, payload)])


def expect_app(console, slot_version):
    console.expect_exact("Demo application 1.0.0.1 started")
    console.expect_exact("> ")
    console.sendline("exit")
    record = console.off()
    assert record["application"]["environment"]["DEMO_SLOT_VERSION"] == slot_version
    return record


def reject(board, image):
    """Puts an image on the switch's rejected list, as an earlier boot did."""
    rejected = board.path / "user/images/rejected"
    rejected.mkdir(parents=True, exist_ok=True)
    (rejected / hashlib.md5(image.read_bytes()).hexdigest()).touch()


@pytest.fixture
def stick(tmp_path):
    path = tmp_path / "stick"
    path.mkdir()
    return path


def test_usb_boot_off_waits_for_nothing(board, stick):
    app_image(board, stick / "TQV4410_OS.img", "3.0.0.1")
    board.set_vpd("usb-boot", 0xD4)
    console = board.power_on(usb=stick)
    console.expect_exact("Booting image '1'")
    expect_app(console, "1.0.0.1")
    assert "USB" not in board.console_log()


def test_no_stick_times_out_and_boots_from_flash(board):
    console = usb_board(board).power_on()
    console.expect_exact(WAITING + ".........." + "USB mount timed out\r\n")
    console.expect_exact("Booting image '1'")
    expect_app(console, "1.0.0.1")


def test_a_stick_that_shows_up_late_is_waited_for(board, stick):
    # The looks are half a second apart at this clock: the stick arrives
    # after a few of them.
    console = usb_board(board).power_on(usb=stick, clock=2, extra=["--usb-delay", "3"])
    console.expect_exact(WAITING)
    console.expect_exact("USB mounted and ready!")
    dots = console.before
    assert 2 <= dots.count(".") < 10, dots
    console.expect_exact("No boot image found on USB.")
    console.expect_exact("No valid image found on USB")
    console.expect_exact("Booting image '1'")
    expect_app(console, "1.0.0.1")


def test_boot_loader_update_reboots_then_is_skipped_as_the_same_version(board, stick):
    image = boot_loader_image(board, stick / "TQV4410_Boot.img", "7.1.0.3")
    console = usb_board(board).power_on(usb=stick)
    console.expect_exact("USB mounted and ready!\r\n")  # no dots: it is there
    console.expect_exact("Boot image found on USB.")
    console.expect_exact("Installing Boot Loader: ")
    console.expect_exact("File processed")
    record = console.off()
    assert record["ended"] == "reboot"
    payload = image.read_bytes()[16:]
    assert board.partition("mtd-uboot").startswith(payload)

    console = board.power_on(usb=stick)
    console.expect_exact("Image has same version as existing image. Skipping update...")
    console.expect_exact("ERROR: No valid image found")
    console.expect_exact("No valid image found on USB")
    expect_app(console, "1.0.0.1")


def test_both_replacements_install_and_slot_1_boots(board, stick):
    app_image(board, stick / "TQV4410_replace2_OS.img", "3.0.0.2")
    app_image(board, stick / "TQV4410_replace1_OS.img", "3.0.0.1")
    board.set_vpd("boot-slot", 2)
    console = usb_board(board).power_on(usb=stick)
    console.expect_exact("USB image (file 'TQV4410_replace2_OS.img') replacement for image2 found")
    console.expect_exact("Image2 has been successfully replaced")
    console.expect_exact("USB image (file 'TQV4410_replace1_OS.img') replacement for image1 found")
    console.expect_exact("Image1 has been successfully replaced")
    console.expect_exact("USB replacement image: board will boot with image1.")
    console.expect_exact("Booting image '1'")
    expect_app(console, "3.0.0.1")
    assert board.slot(2).read_bytes() == (stick / "TQV4410_replace2_OS.img").read_bytes()
    assert board.vpd("boot-slot") == 1

    # Still on the stick at the next start: both are the same version now.
    console = board.power_on(usb=stick)
    console.expect_exact("Image2 has same version as existing image. Skipping update...")
    console.expect_exact("Image1 has same version as existing image. Skipping update...")
    console.expect_exact("No valid image found on USB")
    expect_app(console, "3.0.0.1")


@pytest.mark.parametrize("answer", ["n", "timeout", "Y then n"])
def test_a_rejected_replacement_is_only_loaded_on_yes(board, stick, answer):
    reject(board, app_image(board, stick / "TQV4410_replace2_OS.img", "3.0.0.2"))
    app_image(board, stick / "TQV4410_replace1_OS.img", "3.0.0.1")
    console = usb_board(board).power_on(usb=stick, clock=ANSWERING)
    console.expect_exact("Replacement USB image is in rejected list.\r\n"
                         "Would you still like to load it? " + QUESTION)
    if answer == "timeout":
        console.expect_exact('\r\nTimeout. Assuming "no".')
    elif answer == "Y then n":
        console.sendline("Y")
        # Y and the line end each cost one more question.
        console.expect_exact(QUESTION + QUESTION)
        console.sendline("n")
    else:
        console.sendline("n")
    # Declined: nothing from the stick, not even the slot 1 replacement.
    console.expect_exact("Booting image '1'")
    assert "replacement for image1" not in console.before
    expect_app(console, "1.0.0.1")


def test_a_rejected_replacement_loads_on_y(board, stick):
    reject(board, app_image(board, stick / "TQV4410_replace2_OS.img", "3.0.0.2"))
    console = usb_board(board).power_on(usb=stick, clock=ANSWERING)
    console.expect_exact(QUESTION)
    console.sendline("y")
    console.expect_exact("Continuing with replacement USB image...")
    console.expect_exact("Image2 has been successfully replaced")
    console.expect_exact("USB replacement image: board will boot with image2.")
    console.expect_exact("Booting image '2'")
    expect_app(console, "3.0.0.2")


def test_booting_the_sticks_image_puts_it_on_the_rejected_list(board, stick):
    image = app_image(board, stick / "TQV4410_OS.img", "3.0.0.9")
    console = usb_board(board).power_on(usb=stick)
    console.expect_exact("Booting image 'TQV4410_OS.img' from USB stick.")
    expect_app(console, "3.0.0.9")
    marker = board.path / "user/images/rejected" / hashlib.md5(image.read_bytes()).hexdigest()
    assert marker.exists()
    assert board.vpd("booted-image") == 3

    # At the next start the same image is on the list: no answer is no.
    console = board.power_on(usb=stick)
    console.expect_exact("USB image is in rejected list.\r\nWould you still like to load it? ")
    console.expect_exact('Timeout. Assuming "no".')
    console.expect_exact("USB Boot failed. Trying flash images.")
    console.expect_exact("Booting image '1'")
    expect_app(console, "1.0.0.1")

    # And y loads it all the same.
    console = board.power_on(usb=stick, clock=ANSWERING)
    console.expect_exact(QUESTION)
    console.sendline("y")
    console.expect_exact("Continuing to load USB image...")
    expect_app(console, "3.0.0.9")


def test_an_empty_stick_boots_from_flash(board, stick):
    console = usb_board(board).power_on(usb=stick)
    console.expect_exact("No boot image found on USB.")
    console.expect_exact("No valid image found on USB")
    console.expect_exact("Booting image '1'")
    expect_app(console, "1.0.0.1")
