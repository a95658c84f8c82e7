"""The switch's own XMODEM-1K receiver (switch-ops xmodem) on the powered
switch's console, with lrzsz's sx -k on the far side (board-sim send), as an
engineer receives a file on a switch with a shell on its console."""

import base64
import os
import subprocess

from conftest import BOARD_SIM, TIMEOUT, needs_root

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
    sender = subprocess.Popen([str(BOARD_SIM), "send", str(board.path), str(sent)],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        # The download settings: no output processing (the shell's own line
        # editing also leaves the line without canonical mode and echo).
        board.wait_for_line(lambda line: "-opost" in line)
        console.send("\r")
        out, _ = sender.communicate(timeout=TIMEOUT)
    finally:
        if sender.poll() is None:
            sender.kill()
    assert sender.returncode == 0, out
    console.expect_exact("Change the baud rate back to 9600 bps, hit the <ENTER> key")
    board.wait_for_line(lambda line: "-opost" not in line)
    console.send("\r")
    # 3000 bytes travel as two 1 KiB blocks and eight 128-byte blocks.
    console.expect_exact("switch-ops: received 3072 bytes into /tmp/received")
    console.expect_exact("switch# ")
    got = board.exec("base64", "-w0", "/tmp/received", inside=True).stdout
    assert base64.b64decode(got) == data + b"\x1a" * 72
