# Every device failure, at every point: each whole flow of the powered
# switch run once per device operation it makes, with that one operation
# failing. The operations are the flash's reads, erases and writes (EIO) and
# the I2C transfers to the VPD EEPROM and the I/O expander (not acknowledged,
# ENXIO); the simulator counts them in a fault-free run first.
#
# An operator plays the console: the rescue menu's keys of the flow, then R;
# "1" or "2" at the slot question; y to erase; Enter around the serial
# download; exit at the application's prompt. Each run must end, with no
# crash, in the boot of an image whose CRC is good, in the rescue menu (left
# with R) or in a reboot. A failure that the launcher met must be named on
# the console; a slot reported as updated must hold the new container, and a
# slot whose write failed must not have become the boot slot.
#
# CI runs every STEPth operation of each kind (DEVICE_FAULT_STEP: 16 with the
# sim build, 128 with the others) and each kind's first and last;
# scripts/device-fault-campaign runs them all and prints the figures.

import collections
import os
import re
import subprocess

import pexpect
import pytest

from conftest import (MENU_PROMPT, SLOT_PROMPT, make_container, needs_root, report,
                      run_bootimg, sections_of, send_while_switched)

pytestmark = needs_root

# The sim build takes the widest slice; the sanitizer and PowerPC builds,
# slower, a thinner one.
STEP = int(os.environ.get("DEVICE_FAULT_STEP",
                          "16" if os.environ.get("E2E_SANDBOX_ONCE") != "skip" else "128"))
KINDS = ("read", "erase", "write", "i2c")
TALLY = "/run/board/device-ops"
# What names a failure on the console.
ERROR_WORDS = re.compile(r"error|fail|invalid|unable|can't|cannot|not found|corrupt|bad ",
                         re.IGNORECASE)
# Failures that the switch passes over without a word, by design: an
# unreadable boot-loader environment counts as an empty one; the EEPROM's
# write-enable step is not checked (the write is tried anyway); a stored
# header copy that cannot be read reads as version 0.0.0.0 (shown as such,
# or never the same version, so the section is installed).
HEADER_COPY_READ = r"read /dev/mtd-(uboot|rfs|kernel|devicetree)$"
SILENT_BY_DESIGN = re.compile(
    rf"read /dev/mtd-ubootenv$|i2c bus 1 address 0x20$|{HEADER_COPY_READ}")


# A flow: its name; the rescue menu's keys (then R), none when the boot
# loader does not ask for the menu; the stick that is in ("replace" or
# "boot"); the answer to the slot question.
Flow = collections.namedtuple("Flow", "name keys usb slot", defaults=((), None, "2"))

FLOWS = [
    Flow("normal start"),
    Flow("start with a USB stick that replaces slot 1", usb="replace"),
    Flow("start from the USB stick's own image", usb="boot"),
    Flow("serial install", keys=["x", "E"]),
    Flow("USB install", keys=["u", "E"], usb="replace", slot="1"),
    Flow("version display", keys=["v", "E"]),
    Flow("diagnostics boot", keys=["d"]),
]


def verify(path):
    try:
        run_bootimg("verify", path)
    except subprocess.CalledProcessError:
        return False
    return True


class Run:
    # One power-on of a flow, played to its end.

    def __init__(self, board, flow, image, sticks, fault=None):
        self.board, self.flow, self.image = board, flow, image
        if flow.keys:
            board.set_env(diagnostics="rescue")
        # USB boot is on for a start with the stick; the rescue menu's
        # install takes the stick with USB boot off.
        board.set_vpd("usb-boot", 0xD5 if flow.usb and not flow.keys else 0)
        setenv = [f"BOOTLAUNCH_SIM_OP_COUNT={TALLY}"]
        if fault:
            setenv.append(f"BOOTLAUNCH_SIM_FAULTS={fault[0]}:{fault[1]}")
        self.boot_slot_before = board.vpd("boot-slot")
        self.console = board.power_on(usb=sticks[flow.usb] if flow.usb else None, setenv=setenv)
        self.started = None  # what started: "application" or "diagnostics"
        self.play()
        self.record = self.console.off()
        self.log = board.console_log()

    def play(self):
        console, keys = self.console, list(self.flow.keys)
        patterns = [*map(re.escape, (MENU_PROMPT, SLOT_PROMPT,
                                     "Choose file number to install (q to quit): ", "y/N: ",
                                     "hit the <ENTER> key")),
                    r"Demo (application|diagnostics) \S+ started", pexpect.EOF]
        menus = 0
        while True:
            which = console.expect(patterns)
            if which == 0:
                menus += 1
                assert menus <= len(self.flow.keys) + 3, "the menu keeps coming back"
                console.press(keys.pop(0) if keys else "R")
            elif which == 1:
                console.sendline(self.flow.slot)
            elif which == 2:
                console.sendline("1")
            elif which == 3:
                console.press("y")
            elif which == 4:
                send_while_switched(self.board, console, self.image)
            elif which == 5:
                self.started = console.child.match.group(1)
                console.expect_exact("> ")
                console.sendline("exit")
                return
            else:
                return

    def tally(self):
        # {kind: count} of the operations made, and what the injected
        # failure hit ("read /dev/mtd-env", say) or None.
        counts, failed = {}, None
        for line in (self.board.path / "run/device-ops").read_text().split("\n")[1:]:
            word, _, rest = line.partition(" ")
            if word == "failed":
                failed = rest
            elif word:
                counts[word] = int(rest)
        return counts, failed


