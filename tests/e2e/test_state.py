"""A switch's state directory: `board-sim new`, the VPD and environment
commands. These need no root: nothing is powered on."""

import subprocess
import tarfile

import pytest

from conftest import board_sim, run_bootimg, st

SIZES = {
    "mtd-uboot": 0x80000,
    "mtd-ubootenv": 0x20000,
    "mtd-devicetree": 0x40000,
    "mtd-kernel": 0x300000,
    "mtd-rfs": 0xF00000,
    "mtd-rescue": 0xA00000,
}


def mkenvimage(tmp_path, lines, big_endian=True, size=0x20000):
    """U-Boot's own producer of environment partitions."""
    text = tmp_path / "env.txt"
    text.write_text("".join(f"{line}\n" for line in lines))
    out = tmp_path / "env.bin"
    subprocess.run(["mkenvimage", *(["-b"] if big_endian else []), "-s", str(size), "-o",
                    str(out), str(text)], check=True)
    return out.read_bytes()


def test_a_new_switch_is_erased_and_empty(bare_board, tmp_path):
    dev = bare_board.path / "dev"
    for name, size in SIZES.items():
        data = (dev / name).read_bytes()
        assert len(data) == size, name
        if name != "mtd-ubootenv":
            assert data == b"\xff" * size, name
    assert (dev / "i2c-0/54").read_bytes() == b"\xff" * 0x10000
    expander = (dev / "i2c-1/20").read_bytes()
    assert expander == bytes(8) + b"\xff" * 5 + bytes(19)
    assert list((bare_board.path / "user").iterdir()) == []
    # An environment without variables, exactly as mkenvimage makes it.
    assert (dev / "mtd-ubootenv").read_bytes() == mkenvimage(tmp_path, [])
    assert board_sim("env", bare_board.path, "list").stdout == ""
    # A second `new` on the same place is refused and changes nothing.
    again = board_sim("new", bare_board.path, check=False)
    assert again.returncode == 1 and "not empty" in again.stderr
    assert (dev / "i2c-0/54").read_bytes() == b"\xff" * 0x10000


@pytest.mark.parametrize("where, offset", [
    ("boot-slot", 256), ("booted-image", 314), ("usb-boot", 315),
    ("0", 0), ("0x100", 256), ("65535", 65535),
])
def test_vpd_bytes_round_trip(bare_board, where, offset):
    before = (bare_board.path / "dev/i2c-0/54").read_bytes()
    for value in ("0", "1", "0xD5", "255"):
        board_sim("vpd", bare_board.path, "set", where, value)
        byte = int(value, 0)
        shown = f"{'on' if byte == 0xD5 else 'off'} (0x{byte:02x})" if where == "usb-boot" else byte
        assert board_sim("vpd", bare_board.path, "get", where).stdout == f"{shown}\n"
        after = (bare_board.path / "dev/i2c-0/54").read_bytes()
        changed = [i for i in range(len(after)) if after[i] != before[i]]
        assert changed in ([offset], []), "only the one byte may change"
        assert after[offset] == int(value, 0)


def test_usb_boot_flag_is_set_by_name(bare_board):
    for word, value in (("on", 0xD5), ("off", 0x00)):
        board_sim("vpd", bare_board.path, "set", "usb-boot", word)
        assert bare_board.vpd("usb-boot") == value, word
    assert board_sim("vpd", bare_board.path, "set", "boot-slot", "on", check=False).returncode == 1


@pytest.mark.parametrize("args", [
    ["get", "65536"], ["set", "256", "256"], ["set", "256", "-1"], ["get", "nowhere"],
    ["set", "256"],
])
def test_vpd_refuses_what_is_not_a_byte_of_the_eeprom(bare_board, args):
    before = (bare_board.path / "dev/i2c-0/54").read_bytes()
    result = board_sim("vpd", bare_board.path, *args, check=False)
    assert result.returncode != 0
    assert (bare_board.path / "dev/i2c-0/54").read_bytes() == before


