"""The state directory of a simulated switch: what survives a power cycle.

    DIR/dev/mtd-uboot ... mtd-rescue   flash partitions (NOR: erased = 0xFF)
    DIR/dev/i2c-0/54                   the VPD EEPROM, 64 KiB
    DIR/dev/i2c-1/20                   the I/O expander's 32 registers
    DIR/user/                          the JFFS2 file system mounted on /user
    DIR/run/                           records of the current or last power-on
    DIR/console.log, DIR/last-boot.json

The partition sizes hold the largest section of each kind that the
switch's installer accepts.
"""

import os
import shutil
import zlib
from pathlib import Path

PARTITIONS = {
    "mtd-uboot": 0x80000,
    "mtd-ubootenv": 0x20000,
    "mtd-devicetree": 0x40000,
    "mtd-kernel": 0x300000,
    "mtd-rfs": 0xF00000,
    "mtd-rescue": 0xA00000,
}
EEPROM = "dev/i2c-0/54"
EEPROM_SIZE = 0x10000
EXPANDER = "dev/i2c-1/20"

# VPD bytes the launcher uses, by the names the tools accept.
VPD_NAMES = {"boot-slot": 256, "booted-image": 314, "usb-boot": 315}
USB_BOOT_ON = 0xD5


class StateError(Exception):
    pass


def expander_power_on_state():
    """Output ports (registers 8..12) high, everything else 0: among others
    the EEPROM's write-protect line is high until the launcher lowers it."""
    regs = bytearray(32)
    regs[8:13] = b"\xff" * 5
    return bytes(regs)


def check(state):
    """Raises StateError unless `state` looks like a switch made by `new`."""
    state = Path(state)
    missing = [p for p in [*("dev/" + n for n in PARTITIONS), EEPROM, EXPANDER, "user"]
               if not (state / p).exists()]
    if missing:
        raise StateError(f"{state} is not a simulated switch (missing {', '.join(missing)})")


def create(state):
    """A fresh switch: erased flash, an erased EEPROM, the expander at its
    power-on state, an empty /user, an environment without variables."""
    state = Path(state)
    if state.exists() and any(state.iterdir()):
        raise StateError(f"{state} exists and is not empty")
    (state / "dev/i2c-0").mkdir(parents=True)
    (state / "dev/i2c-1").mkdir()
    (state / "user").mkdir()
    (state / "run").mkdir()
    for name, size in PARTITIONS.items():
        (state / "dev" / name).write_bytes(b"\xff" * size)
    (state / EEPROM).write_bytes(b"\xff" * EEPROM_SIZE)
    (state / EXPANDER).write_bytes(expander_power_on_state())
    env_store(state, {})


def remove(state, powered):
    """Takes away the switch in `state` so that `create` can make a new one
    there; refuses a folder that holds anything else, and a powered switch."""
    state = Path(state)
    if not state.exists() or not any(state.iterdir()):
        return
    check(state)
    if powered:
        raise StateError(f"the switch in {state} is powered on: pull its plug first")
    shutil.rmtree(state)


def reset_expander(state):
    """A real expander resets with the board; the EEPROM keeps its content."""
    (Path(state) / EXPANDER).write_bytes(expander_power_on_state())


def program_partition(state, name, data, offset=0):
    """Writes `data` into a partition as NOR flash would: bits only go from 1
    to 0 (new = old AND data), so writing over unerased bytes mixes them."""
    path = Path(state) / "dev" / name
    with open(path, "r+b") as f:
        f.seek(offset)
        old = f.read(len(data))
        if len(old) < len(data):
            raise StateError(f"{len(data)} bytes at {offset} do not fit in {name}")
        f.seek(offset)
        f.write(bytes(a & b for a, b in zip(old, data)))


def vpd_offset(text):
    if text in VPD_NAMES:
        return VPD_NAMES[text]
    offset = int(text, 0)
    if not 0 <= offset < EEPROM_SIZE:
        raise StateError(f"VPD offset {text} is outside the 64 KiB EEPROM")
    return offset


def vpd_value(where, text):
    """The byte to write: a number, or for the USB boot flag on/off, the
    values the launcher tests for."""
    if where == "usb-boot" and text in ("on", "off"):
        return USB_BOOT_ON if text == "on" else 0x00
    try:
        return int(text, 0)
    except ValueError:
        raise StateError(f"VPD value {text!r} is not a byte"
                         + (" (nor on/off)" if where == "usb-boot" else "")) from None


def vpd_get(state, offset):
    with open(Path(state) / EEPROM, "rb") as f:
        f.seek(offset)
        return f.read(1)[0]


def vpd_set(state, offset, value):
    if not 0 <= value <= 255:
        raise StateError(f"VPD value {value} is not a byte")
    with open(Path(state) / EEPROM, "r+b") as f:
        f.seek(offset)
        f.write(bytes([value]))


# The boot loader's environment, in U-Boot's layout: a CRC-32 word over the
# rest of the environment, then name=value strings each ended by NUL, one
# more NUL, and erased flash (0xFF) up to the end. The switch's U-Boot runs on
# a big-endian CPU and stores the word in its own byte order, as
# `mkenvimage -b` does. Variables are kept sorted by name, as U-Boot's
# saveenv writes them.

ENV_PARTITION = "mtd-ubootenv"


def env_image(variables, size):
    data = b"".join(f"{k}={v}".encode() + b"\0" for k, v in sorted(variables.items())) + b"\0"
    if len(data) > size - 4:
        raise StateError(f"the environment needs {len(data) + 4} bytes, the partition has {size}")
    data += b"\xff" * (size - 4 - len(data))
    return zlib.crc32(data).to_bytes(4, "big") + data


def env_parse(image):
    """(variables, crc_ok). A CRC in either byte order counts as good, so
    that an environment made for a little-endian board is read as well."""
    crc = zlib.crc32(image[4:])
    crc_ok = crc in (int.from_bytes(image[:4], "big"), int.from_bytes(image[:4], "little"))
    variables = {}
    for entry in image[4:].split(b"\0"):
        if not entry or entry[0] == 0xFF:
            break
        name, sep, value = entry.decode("latin-1").partition("=")
        if sep:
            variables[name] = value
    return variables, crc_ok


def env_load(state):
    return env_parse((Path(state) / "dev" / ENV_PARTITION).read_bytes())


def env_store(state, variables):
    path = Path(state) / "dev" / ENV_PARTITION
    size = path.stat().st_size if path.exists() else PARTITIONS[ENV_PARTITION]
    image = env_image(variables, size)
    # Rewritten in place: a running board has this file bind-mounted.
    with open(path, "r+b" if path.exists() else "wb") as f:
        f.write(image)


def env_check_name(name):
    if not name or "=" in name or any(c.isspace() or ord(c) < 32 for c in name):
        raise StateError(f"'{name}' is not a valid variable name")


def clear_run(state):
    """Empties DIR/run: its records belong to one power-on."""
    run = Path(state) / "run"
    run.mkdir(exist_ok=True)
    for entry in run.iterdir():
        if entry.is_dir() and not entry.is_symlink():
            shutil.rmtree(entry)
        else:
            entry.unlink()


def absolute(path):
    return Path(os.path.abspath(path))
