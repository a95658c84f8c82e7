# The README's tour, run as written: its shell lines in a folder of their
# own, and on the console what its comments say: at "TEXT" press KEY (a key
# alone) or type TEXT (and Enter), and every other "TEXT" must show up, in
# order. `./scripts/run-demo [--fresh] ARGS` is what the script does after
# its build, with the build under test: `board-sim run demo-switch ARGS`.

import re
import subprocess

import pytest

from conftest import CLOCK, ROOT, Board, Console, bootimg, bootlaunch, needs_root, sandbox_only

pytestmark = [needs_root, sandbox_only]

# The README's tours: each section's first shell block.
TOURS = {name: re.search(rf"## {title}.*?```sh\n(.*?)```", (ROOT / "README.md").read_text(),
                         re.S).group(1)
         for name, title in (("demo", "A tour of the demo switch"),
                             ("rollback", "When an update goes wrong"),
                             ("signing", "Signing images"),
                             ("network", "Rescue over the network"))}
ACTION = re.compile(r'(?:at "([^"]*)" )?(press|type) (\S+?)[;,]?(?:\s|$)|"([^"]*)"')


# (command, comment) per shell line; a comment line continues the last.
def entries(tour):
    out = []
    for line in TOURS[tour].splitlines():
        if line.lstrip().startswith("#"):
            out[-1][1] += " " + line.lstrip("# ")
        else:
            command, _, comment = line.partition("  # ")
            out.append([command.strip(), comment])
    return out


def act(board, console, comment):
    last = ""
    for at, verb, key, seen in ACTION.findall(comment):
        if seen or at:
            console.expect_exact(seen or at)
            last = seen or at
        if not verb:
            continue
        if verb == "type":
            console.sendline(key)
        elif key == "Enter":  # once the line has changed to or from the download's settings
            board.wait_for_line(lambda line: ("-icanon" in line) == ("115200" in last))
            console.send("\r")
        elif key == "Ctrl-]":
            console.send("\x1d")
            console.expect_exact("q: quit. ")
        else:
            console.press(key)


@pytest.mark.parametrize("tour", TOURS)
def test_the_readme_tour(tour, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tools").symlink_to(ROOT / "tools")
    # The signing tour's bootimg: the build under test's.
    (tmp_path / "build/sim/tools/bootimg").mkdir(parents=True)
    (tmp_path / "build/sim/tools/bootimg/bootimg").symlink_to(bootimg())
    board = Board(tmp_path / "demo-switch")
    try:
        run_tour(tour, board)
    finally:  # a tour's management LAN (board-sim lan up lan) outlives a failure
        if (tmp_path / "lan").exists():
            subprocess.run(["tools/board-sim/board-sim", "lan", "down", "lan"], check=False)


def run_tour(tour, board):
    console, powered = None, 0
    for command, comment in entries(tour):
        if command.startswith("./scripts/run-demo"):
            words = command.split()[1:]
            if words[:1] == ["--fresh"]:
                words = words[1:]
                subprocess.run("tools/board-sim/board-sim new demo-switch --demo --force",
                               shell=True, check=True)
            console = Console(board, ["run", "demo-switch", "--clock", str(CLOCK),
                                      "--bootlaunch", str(bootlaunch()), *words])
            powered += 1
        else:
            assert console is None or "second terminal" in comment, command
            subprocess.run(["bash", "-c", command], check=True, timeout=120)
        act(board, console, comment)
        if console and "type q" in comment:
            console.off()
            console = None
    assert powered >= 1 and console is None
