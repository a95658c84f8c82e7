# Power cuts during a USB update of the powered switch.
#
# The stick replaces image slot 1, the slot that boots, with a container of a
# kernel, a device tree and an application. The simulator cuts the power at
# the Nth flash operation of the launcher (partition reads, erases, 1 KiB
# writes, and every chunk written to a slot file). After each cut the switch
# is powered on without the stick: a whole application must start, from its
# own slot or, where the update tore it, from the other one. Then the stick
# goes back in: the update must install again what the cut tore, and the new
# application must start.
#
# With trial boots on (bootlimit), slot 1 is written beside its old image
# and renamed over it: no cut may leave it torn, and the boot-state record
# and the event log are whole after every cut.
#
# CI runs every STEPth cut point (POWER_CUT_STEP, default 40) and each of
# the last operations, the slot file's chunks; scripts/power-cut-campaign
# runs them all and prints the figures.

import os
import struct
import zlib

import pytest

from conftest import make_container, needs_root, report, sections_of

pytestmark = needs_root

STEP = int(os.environ.get("POWER_CUT_STEP", "40"))
TAIL = 8  # the last operations, always cut: the slot file's chunks
OP_COUNT = "/run/board/flash-ops"


def started(console):
    # The version of the slot that started (its archive says it in the
    # environment).
    return console.app()["application"]["environment"]["DEMO_SLOT_VERSION"]


def switch_crc(data):
    # The containers' CRC-32: without the final inversion.
    return ~zlib.crc32(data) & 0xFFFFFFFF


def assert_whole_records(board, n):
    images = board.path / "user/images"
    state = images / "boot-state"
    if state.exists():
        raw = state.read_bytes()
        assert len(raw) == 40 and struct.unpack(">I", raw[36:])[0] == switch_crc(raw[:36]), \
            f"cut at {n}: a torn boot-state record"
    # A cut in the middle of an append leaves that one line torn (the next
    # append starts on a new line, and the launcher's reader skips it); no
    # other line may be touched.
    events = images / "events"
    lines = events.read_bytes().split(b"\n") if events.exists() else []
    torn = [line for line in lines if line and not (
        len(line) > 9 and int(line[:8], 16) == switch_crc(line[9:]))]
    assert len(torn) <= 1, f"cut at {n}: {torn!r}"


@pytest.mark.parametrize("trial", [False, True], ids=["as_today", "with_trial_boots"])
def test_every_cut_leaves_a_bootable_switch_and_the_next_update_repairs_it(
        board, stick, tmp_path, trial):
    # Data that does not compress: the slot file takes several chunks.
    app = board.app_archive("3.0.0.1", {"home/share/assets.bin": (os.urandom(300_000), 0o644)})
    kernel = tmp_path / "uImage"
    kernel.write_bytes(bytes(range(256)) * 400)  # two erase blocks
    dtb = tmp_path / "board.dtb"
    dtb.write_bytes(b"\xd0\x0d\xfe\xed" + bytes(9000))
    image = make_container(stick / "TQV4410_replace1_OS.img", [
        ("kernel", "4.19.0.9", kernel), ("dtb", "4.19.0.9", dtb), ("app", "3.0.0.1", app)])
    kernel, dtb, app = sections_of(image)
    restore = board.snapshot()

    def fresh():
        restore()
        board.set_vpd("usb-boot", 0xD5)
        if trial:
            board.set_env(bootlimit=3)

    # The whole update once, counting its flash operations.
    fresh()
    console = board.power_on(usb=stick, setenv=[f"BOOTLAUNCH_SIM_OP_COUNT={OP_COUNT}"])
    assert started(console) == "3.0.0.1"
    total = int((board.path / "run/flash-ops").read_text().split()[0])
    points = sorted(set(range(0, total, STEP)) | set(range(max(0, total - TAIL), total)))

    endings = []
    for n in points:
        fresh()
        console = board.power_on(usb=stick, setenv=[f"BOOTLAUNCH_SIM_FAULTS=power:{n}"])
        assert console.off()["ended"] == "power-cut", f"cut at {n}"

        # Without the stick: whatever boots must be whole.
        board.set_vpd("usb-boot", 0)
        console = board.power_on()
        version = started(console)
        assert version in ("1.0.0.1", "1.0.0.2", "3.0.0.1"), f"cut at {n}: {version}"
        log = board.console_log()
        torn = "Image1 CRC failed" in log or "Image1 has invalid header" in log
        endings.append(f"boots {version}" + (", slot 1 torn" if torn else ""))
        if trial:
            assert not torn and version in ("1.0.0.1", "3.0.0.1"), f"cut at {n}: {version}"
            assert_whole_records(board, n)

        # The stick again: the update completes.
        board.set_vpd("usb-boot", 0xD5)
        console = board.power_on(usb=stick)
        assert started(console) == "3.0.0.1", f"cut at {n}"
        assert board.partition("mtd-kernel").startswith(kernel), f"cut at {n}"
        assert board.partition("mtd-devicetree").startswith(dtb), f"cut at {n}"
        assert board.slot(1).read_bytes() == app, f"cut at {n}"

    report(f"power cut at {len(points)} of the update's {total} flash operations"
           + (" with trial boots" if trial else ""), endings)
    # Without trial boots the update tears the slot it replaces.
    assert any("torn" in ending for ending in endings) != trial
