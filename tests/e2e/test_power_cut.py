"""Power cuts during a USB update of the powered switch.

The stick replaces image slot 1, the slot that boots, with a container of a
kernel, a device tree and an application. The simulator cuts the power at
the Nth flash operation of the launcher (partition reads, erases, 1 KiB
writes, and every chunk written to a slot file). After each cut the switch
is powered on without the stick: a whole application must start, from its
own slot or, where the update tore it, from the other one. Then the stick
goes back in: the update must install again what the cut tore, and the new
application must start.

CI runs every STEPth cut point (POWER_CUT_STEP, default 40);
scripts/power-cut-campaign runs them all and prints the figures.
"""

import collections
import os
import shutil

import pexpect

from conftest import bootimg, needs_root
from boardsim import demo

pytestmark = needs_root

STEP = int(os.environ.get("POWER_CUT_STEP", "40"))
LIMIT = 2000  # no install of this container takes this many operations


def update(board, stick):
    app = board.path / "demo" / "update.tar.gz"
    app.write_bytes(demo.archive_bytes(demo.app_files("3.0.0.1", board.demo_program("1.0.0.1"))))
    kernel = stick.parent / "uImage"
    kernel.write_bytes(bytes(range(256)) * 400)  # two erase blocks
    dtb = stick.parent / "board.dtb"
    dtb.write_bytes(b"\xd0\x0d\xfe\xed" + bytes(9000))
    image = stick / "TQV4410_replace1_OS.img"
    demo.make_image(bootimg(), image, [("kernel", "4.19.0.9", kernel, None),
                                       ("dtb", "4.19.0.9", dtb, None),
                                       ("app", "3.0.0.1", app, None)])
    return image


def started(console, already=False):
    """The version the started application reports (its slot's archive
    says it in the environment)."""
    if not already:
        console.expect_exact("Demo application 1.0.0.1 started")
    console.expect_exact("> ")
    console.sendline("exit")
    record = console.off()
    return record["application"]["environment"]["DEMO_SLOT_VERSION"]


def sections(image):
    data = image.read_bytes()
    out, at = [], 0
    while at + 16 <= len(data):
        size = int.from_bytes(data[at + 4:at + 8], "big") + 16
        out.append(data[at:at + size])
        at += size
    return out


def test_every_cut_leaves_a_bootable_switch_and_the_next_update_repairs_it(board, tmp_path):
    stick = tmp_path / "stick"
    stick.mkdir()
    image = update(board, stick)
    kernel, dtb, app = sections(image)
    clean = board.path.parent / "clean"
    shutil.copytree(board.path, clean, symlinks=True)

    endings = collections.Counter()
    n = 0
    while True:
        assert n < LIMIT, "the update never completed"
        shutil.rmtree(board.path)
        shutil.copytree(clean, board.path, symlinks=True)
        board.set_vpd("usb-boot", 0xD5)
        console = board.power_on(usb=stick, setenv=[f"BOOTLAUNCH_SIM_FAULTS=power:{n}"])
        if console.expect(["Demo application 1.0.0.1 started", pexpect.EOF]) == 0:
            # The update ran to its end before the Nth operation.
            assert started(console, already=True) == "3.0.0.1"
            break
        assert console.off()["ended"] == "power-cut", f"cut at {n}"

        # Without the stick: whatever boots must be whole.
        board.set_vpd("usb-boot", 0)
        console = board.power_on()
        version = started(console)
        assert version in ("1.0.0.1", "1.0.0.2", "3.0.0.1"), f"cut at {n}: {version}"
        torn = "Image1 CRC failed" in board.console_log() or \
            "Image1 has invalid header" in board.console_log()
        endings[f"boots {version}" + (" from slot 2, slot 1 torn" if torn else "")] += 1

        # The stick again: the update completes.
        board.set_vpd("usb-boot", 0xD5)
        console = board.power_on(usb=stick)
        assert started(console) == "3.0.0.1", f"cut at {n}"
        assert board.partition("mtd-kernel").startswith(kernel), f"cut at {n}"
        assert board.partition("mtd-devicetree").startswith(dtb), f"cut at {n}"
        assert board.slot(1).read_bytes() == app, f"cut at {n}"
        n += STEP

    print(f"\npower cut at {sum(endings.values())} points (every {STEP}th operation):")
    for ending, count in sorted(endings.items()):
        print(f"  {count:4d}  {ending}")
    assert sum(endings.values()) >= 3
