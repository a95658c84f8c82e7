# The simulated switch's boot-loader environment as board-sim writes it:
# byte for byte what U-Boot's mkenvimage makes. Needs no root: nothing is
# powered on.

import subprocess

from conftest import board_sim


def mkenvimage(tmp_path, lines, big_endian=True):
    text = tmp_path / "env.txt"
    text.write_text("".join(f"{line}\n" for line in lines))
    out = tmp_path / "env.bin"
    subprocess.run(["mkenvimage", *(["-b"] if big_endian else []), "-s", str(0x20000), "-o",
                    str(out), str(text)], check=True)
    return out.read_bytes()


def test_environment_is_what_mkenvimage_makes(tmp_path):
    b = tmp_path / "switch"
    board_sim("new", b)
    env = b / "dev/mtd-ubootenv"
    assert env.read_bytes() == mkenvimage(tmp_path, [])
    for args in (["set", "gdbserver", "on"], ["set", "bootargs", "console=ttyS0,115200 rw"],
                 ["set", "gdbport", "1234"], ["set", "gdbport", "4321"],
                 ["set", "memchk", "on"], ["unset", "memchk"], ["unset", "never-set"]):
        board_sim("env", b, *args)
    expected = ["bootargs=console=ttyS0,115200 rw", "gdbport=4321", "gdbserver=on"]
    assert env.read_bytes() == mkenvimage(tmp_path, expected)
    assert board_sim("env", b, "list").stdout.splitlines() == expected
    # mkenvimage's default little-endian CRC word reads too; a damaged one
    # is reported and the variables are still shown.
    data = bytearray(mkenvimage(tmp_path, ["diagnostics=rescue"], big_endian=False))
    for damage, warned in ((0, False), (1, True)):
        data[0] ^= damage
        env.write_bytes(bytes(data))
        listed = board_sim("env", b, "list")
        assert listed.stdout.splitlines() == ["diagnostics=rescue"]
        assert ("CRC does not match" in listed.stderr) == warned
