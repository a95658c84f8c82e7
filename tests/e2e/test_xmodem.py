# The switch's own XMODEM-1K receiver (switch-ops xmodem) on the powered
# switch's console, as an engineer receives a file on a switch with a shell
# on its console. lrzsz's sx never sends a bad block: here a sender of our
# own, on the console socket, sends one (and the real sx is the rescue
# menu's serial download's, test_rescue.py).

import binascii
import time

from boardsim import console as boardsim_console
from conftest import TIMEOUT, back_to_console_settings, needs_root

pytestmark = needs_root

STX, EOT, ACK, NAK = 0x02, 0x04, 0x06, 0x15


def block(number, complement, fill):
    # A 1 KiB block of one byte (`a` and `b`: no control byte in their CRC).
    data = bytes([fill]) * 1024
    return bytes([STX, number, complement]) + data + binascii.crc_hqx(data, 0).to_bytes(2, "big")


def answer(sock, wanted):
    # Reads the console until one of the bytes `wanted` comes; returns it.
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        data = sock.recv(1)
        assert data, "the console socket closed"
        if data[0] in wanted:
            return data[0]
    raise AssertionError(f"no answer of {wanted}")


def test_a_block_whose_number_and_complement_disagree_is_not_taken(board):
    console = board.power_on(shell=True)
    console.expect_exact("switch# ")
    console.sendline("switch-ops xmodem /tmp/received")
    console.expect_exact("Change the baud rate to 115200 bps and hit the <ENTER> key",
                         "before initiating the download.")
    # The download settings have no output processing.
    board.wait_for_line(lambda line: "-opost" in line)
    with boardsim_console.connect(board.path) as sock:
        sock.settimeout(TIMEOUT)
        console.send("\r")
        answer(sock, b"C")
        # Block 1 with a complement that is not 255 - 1, then block 1 whole.
        sock.sendall(block(1, 0x00, ord("a")) + block(1, 0xFE, ord("b")))
        assert answer(sock, [ACK]) == ACK
        # The end: an EOT is answered with NAK, the second with ACK.
        sock.sendall(bytes([EOT]))
        assert answer(sock, [NAK, ACK]) == NAK
        sock.sendall(bytes([EOT]))
        assert answer(sock, [NAK, ACK]) == ACK
    back_to_console_settings(board, console, lambda line: "-opost" not in line)
    console.expect_exact("switch-ops: received 1024 bytes into /tmp/received", "switch# ")
    assert board.exec("cat", "/tmp/received", inside=True).stdout == "b" * 1024
