# The USB path on the powered switch: the wait for the stick, the boot
# loader update and its reboot, the slot replacements, booting the stick's
# image, the rejected list across power cycles, and the timed question.

import hashlib

import pytest

from conftest import make_container, needs_root

pytestmark = needs_root

WAITING = ("Attempting to mount file system on USB flash drive; this can take up to 10 "
           "seconds.\r\n")
NOTHING_ON_IT = ["No boot image found on USB.", "No valid image found on USB", "Booting image '1'"]
# The question waits 5 s of the switch's time for each key: at this clock
# a little over a second, ample for an answer sent as soon as it shows.
ANSWERING = 4


def usb_on(board, on=True):
    board.set_vpd("usb-boot", 0xD5 if on else 0xD4)
    return board


def reject(board, image):
    # Puts an image on the switch's rejected list, as an earlier boot did.
    rejected = board.path / "user/images/rejected"
    rejected.mkdir(parents=True, exist_ok=True)
    (rejected / hashlib.md5(image.read_bytes()).hexdigest()).touch()


def test_usb_boot_off_waits_for_nothing(board, stick):
    board.app_image(stick / "TQV4410_OS.img", "3.0.0.1")
    console = usb_on(board, False).power_on(usb=stick)
    console.expect_exact("Booting image '1'")
    console.app("1.0.0.1")
    assert "USB" not in board.console_log()


def test_no_stick_times_out_and_boots_from_flash(board):
    console = usb_on(board).power_on()
    console.expect_exact(WAITING + ".........." + "USB mount timed out\r\n", "Booting image '1'")
    console.app("1.0.0.1")


def test_an_empty_stick_that_shows_up_late_is_waited_for(board, stick):
    # The looks are half a second apart at this clock: the stick arrives
    # after a few of them.
    console = usb_on(board).power_on(usb=stick, clock=2, extra=["--usb-delay", "3"])
    console.expect_exact(WAITING, "USB mounted and ready!")
    assert 2 <= console.before.count(".") < 10, console.before
    console.expect_exact(*NOTHING_ON_IT)
    console.app("1.0.0.1")


def test_boot_loader_update_reboots_then_is_skipped_as_the_same_version(board, stick):
    payload = board.path / "demo" / "u-boot.bin"
    payload.write_bytes(bytes(range(256)) * 64)
    image = make_container(stick / "TQV4410_Boot.img", [("uboot", "7.1.0.3", payload)])
    console = usb_on(board).power_on(usb=stick)
    console.expect_exact("USB mounted and ready!\r\n",  # no dots: it is there
                         "Boot image found on USB.", "Installing Boot Loader: ", "File processed")
    assert console.off()["ended"] == "reboot"
    assert board.partition("mtd-uboot").startswith(image.read_bytes()[16:])

    console = board.power_on(usb=stick)
    console.expect_exact("Image has same version as existing image. Skipping update...",
                         "ERROR: No valid image found", "No valid image found on USB")
    console.app("1.0.0.1")


def test_both_replacements_install_and_slot_1_boots(board, stick):
    board.app_image(stick / "TQV4410_replace2_OS.img", "3.0.0.2")
    board.app_image(stick / "TQV4410_replace1_OS.img", "3.0.0.1")
    board.set_vpd("boot-slot", 2)
    console = usb_on(board).power_on(usb=stick)
    console.expect_exact(
        "USB image (file 'TQV4410_replace2_OS.img') replacement for image2 found",
        "Image2 has been successfully replaced",
        "USB image (file 'TQV4410_replace1_OS.img') replacement for image1 found",
        "Image1 has been successfully replaced",
        "USB replacement image: board will boot with image1.", "Booting image '1'")
    console.app("3.0.0.1")
    assert board.slot(2).read_bytes() == (stick / "TQV4410_replace2_OS.img").read_bytes()
    assert board.vpd("boot-slot") == 1

    # Still on the stick at the next start: both are the same version now.
    console = board.power_on(usb=stick)
    console.expect_exact("Image2 has same version as existing image. Skipping update...",
                         "Image1 has same version as existing image. Skipping update...",
                         "No valid image found on USB")
    console.app("3.0.0.1")


# A replacement on the rejected list: on no (or silence) nothing from the
# stick is loaded, not even the slot 1 replacement.
@pytest.mark.parametrize("answer", ["n", "timeout", "y"])
def test_a_rejected_replacement_is_only_loaded_on_yes(board, stick, answer):
    reject(board, board.app_image(stick / "TQV4410_replace2_OS.img", "3.0.0.2"))
    if answer != "y":
        board.app_image(stick / "TQV4410_replace1_OS.img", "3.0.0.1")
    console = usb_on(board).power_on(usb=stick, clock=ANSWERING)
    console.expect_exact("Replacement USB image is in rejected list.\r\n"
                         "Would you still like to load it? (y/n) ")
    if answer == "timeout":
        console.expect_exact('\r\nTimeout. Assuming "no".')
    else:
        console.sendline(answer)
    if answer == "y":
        console.expect_exact("Continuing with replacement USB image...",
                             "Image2 has been successfully replaced",
                             "USB replacement image: board will boot with image2.",
                             "Booting image '2'")
        console.app("3.0.0.2")
    else:
        console.expect_exact("Booting image '1'")
        assert "replacement for image1" not in console.before
        console.app("1.0.0.1")


def test_booting_the_sticks_image_puts_it_on_the_rejected_list(board, stick):
    image = board.app_image(stick / "TQV4410_OS.img", "3.0.0.9")
    console = usb_on(board).power_on(usb=stick)
    console.expect_exact("Booting image 'TQV4410_OS.img' from USB stick.")
    console.app("3.0.0.9")
    rejected = board.path / "user/images/rejected"
    assert (rejected / hashlib.md5(image.read_bytes()).hexdigest()).exists()
    assert board.vpd("booted-image") == 3

    # At the next start the same image is on the list: no answer is no.
    console = board.power_on(usb=stick)
    console.expect_exact("USB image is in rejected list.\r\nWould you still like to load it? ",
                         'Timeout. Assuming "no".', "USB Boot failed. Trying flash images.",
                         "Booting image '1'")
    console.app("1.0.0.1")

    # And y loads it all the same.
    console = board.power_on(usb=stick, clock=ANSWERING)
    console.expect_exact("(y/n) ")
    console.sendline("y")
    console.expect_exact("Continuing to load USB image...")
    console.app("3.0.0.9")