def test_environment_is_what_mkenvimage_makes(bare_board, tmp_path):
    b = bare_board.path
    board_sim("env", b, "set", "gdbserver", "on")
    board_sim("env", b, "set", "shell", "on")
    board_sim("env", b, "set", "bootargs", "console=ttyS0,115200 root=/dev/mtdblock4 rw")
    board_sim("env", b, "set", "gdbport", "1234")
    board_sim("env", b, "set", "gdbport", "4321")  # replaces
    board_sim("env", b, "set", "memchk", "on")
    board_sim("env", b, "unset", "memchk")
    board_sim("env", b, "unset", "never-set")
    expected = ["bootargs=console=ttyS0,115200 root=/dev/mtdblock4 rw", "gdbport=4321",
                "gdbserver=on", "shell=on"]
    assert (b / "dev/mtd-ubootenv").read_bytes() == mkenvimage(tmp_path, expected)
    assert board_sim("env", b, "list").stdout.splitlines() == expected
    assert board_sim("env", b, "get", "gdbport").stdout == "4321\n"
    missing = board_sim("env", b, "get", "memchk", check=False)
    assert (missing.returncode, missing.stdout) == (1, "")
    assert board_sim("env", b, "set", "bad=name", "x", check=False).returncode == 1


def test_environment_made_elsewhere_is_read(bare_board, tmp_path):
    env = bare_board.path / "dev/mtd-ubootenv"
    # Little-endian CRC word (mkenvimage's default): read, no warning.
    env.write_bytes(mkenvimage(tmp_path, ["diagnostics=rescue", "gdb=on"], big_endian=False))
    listed = board_sim("env", bare_board.path, "list")
    assert listed.stdout.splitlines() == ["diagnostics=rescue", "gdb=on"]
    assert "CRC" not in listed.stderr
    # A damaged CRC word is reported, and the variables are still shown.
    data = bytearray(env.read_bytes())
    data[0] ^= 1
    env.write_bytes(bytes(data))
    listed = board_sim("env", bare_board.path, "list")
    assert "CRC does not match" in listed.stderr
    assert listed.stdout.splitlines() == ["diagnostics=rescue", "gdb=on"]


def test_demo_switch_holds_the_demo_images(board, tmp_path):
    for slot, version in ((1, "1.0.0.1"), (2, "1.0.0.2")):
        image = board.slot(slot)
        run_bootimg("verify", image)
        listing = run_bootimg("list", image).stdout
        assert "app" in listing and version in listing
        payload = tmp_path / f"app{slot}.tar.gz"
        run_bootimg("extract", image, 0, payload)
        with tarfile.open(payload) as tar:
            members = {m.name: m for m in tar.getmembers()}
            assert {"home/bin/mp.elf.strip", "home/bin/install.sh", "home/bin/env-setup",
                    "home/bin/distro-id"} <= set(members)
            assert members["home/bin/mp.elf.strip"].mode & 0o111
            assert members["home/bin/install.sh"].mode & 0o111
            env_setup = tar.extractfile("home/bin/env-setup").read().decode().split()
            assert env_setup == ["DEMO_SLOT_VERSION", version, "DEMO_GREETING", "hello"]
    # The diagnostics image at the start of the rescue partition, erased
    # flash behind it.
    rescue = board.partition("mtd-rescue")
    diags = (board.path / "demo/diags.img").read_bytes()
    assert rescue[:len(diags)] == diags
    assert rescue[len(diags):] == b"\xff" * (len(rescue) - len(diags))
    listing = run_bootimg("list", board.path / "demo/diags.img").stdout
    assert "diags" in listing
    assert board.vpd("boot-slot") == 1
    # The programs with their debugging information stay in DIR/demo for a
    # debugger on the PC; the archives hold them without it.
    for version in ("1.0.0.1", "1.0.0.2"):
        full, stripped = board.demo_program(version, False), board.demo_program(version)
        assert b".debug_info" in full.read_bytes()
        assert b".debug_info" not in stripped.read_bytes()


def test_nor_programming_only_clears_bits(bare_board):
    st.program_partition(bare_board.path, "mtd-kernel", b"\x0f\xf0", offset=10)
    st.program_partition(bare_board.path, "mtd-kernel", b"\x3c\x3c", offset=10)
    data = bare_board.partition("mtd-kernel")
    assert data[10:12] == b"\x0c\x30"
    assert data[:10] == b"\xff" * 10 and data[12:16] == b"\xff" * 4
