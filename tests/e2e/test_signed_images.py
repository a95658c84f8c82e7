# Signed images on the powered switch: a switch whose root file system holds
# a public key (/etc/bootlaunch/image-key1.pub, programmed with `board-sim
# keys` or installed in a root file system section) installs and stick-boots
# only containers signed for it, and refuses the others with one line before
# anything is written; a switch without a key takes a signed container
# exactly as the unsigned one.

import re
import shutil
import subprocess

import pytest

from conftest import SLOT_PROMPT, board_sim, bootimg, needs_root, run_bootimg, send_while_switched
from boardsim import demo, rootfs

pytestmark = needs_root

MENU_START = "Please select one of the following options:"


@pytest.fixture
def keys(tmp_path):
    # Two vendor keys and a stranger's, made by bootimg keygen.
    made = {}
    for name in ("vendor", "next", "stranger"):
        run_bootimg("keygen", tmp_path / name)
        made[name] = tmp_path / name
    return made


def signed(image, key, counter, out=None, **opts):
    out = out or image.with_name(f"{image.stem}-{key.name}-{counter}.img")
    extra = [f"--{k}={v}" for k, v in opts.items()]
    run_bootimg("sign", "-o", out, "--key", key, "--counter", counter, *extra, image)
    return out


def stored(board):
    # Everything an install could write: slots, partitions, VPD.
    files = [p for p in (board.path / "user").rglob("*") if p.is_file()]
    files += sorted((board.path / "dev").glob("mtd-*")) + [board.path / "dev/i2c-0/54"]
    return {str(p.relative_to(board.path)): p.read_bytes() for p in files}


def usb_installs(board, stick, images, slot=1):
    # Each image through the rescue menu's USB install, in one power-on (an
    # image that asks for a slot goes to `slot`); returns what each printed
    # from its file number to the menu.
    for image in images:
        shutil.copy(image, stick / image.name)
    console = board.rescue(usb=stick)
    said = []
    for image in images:
        console.menu("u")
        console.expect_exact("Choose file number to install (q to quit): ")
        files = {m[1]: m[0] for m in re.findall(r"\t(\d+): (.+?)\r\n", console.before)}
        console.sendline(files[image.name])
        text = ""
        if console.expect([re.escape(SLOT_PROMPT), MENU_START]) == 0:
            text = console.before + SLOT_PROMPT
            console.sendline(str(slot))
            console.expect_exact(MENU_START)
        said.append((text + console.before).replace("\r\n", "\n"))
    console.menu("r")
    console.off()
    board.set_env(diagnostics=None)
    return said


def test_without_a_key_a_signed_container_installs_and_boots_as_the_unsigned_one(
        board, keys, stick, tmp_path):
    plain = board.app_image(tmp_path / "plain.img", "1.0.0.9")
    sign = signed(plain, keys["vendor"], 1)
    before = stored(board)
    [said_plain] = usb_installs(board, stick, [plain])
    after_plain = stored(board)
    console = board.power_on()
    console.app("1.0.0.9")

    for name, data in before.items():  # the switch as it was
        (board.path / name).write_bytes(data)
    [said_signed] = usb_installs(board, stick, [sign])
    assert said_signed.replace(sign.name, plain.name) == said_plain
    assert "signature" not in said_signed
    assert stored(board) == after_plain
    console = board.power_on()
    console.app("1.0.0.9")


def test_with_a_key_only_containers_signed_for_this_switch_install(board, keys, stick, tmp_path):
    board_sim("keys", board.path, f"{keys['vendor']}.pub")
    app = board.app_image(tmp_path / "app.img", "1.0.0.9")
    good = signed(app, keys["vendor"], 4)

    # Over the serial line.
    console = board.rescue()
    console.menu("x")
    console.expect_exact("Change the baud rate to 115200 bps and hit the <ENTER> key")
    send_while_switched(board, console, good)
    key_id = run_bootimg("list", "--json", good).stdout.split('"key_id": "')[1][:16]
    console.expect_exact(f"Checking the image's signature... signed by key {key_id}, "
                         "security counter 4\r\n", SLOT_PROMPT)
    console.sendline("2")
    console.expect_exact("Image2 updated succeeded", "File processed\r\n")
    console.menu("r")
    console.off()
    board.set_env(diagnostics=None)
    assert board.slot(2).read_bytes() == app.read_bytes()  # the section, not the manifest
    console = board.power_on()
    console.app("1.0.0.9")

    # Everything else is refused, and nothing is written.
    truncated = tmp_path / "truncated.img"
    truncated.write_bytes(good.read_bytes()[:-100])
    tampered = tmp_path / "tampered.img"
    data = bytearray(good.read_bytes())
    data[-1] ^= 1
    tampered.write_bytes(bytes(data))
    refused = {
        app: "Refused: the image is not signed, and this switch takes only signed images",
        signed(app, keys["stranger"], 4):
            "Refused: the image is signed with key {}, which this switch does not hold",
        truncated: "Refused: the image ends inside its signed section 2 (app)",
        tampered: "Refused: section 2 (app) differs from its signed hash",
        signed(app, keys["vendor"], 3): "Refused: security counter 3 is below this "
                                        "switch's minimum 4",
        signed(app, keys["vendor"], 4, product="other"):
            "Refused: the image is signed for the other, not for this TQV4410",
    }
    stranger_id = run_bootimg("list", "--json", list(refused)[1]).stdout.split(
        '"key_id": "')[1][:16]
    before = stored(board)
    said = usb_installs(board, stick, list(refused))
    for text, (image, line) in zip(said, refused.items()):
        assert line.format(stranger_id) + "\n" in text, image.name
        assert "Extracting images" not in text and "Installing Application" not in text, \
            image.name
    assert stored(board) == before


