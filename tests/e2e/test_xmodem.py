"""The switch's own XMODEM-1K receiver (switch-ops xmodem) on the powered
switch's console, with lrzsz's sx -k on the far side (board-sim send), as an
engineer receives a file on a switch with a shell on its console."""

import base64
import os

from conftest import back_to_console_settings, needs_root, send_while_switched

pytestmark = needs_root


def test_a_file_sent_with_sx_arrives_whole_with_the_senders_padding(board, tmp_path):
    data = os.urandom(3000)
    sent = tmp_path / "notes.bin"
    sent.write_bytes(data)
    console = board.power_on(shell=True)
    console.expect_exact("switch# ")
    console.sendline("switch-ops xmodem /tmp/received")
    console.expect_exact("Change the baud rate to 115200 bps and hit the <ENTER> key")
    console.expect_exact("before initiating the download.")
    # The download settings have no output processing; the shell's own line
    # editing also leaves the line without canonical mode and echo.
    send_while_switched(board, console, sent, lambda line: "-opost" in line)
    back_to_console_settings(board, console, lambda line: "-opost" not in line)
    # 3000 bytes travel as two 1 KiB blocks and eight 128-byte blocks.
    console.expect_exact("switch-ops: received 3072 bytes into /tmp/received")
    console.expect_exact("switch# ")
    got = board.exec("base64", "-w0", "/tmp/received", inside=True).stdout
    assert base64.b64decode(got) == data + b"\x1a" * 72