# The rules every run keeps; returns how the run ended: the first line that
# names the failure and that the fault-free run did not print (numbers left
# out), and what started.
def check(run, fault, clean_log, new_slot):
    board, record, log = run.board, run.record, run.log
    where = f"{run.flow.name}, {fault[0]} {fault[1]} failing"
    assert record["ended"] in ("reboot", "application-ended"), f"{where}: ended {record}"
    if run.started == "application":
        booted = record["application"].get("booted_image")
        # An image booted from flash was checked by its CRC: it must still pass.
        if booted in (1, 2):
            assert verify(board.slot(booted)), f"{where}: booted slot {booted} fails its CRC"
    elif run.started is None:
        assert record["ended"] == "reboot", f"{where}: neither a boot nor a reboot"

    _, failed = run.tally()
    known = set(clean_log.splitlines())
    named = [line for line in log.splitlines() if ERROR_WORDS.search(line) and line not in known]
    message = re.sub(r"\b\d+\b", "N", named[0].strip())[:70] if named else None
    if failed and not message:
        assert SILENT_BY_DESIGN.search(failed), \
            f"{where}: the failure ({failed}) is not named\n{log[-1500:]}"
        message = "silent by design"
        if "v" in run.flow.keys and re.search(HEADER_COPY_READ, failed):
            assert "0.0.0.0" in log, f"{where}: the unreadable header copy is not shown as 0.0.0.0"

    for slot in (1, 2):
        path = board.slot(slot)
        holds_new = path.exists() and path.read_bytes() == new_slot
        if f"Image{slot} updated succeeded" in log or \
                f"Image{slot} has been successfully replaced" in log:
            assert holds_new, f"{where}: slot {slot} reported updated but does not hold the image"
        if not holds_new and board.vpd("boot-slot") == slot != run.boot_slot_before:
            raise AssertionError(f"{where}: slot {slot} became the boot slot but its write failed")
    return f"{fault[0]}: {message if failed else 'not reached'} -> {run.started or record['ended']}"


# The container that the installs write (a kernel of two erase blocks and
# an application), and the sticks: one with it as slot 1's replacement, one
# with an application to boot.
@pytest.fixture
def campaign(board, stick, tmp_path):
    app = board.app_archive("3.0.0.1")
    kernel = tmp_path / "uImage"
    kernel.write_bytes(b"\x27\x05\x19\x56" + bytes(range(256)) * 300)
    image = make_container(stick / "TQV4410_replace1_OS.img", [("kernel", "4.19.0.9", kernel),
                                                               ("app", "3.0.0.1", app)])
    sticks = {"replace": stick, "boot": tmp_path / "boot-stick"}
    sticks["boot"].mkdir()
    make_container(sticks["boot"] / "TQV4410_OS.img", [("app", "3.0.0.2", app)])
    return board, image, sections_of(image)[-1], sticks, board.snapshot()


@pytest.mark.parametrize("flow", FLOWS, ids=[re.sub(r"\W+", "_", f.name) for f in FLOWS])
def test_every_failing_device_operation_leaves_a_bootable_switch(campaign, flow):
    board, image, new_slot, sticks, fresh = campaign
    fresh()
    clean_run = Run(board, flow, image, sticks)
    counts, _ = clean_run.tally()
    assert clean_run.started, f"{flow.name}: the fault-free run booted nothing"

    endings = []
    for kind in KINDS:
        total = counts.get(kind, 0)
        for n in sorted(set(range(1, total + 1, STEP)) | ({1, total} if total else set())):
            fresh()
            run = Run(board, flow, image, sticks, (kind, n))
            endings.append(check(run, (kind, n), clean_run.log, new_slot))
    report(f"{flow.name}: {len(endings)} runs, one failing operation each, of "
           + ", ".join(f"{counts.get(k, 0)} {k}" for k in KINDS), endings)