def test_a_container_signed_with_openssl_is_accepted(board, tmp_path, stick):
    key, pub = tmp_path / "hsm.pem", tmp_path / "hsm.pub.pem"
    subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", key], check=True)
    subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-out", pub], check=True)
    raw = subprocess.run(["openssl", "pkey", "-pubin", "-in", pub, "-outform", "DER"],
                         check=True, capture_output=True).stdout[-32:]
    (tmp_path / "hsm.raw").write_bytes(raw)
    board_sim("keys", board.path, tmp_path / "hsm.raw")

    app = board.app_image(tmp_path / "app.img", "1.0.0.9")
    tbs, sig, out = tmp_path / "app.tbs", tmp_path / "app.sig", tmp_path / "app-signed.img"
    run_bootimg("sign", "--public", pub, "--to-sign", tbs, "--counter", 1, app)
    subprocess.run(["openssl", "pkeyutl", "-sign", "-rawin", "-inkey", key, "-in", tbs,
                    "-out", sig], check=True)
    run_bootimg("sign", "-o", out, "--public", pub, "--signature", sig, "--counter", 1, app)
    [said] = usb_installs(board, stick, [out])
    assert "security counter 1\n" in said and "Image1 updated succeeded" in said


def test_a_new_key_comes_in_an_image_signed_with_the_old_one(board, keys, stick, tmp_path):
    board_sim("keys", board.path, f"{keys['vendor']}.pub")
    # A root file system with both keys, signed with the old one.
    both = tmp_path / "keys.tar.gz"
    both.write_bytes(rootfs.archive(rootfs.key_files(
        [(keys[k].parent / f"{k}.pub").read_bytes() for k in ("vendor", "next")])))
    run_bootimg("create", "-o", tmp_path / "rfs.img", "--type", "rfs", "--version", "2.0.0.0",
                both)
    app = board.app_image(tmp_path / "app.img", "1.0.0.9")
    by_next = signed(app, keys["next"], 2)

    [said] = usb_installs(board, stick, [by_next])
    assert "which this switch does not hold" in said
    [said] = usb_installs(board, stick, [signed(tmp_path / "rfs.img", keys["vendor"], 2)])
    assert "Installing Root Filesystem: " in said and "File processed" in said
    # From the next power-on the root file system holds the new key as well.
    [said] = usb_installs(board, stick, [by_next])
    assert "Image1 updated succeeded" in said


def test_a_stick_boot_or_replacement_that_is_not_signed_is_ignored(board, keys, stick, tmp_path):
    board_sim("keys", board.path, f"{keys['vendor']}.pub")
    board.app_image(stick / "TQV4410_replace1_OS.img", "3.0.0.1")
    board.set_vpd("usb-boot", 0xD5)
    before = stored(board)
    console = board.power_on(usb=stick)
    console.expect_exact("replacement for image1 found",
                         "Refused: the image is not signed, and this switch takes only signed "
                         "images", "Booting image '1'")
    console.app("1.0.0.1")
    (stick / "TQV4410_replace1_OS.img").unlink()

    board.app_image(stick / "TQV4410_OS.img", "3.0.0.9")
    board.set_vpd("usb-boot", 0xD5)
    console = board.power_on(usb=stick)
    console.expect_exact("Refused: the image is not signed", "Booting image '1'")
    console.app("1.0.0.1")
    after = stored(board)
    assert {k: v for k, v in after.items() if k != "dev/i2c-0/54"} == \
        {k: v for k, v in before.items() if k != "dev/i2c-0/54"}

    # Signed, the stick's image boots.
    signed(stick / "TQV4410_OS.img", keys["vendor"], 1, out=stick / "TQV4410_OS.img")
    board.set_vpd("usb-boot", 0xD5)
    console = board.power_on(usb=stick)
    console.expect_exact("Booting image 'TQV4410_OS.img' from USB stick.", "security counter 1")
    console.app("3.0.0.9")


def test_with_trial_boots_the_minimum_rises_only_once_an_image_is_confirmed(
        board, keys, stick, tmp_path):
    board_sim("keys", board.path, f"{keys['vendor']}.pub")
    board.set_env(bootlimit=1)

    def release(version, counter, **how):
        image = tmp_path / f"demo-{version}.img"
        demo.app_image(board.path, bootimg(), image, version, **how)
        return signed(image, keys["vendor"], counter)

    def minimum():
        return int.from_bytes((board.path / "user/images/boot-state").read_bytes()[24:28], "big")

    # A release that never confirms does not lock out the one before it.
    [said] = usb_installs(board, stick, [release("1.0.0.8", 6, fail="reboot")])
    assert "Image1 updated succeeded" in said and minimum() == 0
    console = board.power_on()
    console.expect_exact("Demo application 1.0.0.8 started")
    assert console.off()["ended"] == "reboot"
    console = board.power_on()
    console.expect_exact("image 1 was never confirmed after 1 start; starting image 2")
    console.app(version="1.0.0.2")
    assert minimum() == 0

    # One that confirms raises it to its own counter.
    [said] = usb_installs(board, stick, [release("1.0.0.9", 5, confirm=True)])
    assert minimum() == 0
    console = board.power_on()
    console.expect_exact("Demo application 1.0.0.9 started", "start confirmed", "> ")
    console.sendline("exit")
    console.off()
    assert minimum() == 5
    [said] = usb_installs(board, stick, [release("1.0.0.7", 4)])
    assert "Refused: security counter 4 is below this switch's minimum 5\n" in said
