# Trial boots on the powered switch (bootlimit=N in the boot loader's
# settings): an update that never confirms is started N times and then
# rolled back, one that confirms keeps booting without a write to the VPD or
# the flash, and a hang is ended by the board's watchdog.

import time

from conftest import SLOT_PROMPT, bootimg, needs_root, send_while_switched
from boardsim import demo

pytestmark = needs_root

STATUS = ("good", "trial", "bad")


def boot_state(board):
    # The record beside the slots, as README's layout gives it.
    raw = (board.path / "user/images/boot-state").read_bytes()
    assert len(raw) == 40 and raw[:4] == b"BLBS"
    return {"last_trial_start": raw[5], "unconfirmed": bool(raw[6] & 1), "given_up": raw[7],
            "images": [(STATUS[e[0]], e[1], e[2]) for e in (raw[8:16], raw[16:24])]}


def events(board):
    # The event log's texts, without their checksums and numbers.
    lines = (board.path / "user/images/events").read_text().splitlines()
    return [line.split(" ", 2)[2] for line in lines]


def update(board, tmp_path, version, **how):
    # A demo container of `version` (fail=..., confirm=...).
    image = tmp_path / f"demo-{version}.img"
    demo.app_image(board.path, bootimg(), image, version, **how)
    return image


def finish_install(board, console, slot):
    console.expect_exact(SLOT_PROMPT)
    console.sendline(str(slot))
    console.expect_exact(f"Image{slot} updated succeeded", "File processed\r\n")
    console.menu("R")
    assert console.off()["ended"] == "reboot"
    board.set_env(diagnostics=None)


def serial_install(board, image, slot):
    console = board.rescue()
    console.menu("x")
    console.expect_exact("Change the baud rate to 115200 bps and hit the <ENTER> key")
    send_while_switched(board, console, image)
    finish_install(board, console, slot)


def usb_install(board, stick, image, slot):
    (stick / image.name).write_bytes(image.read_bytes())
    console = board.rescue(usb=stick)
    console.menu("u")
    console.expect_exact("\t1: " + image.name, "Choose file number to install (q to quit): ")
    console.sendline("1")
    finish_install(board, console, slot)


def test_an_update_that_never_confirms_is_rolled_back_after_its_starts(board, tmp_path):
    board.set_env(bootlimit=2)
    serial_install(board, update(board, tmp_path, "1.0.0.9", fail="reboot"), 2)
    assert board.vpd("boot-slot") == 2
    for k in (1, 2):
        console = board.power_on()
        console.expect_exact("Booting image '2'", f"Trial start {k} of 2 of image 2",
                             "Demo application 1.0.0.9 started")
        assert console.off()["ended"] == "reboot"

    console = board.power_on()
    console.expect_exact("image 2 was never confirmed after 2 starts; starting image 1\r\n"
                         "Booting image '1'")
    console.app(version="1.0.0.1")
    assert board.vpd("boot-slot") == 1
    assert boot_state(board)["images"][1] == ("bad", 0, 2)
    assert events(board) == [
        "install: image 2 (1.0.0.9), on trial for 2 starts",
        "trial start: image 2 (1.0.0.9), start 1 of 2",
        "power-on after an unconfirmed start of image 2 (1 of 2 starts left)",
        "trial start: image 2 (1.0.0.9), start 2 of 2",
        "power-on after an unconfirmed start of image 2 (0 of 2 starts left)",
        "rollback: image 2 was never confirmed after 2 starts; starting image 1",
    ]


def test_a_confirmed_update_boots_on_and_its_starts_write_nothing(board, tmp_path, stick):
    board.set_env(bootlimit=3)
    usb_install(board, stick, update(board, tmp_path, "1.0.0.9", confirm=True), 2)
    console = board.power_on()
    console.expect_exact("Trial start 1 of 3 of image 2", "Demo application 1.0.0.9 started",
                         "switch-ops: start confirmed: the image is good", "> ")
    console.sendline("exit")
    console.off()
    assert boot_state(board)["images"][1] == ("good", 0, 3)

    def stored():
        files = sorted((board.path / "user").rglob("*"))
        return {str(p): p.read_bytes() for p in files if p.is_file()} | {
            "vpd": (board.path / "dev/i2c-0/54").read_bytes()}

    before = stored()
    for _ in range(2):
        console = board.power_on()
        console.expect_exact("Booting image '2'")
        console.app(version="1.0.0.9")
        assert "Trial" not in board.console_log()
    assert stored() == before


def test_a_hung_trial_start_is_reset_by_the_watchdog_and_costs_its_start(board, tmp_path, stick):
    board.set_env(bootlimit=1, bootwatchdog=10)
    usb_install(board, stick, update(board, tmp_path, "1.0.0.9", fail="hang"), 2)
    console = board.power_on()
    console.expect_exact("Trial start 1 of 1 of image 2",
                         "Watchdog armed: 10 s for image 2 to confirm its start",
                         "Demo application 1.0.0.9 started")
    assert console.off()["ended"] == "watchdog"

    console = board.power_on()
    console.expect_exact("image 2 was never confirmed after 1 start; starting image 1")
    console.app(version="1.0.0.1")

    # The rescue menu shows the record and the events.
    console = board.rescue()
    console.menu("b")
    console.expect_exact("Boot state:\r\n", "  image 1 (1.0.0.1): good\r\n",
                         "  image 2 (1.0.0.9): bad, never confirmed after 1 start\r\n",
                         "  last given up: image 2\r\n", "Last 20 events:\r\n",
                         "install: image 2 (1.0.0.9), on trial for 1 start\r\n")
    console.expect_exact("rollback: image 2 was never confirmed after 1 start; starting image 1")
    console.menu("R")
    assert console.off()["ended"] == "reboot"


def test_bootconfirm_confirms_an_application_that_keeps_running(board, tmp_path, stick):
    board.set_env(bootlimit=1, bootconfirm=20)
    usb_install(board, stick, update(board, tmp_path, "1.0.0.9"), 2)
    console = board.power_on()
    console.expect_exact("Trial start 1 of 1 of image 2", "Demo application 1.0.0.9 started", "> ")
    # 20 switch seconds (2 s at the tests' clock) after the start.
    for _ in range(100):
        if boot_state(board)["images"][1][0] == "good":
            break
        time.sleep(0.1)
    assert boot_state(board)["images"][1] == ("good", 0, 1)
    assert events(board)[-1] == "confirmed: image 2 (1.0.0.9) by the launcher after 20 s"
    console.sendline("exit")
    console.off()
    console = board.power_on()
    console.expect_exact("Booting image '2'")
    console.app(version="1.0.0.9")
