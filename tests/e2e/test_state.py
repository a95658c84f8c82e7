# A switch's state directory: `board-sim new` and the environment
# commands. These need no root: nothing is powered on.

import subprocess

from conftest import board_sim, st


def mkenvimage(tmp_path, lines, big_endian=True):
    # U-Boot's own producer of environment partitions.
    text = tmp_path / "env.txt"
    text.write_text("".join(f"{line}\n" for line in lines))
    out = tmp_path / "env.bin"
    subprocess.run(["mkenvimage", *(["-b"] if big_endian else []), "-s", str(0x20000), "-o",
                    str(out), str(text)], check=True)
    return out.read_bytes()


def test_a_new_switch_is_erased_and_empty(bare_board, tmp_path):
    dev = bare_board.path / "dev"
    for name, size in {"mtd-uboot": 0x80000, "mtd-devicetree": 0x40000, "mtd-kernel": 0x300000,
                       "mtd-rfs": 0xF00000, "mtd-rescue": 0xA00000}.items():
        assert (dev / name).read_bytes() == b"\xff" * size, name
    assert (dev / "i2c-0/54").read_bytes() == b"\xff" * 0x10000
    assert (dev / "i2c-1/20").read_bytes() == bytes(8) + b"\xff" * 5 + bytes(19)
    assert list((bare_board.path / "user").iterdir()) == []
    # An environment without variables, exactly as mkenvimage makes it.
    assert (dev / "mtd-ubootenv").read_bytes() == mkenvimage(tmp_path, [])
    # A second `new` on the same place is refused.
    again = board_sim("new", bare_board.path, check=False)
    assert again.returncode == 1 and "not empty" in again.stderr


def test_environment_is_what_mkenvimage_makes(bare_board, tmp_path):
    b = bare_board.path
    for args in (["set", "gdbserver", "on"], ["set", "bootargs", "console=ttyS0,115200 rw"],
                 ["set", "gdbport", "1234"], ["set", "gdbport", "4321"],
                 ["set", "memchk", "on"], ["unset", "memchk"], ["unset", "never-set"]):
        board_sim("env", b, *args)
    expected = ["bootargs=console=ttyS0,115200 rw", "gdbport=4321", "gdbserver=on"]
    assert (b / "dev/mtd-ubootenv").read_bytes() == mkenvimage(tmp_path, expected)
    assert board_sim("env", b, "list").stdout.splitlines() == expected
    assert board_sim("env", b, "get", "gdbport").stdout == "4321\n"
    assert board_sim("env", b, "get", "memchk", check=False).returncode == 1
    assert board_sim("env", b, "set", "bad=name", "x", check=False).returncode == 1
    # Little-endian CRC word (mkenvimage's default): read, no warning; a
    # damaged one is reported, and the variables are still shown.
    env = b / "dev/mtd-ubootenv"
    data = bytearray(mkenvimage(tmp_path, ["diagnostics=rescue"], big_endian=False))
    for damage, warned in ((0, False), (1, True)):
        data[0] ^= damage
        env.write_bytes(bytes(data))
        listed = board_sim("env", b, "list")
        assert listed.stdout.splitlines() == ["diagnostics=rescue"]
        assert ("CRC does not match" in listed.stderr) == warned


def test_nor_programming_only_clears_bits(bare_board):
    st.program_partition(bare_board.path, "mtd-kernel", b"\x0f\xf0", offset=10)
    st.program_partition(bare_board.path, "mtd-kernel", b"\x3c\x3c", offset=10)
    assert bare_board.partition("mtd-kernel")[8:14] == b"\xff\xff\x0c\x30\xff\xff"
