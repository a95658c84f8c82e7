"""The demo application, its archives and its image containers.

An application archive (a gzip-compressed tar) holds what the launcher
unpacks into /tmp:

    home/bin/mp.elf.strip   the application
    home/bin/install.sh     run before the start
    home/bin/env-setup      whitespace-separated name value pairs
    home/bin/distro-id      its presence marks an archive made for this switch

A diagnostics archive holds mpdiag.elf.strip at its top instead of the
application. Each archive goes into an image container made with bootimg.
Tests use these helpers to make images of their own (an archive without
distro-id, an odd env-setup, an extended header...).
"""

import gzip
import io
import os
import subprocess
import tarfile
from pathlib import Path

from . import binaries, state as st

SOURCE = binaries.TOOL_DIR / "demo" / "demo_app.c"
APP_VERSIONS = {1: "1.0.0.1", 2: "1.0.0.2"}
DIAGS_VERSION = "1.0.0.3"
ARCHIVE_TIME = 1700000000  # fixed, so that the same content gives the same image


def compile_app(out, version, diagnostics=False):
    """Builds the demo program with the PC's C compiler, with debugging
    information (gdb, gdbserver and duma work on it)."""
    cc = os.environ.get("CC", "cc")
    cmd = [cc, "-g", "-O0", "-Wall", "-Wextra", f'-DDEMO_VERSION="{version}"']
    if diagnostics:
        cmd.append("-DDEMO_DIAGNOSTICS")
    subprocess.run(cmd + ["-o", str(out), str(SOURCE)], check=True)


def stripped(path):
    """The program without its debugging information, as it goes into an
    archive; the function names stay, so that gdb on the switch's console
    can still name where it stopped. The unstripped file is the symbol file
    for a debugger on the PC."""
    out = Path(str(path) + ".strip")
    subprocess.run(["strip", "--strip-debug", "-o", str(out), str(path)], check=True)
    return out.read_bytes()


def archive_bytes(files):
    """A .tar.gz of `files` ({"home/bin/x": (bytes, mode)}), with the folders
    they need, owned by root."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as tar:
        folders = sorted({str(p) for name in files for p in Path(name).parents if str(p) != "."})
        for folder in folders:
            info = tarfile.TarInfo(folder)
            info.type, info.mode, info.mtime = tarfile.DIRTYPE, 0o755, ARCHIVE_TIME
            tar.addfile(info)
        for name, (data, mode) in files.items():
            info = tarfile.TarInfo(name)
            info.size, info.mode, info.mtime = len(data), mode, ARCHIVE_TIME
            tar.addfile(info, io.BytesIO(data))
    out = io.BytesIO()
    with gzip.GzipFile(fileobj=out, mode="wb", mtime=ARCHIVE_TIME) as gz:
        gz.write(raw.getvalue())
    return out.getvalue()


def install_script(what, version):
    return (f'#!/bin/sh\necho "Demo install script: {what} {version}"\n').encode(), 0o755


def _bytes(program):
    return program if isinstance(program, (bytes, bytearray)) else Path(program).read_bytes()


FAILURES = ("crash", "hang", "reboot")


def app_files(version, program, greeting="hello", what="application",
              program_path="home/bin/mp.elf.strip", fail=None, confirm=False):
    """The demo archive's files; `program` is the program's bytes or path.
    `fail` (one of FAILURES) makes the program fail that way after its start
    lines, `confirm` makes it run `switch-ops confirm` first (DEMO_FAIL,
    DEMO_CONFIRM in env-setup)."""
    env_setup = f"DEMO_SLOT_VERSION {version}\nDEMO_GREETING {greeting}\n"
    if fail:
        env_setup += f"DEMO_FAIL {fail}\n"
    if confirm:
        env_setup += "DEMO_CONFIRM 1\n"
    return {
        program_path: (_bytes(program), 0o755),
        "home/bin/install.sh": install_script(what, version),
        "home/bin/env-setup": (env_setup.encode(), 0o644),
        "home/bin/distro-id": (f"demo-switch {version}\n".encode(), 0o644),
    }


def diags_files(version, program):
    """A diagnostics archive keeps its program at the top, as mpdiag.elf.strip."""
    return app_files(version, program, greeting="diagnostics", what="diagnostics",
                     program_path="mpdiag.elf.strip")


def make_image(bootimg, out, sections):
    """Runs `bootimg create`. `sections`: [(type, version, payload path,
    hdr_len or None)]."""
    cmd = [*binaries.run_prefix(bootimg), str(bootimg), "create", "-o", str(out), "--force"]
    for kind, version, payload, hdr_len in sections:
        cmd += ["--type", kind, "--version", version]
        if hdr_len:
            cmd += ["--hdr-len", str(hdr_len)]
        cmd.append(str(payload))
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def app_image(state, bootimg, out, version, fail=None, confirm=False):
    """A container of one application section: the demo program built as
    `version` (kept in DIR/demo with its debugging information, as install
    keeps the others), with `fail` and `confirm` (see app_files). Returns
    the archive's path."""
    demo = Path(state) / "demo"
    demo.mkdir(exist_ok=True)
    program = demo / f"demo_app-{version}"
    compile_app(program, version)
    variant = (f"-{fail}" if fail else "") + ("-confirm" if confirm else "")
    archive = demo / f"app-{version}{variant}.tar.gz"
    archive.write_bytes(archive_bytes(app_files(version, stripped(program), fail=fail,
                                                confirm=confirm)))
    make_image(bootimg, out, [("app", version, archive, None)])
    return archive


def install(state, bootimg):
    """Puts the demo on a fresh switch: application 1.0.0.1 in slot 1 and
    1.0.0.2 in slot 2, the diagnostics image at the start of the rescue
    partition, and the boot slot byte at 1. DIR/demo keeps the programs with
    their debugging information, the archives and the containers."""
    state = Path(state)
    demo = state / "demo"
    demo.mkdir(exist_ok=True)
    images = state / "user/images"
    images.mkdir(parents=True, exist_ok=True)
    for slot, version in APP_VERSIONS.items():
        app_image(state, bootimg, demo / f"image{slot}.img", version)
        (images / f"image{slot}").write_bytes((demo / f"image{slot}.img").read_bytes())
    program = demo / f"demo_diags-{DIAGS_VERSION}"
    compile_app(program, DIAGS_VERSION, diagnostics=True)
    archive = demo / f"diags-{DIAGS_VERSION}.tar.gz"
    archive.write_bytes(archive_bytes(diags_files(DIAGS_VERSION, stripped(program))))
    make_image(bootimg, demo / "diags.img", [("diags", DIAGS_VERSION, archive, None)])
    st.program_partition(state, "mtd-rescue", (demo / "diags.img").read_bytes())
    st.vpd_set(state, st.VPD_NAMES["boot-slot"], 1)
