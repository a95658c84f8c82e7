"""Where board-sim finds the switch's programs, and how it runs them.

The simulator build of bootlaunch, the bootimg container tool and the
switch-ops companion program come from the repository's sim build unless the
command line or the environment (BOARD_SIM_BOOTLAUNCH, BOARD_SIM_BOOTIMG,
BOARD_SIM_SWITCH_OPS) name others. A PowerPC build (the
ppc preset) is run under qemu-user, whose system() and exec calls then run
the PC's own programs natively.
"""

import os
import shutil
from pathlib import Path

TOOL_DIR = Path(__file__).resolve().parent.parent
REPO = TOOL_DIR.parent.parent
DEFAULTS = {
    "bootlaunch": ("BOARD_SIM_BOOTLAUNCH", REPO / "build/sim/src/bootlaunch"),
    "bootimg": ("BOARD_SIM_BOOTIMG", REPO / "build/sim/tools/bootimg/bootimg"),
    "switch-ops": ("BOARD_SIM_SWITCH_OPS", REPO / "build/sim/tools/switch-ops/switch-ops"),
}
EM_PPC = 20
QEMU_PPC = "qemu-ppc-static"


class BinaryError(Exception):
    pass


def locate(name, given=None):
    """The program `name` ("bootlaunch", "bootimg" or "switch-ops"): the
    path given on the command line, else the environment's, else the sim
    build's."""
    variable, default = DEFAULTS[name]
    path = Path(given or os.environ.get(variable) or default)
    if not path.is_file():
        hint = "" if given or os.environ.get(variable) else \
            " (build it with ./scripts/run-demo, or `cmake --build --preset sim --target" \
            " bootlaunch bootimg switch-ops`)"
        raise BinaryError(f"{name} not found at {path}{hint}")
    return path.resolve()


def locate_optional(name, given=None):
    """As locate, for a program the switch can do without: None when the
    default is not built; one named on the command line or in the
    environment must be there."""
    variable, default = DEFAULTS[name]
    if not given and not os.environ.get(variable) and not default.is_file():
        return None
    return locate(name, given)


def elf_machine(path):
    """The ELF e_machine of a file, or None when it is not ELF."""
    with open(path, "rb") as f:
        head = f.read(20)
    if len(head) < 20 or head[:4] != b"\x7fELF":
        return None
    order = "little" if head[5] == 1 else "big"
    return int.from_bytes(head[18:20], order)


def run_prefix(path):
    """The words to put before `path` to run it on this PC: [] for a native
    program, the qemu-user command for a PowerPC one."""
    if elf_machine(path) != EM_PPC:
        return []
    qemu = shutil.which(QEMU_PPC)
    if not qemu:
        raise BinaryError(f"{path} is a PowerPC program and {QEMU_PPC} is not installed")
    return [qemu]
