# The USB path on the powered switch: the wait for the stick, the slot
# replacements, booting the stick's image, the rejected list across power
# cycles, and the timed question.

import hashlib

from conftest import needs_root

pytestmark = needs_root

WAITING = ("Attempting to mount file system on USB flash drive; this can take up to 10 "
           "seconds.\r\n")
# The question waits 5 s of the switch's time for each key: at this clock
# a little over a second, ample for an answer sent as soon as it shows.
ANSWERING = 4


def usb_on(board, on=True):
    board.set_vpd("usb-boot", 0xD5 if on else 0xD4)
    return board


def test_without_usb_boot_or_a_stick_the_flash_boots(board, stick):
    board.app_image(stick / "TQV4410_OS.img", "3.0.0.1")
    console = usb_on(board, False).power_on(usb=stick)
    console.expect_exact("Booting image '1'")
    console.app("1.0.0.1")
    assert "USB" not in board.console_log()
    console = usb_on(board).power_on()
    console.expect_exact(WAITING + ".........." + "USB mount timed out\r\n", "Booting image '1'")
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
