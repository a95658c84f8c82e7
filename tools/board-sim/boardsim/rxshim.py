"""The preload library of the switch's rx (tools/board-sim/rx-shim.c; see
there why it exists), compiled with the PC's C compiler at the first
power-on of a switch and kept in DIR/.board/, out of the source tree."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

from . import binaries

SOURCE = binaries.TOOL_DIR / "rx-shim.c"
CACHE = ".board/rx-shim.so"


class ShimError(Exception):
    pass


def build(state):
    """The compiled library for the switch in `state`, built again when the
    source is newer; ShimError without a C compiler."""
    target = Path(state) / CACHE
    if target.exists() and target.stat().st_mtime >= SOURCE.stat().st_mtime:
        return target
    cc = shutil.which("cc")
    if not cc:
        raise ShimError("no C compiler (cc) for the switch's rx preload library")
    target.parent.mkdir(exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=target.parent, suffix=".so")
    os.close(fd)
    try:
        done = subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", tmp, str(SOURCE), "-ldl"],
                              capture_output=True, text=True)
        if done.returncode != 0:
            raise ShimError(f"compiling {SOURCE.name} failed:\n{done.stderr}")
        os.chmod(tmp, 0o755)
        os.replace(tmp, target)  # atomic: a concurrent reader sees old or new
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return target
