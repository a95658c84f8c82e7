# Line noise and the console's signal keys at every kind of prompt of the
# rescue console: the launcher stays in charge of the console whatever bytes
# arrive, and Ctrl-C keeps its meaning. Ctrl-\\ raises SIGQUIT and Ctrl-Z
# SIGTSTP on a console in its usual mode; an XMODEM sender started too early
# or a noisy cable sends the same bytes.

import random
import re

import pytest

from conftest import ERASE_QUESTION, MENU, MENU_PROMPT, SLOT_PROMPT, needs_root

pytestmark = needs_root

CTRL_C, CTRL_BACKSLASH, CTRL_Z = b"\x03", b"\x1c", b"\x1a"
SIGNALS = {"SIGINT": 2, "SIGQUIT": 3, "SIGTSTP": 20, "SIGTTIN": 21, "SIGTTOU": 22}


# Random bytes without the ones that mean something at these prompts: line
# ends, the menu's letters, the terminal's own line editing and flow control,
# the editor's cursor keys and ESC, Ctrl-C (sent on its own) and board-sim's
# Ctrl-] (which pulls the plug). What remains only rings bells, is refused as
# an option, or is typed as a character.
def burst(n, seed):
    meaningful = set(b"\r\n\x01\x02\x03\x04\x06\x08\x0f\x11\x12\x13\x15\x16\x17\x1b\x1d\x7f")
    alphabet = [b for b in [*range(0x20), *range(0x80, 0x100)] if b not in meaningful]
    rng = random.Random(seed)
    return bytes(rng.choice(alphabet) for _ in range(n)) + CTRL_BACKSLASH + CTRL_Z


def ignored_signals(board):
    # Those of the launcher, or of what it became.
    pid = (board.path / "run/launcher.pid").read_text().strip()
    status = board.exec("cat", f"/proc/{pid}/status", inside=True).stdout
    mask = int(re.search(r"^SigIgn:\s*([0-9a-f]+)", status, re.M).group(1), 16)
    return {name for name, n in SIGNALS.items() if mask >> (n - 1) & 1}


@pytest.mark.parametrize("job_control", [False, True],
                         ids=["started_by_the_start_up_scripts", "started_as_a_shell_job"])
def test_noise_at_every_prompt_leaves_the_launcher_answering(board, stick, job_control):
    board.app_image(stick / "update.img", "3.0.0.4")
    console = board.rescue(usb=stick, extra=["--job-control"] if job_control else [])

    # The menu's single keys: each noise, then a key it must still answer.
    for noise in [CTRL_BACKSLASH, CTRL_Z, burst(48, 1), CTRL_C]:
        console.expect_exact(MENU_PROMPT)
        board.wait_for_key_read()
        console.send_bytes(noise)
        if noise == CTRL_C:
            # The read breaks off and the prompt comes again, the menu not.
            console.expect_exact(MENU_PROMPT)
            assert MENU not in console.before
        console.press("v")
        console.expect_exact("Installed images versions: \r\n", MENU)

    # The serial download's waits for Enter: the first on the download
    # settings (no signals), the second back on the console's.
    console.menu("x")
    console.expect_exact("before initiating the download.")
    board.wait_for_line(lambda line: "-icanon" in line)
    console.send_bytes(CTRL_BACKSLASH + CTRL_Z + CTRL_C + burst(8, 2) + b"\r")
    console.send("\x18" * 8)  # the receiver is cancelled
    console.expect_exact("Change the baud rate back to 9600 bps, hit the <ENTER> key")
    board.wait_for_line(lambda line: "-icanon" not in line)
    # Ctrl-U drops what the burst left of a line; Ctrl-C only cuts a pause.
    console.send_bytes(CTRL_BACKSLASH + CTRL_Z + burst(8, 3) + b"\x15" + CTRL_C + b"\r")
    console.expect_exact(MENU)

    # The line editor of the USB file choice, then the slot question's line.
    console.menu("u")
    console.expect_exact("Choose file number to install (q to quit): ")
    board.wait_for_key_read()
    console.send_bytes(CTRL_C)  # the editor only rings the bell for it
    console.expect_exact("\a")
    noise = burst(40, 4)
    console.send_bytes(noise + b"\x7f" * len(noise))  # what it typed, deleted again
    console.send("1\r")
    console.expect_exact("Installing update.img", SLOT_PROMPT)
    console.send_bytes(CTRL_BACKSLASH + CTRL_Z + burst(24, 5) + b"\x15")
    console.send("1\r")
    console.expect_exact("Image1 updated succeeded", MENU)

    # The erase question's single key: Ctrl-C counts as "no", as Enter does.
    console.menu("d")
    console.expect_exact(ERASE_QUESTION)
    board.wait_for_key_read()
    console.send_bytes(CTRL_BACKSLASH + CTRL_Z)
    board.wait_for_key_read()
    console.send_bytes(CTRL_C)
    console.expect_exact("Booting diags image...")
    console.expect(r"Demo diagnostics \S+ started")
    console.expect_exact("> ")
    # What the launcher became gets the console's signals back.
    assert ignored_signals(board) == set()
    console.sendline("exit")
    record = console.off()
    assert record["ended"] == "application-ended", record
    assert "Erasing" not in board.console_log()
