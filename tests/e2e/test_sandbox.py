# The sandbox that stands for the switch, seen from inside through a shell
# on its console (board-sim boot --shell) and from the PC.

import os
import re
import signal

import pytest

from conftest import MOUNT_USER, TIMEOUT, board_sim, needs_root, until
from boardsim import console as boardsim_console

pytestmark = needs_root

SUBSTITUTE_MARK = "The simulated switch's reboot"


def test_reboot_and_its_relatives_are_the_boards_own(board):
    # The PC's reboot (a link to systemctl) is out of reach: every name and
    # path that leads to it inside the switch is the substitute, and the
    # switch is a PID namespace of its own whose init is the board's.
    sh = board.shell()
    names = ["reboot", "halt", "poweroff", "shutdown", "telinit", "init", "systemctl"]
    paths = [sh.run(f"command -v {name}").strip() for name in names]
    for path in paths + ["/sbin/reboot", "/bin/systemctl", "/sbin/halt", "/sbin/init"]:
        assert SUBSTITUTE_MARK in sh.run(f"cat {path}"), path
    assert sh.run("cat /proc/1/cmdline | tr '\\0' ' '").strip() == "/bin/sh /usr/sbin/board-init"
    assert sh.run("readlink /proc/self/ns/pid").strip() != os.readlink("/proc/self/ns/pid")
    # The substitute ends the power-on and says who asked.
    record = sh.reboot()
    assert record["ended"] == "reboot"
    assert record["reboot"]["command"] == ["/usr/sbin/reboot"]
    assert record["reboot"]["parent_command_line"] == "/bin/sh"
    assert not (board.path / "run/pid").exists()


def test_reboot_returns_to_its_caller(board):
    # busybox's reboot on the switch signals init and comes back: the
    # caller's own path runs on until init's end takes it down. Stopped from
    # the PC (inside, init cannot be stopped), init holds the signal.
    sh = board.shell()
    init = board.init_pid()
    os.kill(init, signal.SIGSTOP)
    try:
        said = sh.run("reboot; echo reboot-returned=$?")
    finally:
        os.kill(init, signal.SIGCONT)
    assert said.splitlines() == ["The system is going down NOW!", "reboot-returned=0"]
    assert sh.console.off()["ended"] == "reboot"


@pytest.mark.parametrize("command, ended", [
    ("halt", "halt"), ("systemctl reboot", "reboot"), ("busybox reboot", "reboot"),
    ("busybox poweroff", "halt"), ("kill -TERM 1", "reboot"),
])
def test_every_way_down_ends_the_power_on(board, command, ended):
    sh = board.shell()
    sh.console.sendline(command)
    assert sh.console.off()["ended"] == ended


def test_tmp_is_a_ram_file_system_of_the_switchs_size_and_fresh_at_every_power_on(board):
    sh = board.shell()
    assert re.search(r"^\S+ /tmp tmpfs ", sh.run("cat /proc/mounts"), re.M)
    assert sh.run("stat -c %a /tmp").strip() == "1777"
    assert sh.run("df -k /tmp | tail -1").split()[1] == str(64 * 1024)
    sh.run("echo ram > /tmp/marker")
    assert sh.reboot()["options"]["tmp_size"] == "64M"
    # What does not fit in the switch's RAM does not fit here either.
    sh = board.shell(extra=["--tmp-size", "4M"])
    assert sh.run("ls -A /tmp") == ""
    said = sh.run("dd if=/dev/zero of=/tmp/fill bs=64k count=65 2>&1", status=1)
    assert "No space left on device" in said
    assert sh.reboot()["options"]["tmp_size"] == "4M"


def test_user_is_mounted_by_the_launchers_own_line_only(board):
    # /user is an empty mount point until the JFFS2 line mounts it, as on
    # the switch; the line is recorded with its options.
    console = board.power_on()
    assert console.app()["flash"] == [MOUNT_USER.removeprefix("/bin/")]

    sh = board.shell()
    assert sh.run("ls -A /user") == ""
    # Lines that are not the JFFS2 mount of the user partition are busybox's,
    # and fail as they would on the switch.
    for line in ("mount -t jffs2 /dev/mtd-user /mnt", "mount -t jffs2 /dev/mtd-rfs /user"):
        sh.run(f"{line} 2>/dev/null", status=None)
        assert sh.run("ls -A /user") == "", line
    sh.run("mount -t jffs2 /dev/mtd-user /user")
    assert sh.run("ls /user/images").split() == ["image1", "image2"]
    # Mounting it again while it is mounted fails, as on the switch.
    assert "Device or resource busy" in sh.run(f"{MOUNT_USER} 2>&1", status=32)
    assert sh.reboot()["flash"] == ["mount -t jffs2 /dev/mtd-user /user",
                                    f"{MOUNT_USER.removeprefix('/bin/')}: Device or resource busy"]


def test_console_is_ttyS0_and_dev_console(board):
    sh = board.shell()
    assert sh.run("tty").strip() == "/dev/ttyS0"
    # One line: the very device the shell talks on, at 115200.
    devices = sh.run("stat -L -c %t:%T /proc/self/fd/0 /dev/ttyS0 /dev/console").split()
    assert len(set(devices)) == 1
    assert sh.run("stty -F /dev/ttyS0 speed").strip() == "115200"
    # Ctrl-C reaches the foreground program and nothing else: the board
    # stays on.
    sh.console.sendline("sleep 1000")
    sh.console.send("\x03")
    sh.console.expect_exact(sh.PROMPT)
    assert sh.run("echo still-on > /dev/console") == "still-on\n"
    # Ctrl-] pulls the plug.
    assert sh.console.unplug()["ended"] == "unplugged"
    assert "still-on" in board.console_log()


def test_switch_programs_are_debians_and_sh_is_busybox_ash(board):
    sh = board.shell()
    sh.run(MOUNT_USER)
    assert sh.run("readlink -f /bin/sh").strip() == "/usr/bin/busybox"
    # ash takes "&>" as a redirection; dash would run the command in the
    # background with its output on the console (and so race a copy that
    # follows "mkdir /user/images &> /dev/null").
    sh.run("sh -c 'mkdir /user/fresh &> /dev/null'; sh -c 'cp /user/images/image1 /user/fresh'")
    assert sh.run("ls /user/fresh").strip() == "image1"
    assert sh.run("command -v tar").strip() == "/usr/bin/tar"
    assert "GNU tar" in sh.run("tar --version")
    sh.run("echo abc > /tmp/f; /bin/busybox md5sum /tmp/f > /tmp/img_md5string")
    assert sh.run("cut -c1-32 /tmp/img_md5string").strip() == "0bee89b07a248e27c83fc3d5951213c1"
    sh.reboot()


def test_console_socket_serves_one_client_while_the_switch_is_on(board, tmp_path):
    image = tmp_path / "image.bin"
    image.write_bytes(b"image")
    failed = board_sim("send", board.path, image, check=False)
    assert failed.returncode != 0 and "not powered on" in failed.stderr
    sh = board.shell()
    client = boardsim_console.connect(board.path)
    client.settimeout(TIMEOUT)
    # The client sees what the console prints, and its bytes are typed on
    # the console, as the operator's are.
    client.sendall(b"echo from-the-client\r")
    sh.console.expect_exact("from-the-client")
    sh.console.sendline("echo from-the-operator")
    seen = b""
    while b"from-the-operator" not in seen:
        seen += client.recv(4096)
    with pytest.raises(boardsim_console.ConsoleError):
        boardsim_console.connect(board.path)
    client.close()
    # Once the client has gone, another may come.
    def another():
        try:
            boardsim_console.connect(board.path).close()
            return True
        except boardsim_console.ConsoleError:
            return False

    until(another, "the console socket never listened again")
    sh.reboot()
    assert not (board.path / "run/console.sock").exists()


def test_flash_eraseall_refuses_a_mounted_user_tree_and_erases_an_unmounted_one(board):
    sh = board.shell()
    sh.run(MOUNT_USER)
    sh.run("flash_eraseall /dev/mtd-devicetree")
    # Erasing the flash under the mounted file system would corrupt it on
    # the switch: refused, and nothing is erased.
    said = sh.run("flash_eraseall /dev/mtd-user-char 2>&1", status=1)
    assert "mounted on /user; unmount it first" in said
    # The rescue menu's erase of /user: unmount, erase, mount again.
    sh.run("/bin/umount /user &> /dev/null")
    assert (board.path / "user/images/image1").exists(), "unmounting keeps the flash"
    sh.run("flash_eraseall /dev/mtd-user-char")
    sh.run(f"{MOUNT_USER} &> /dev/null")
    assert sh.run("ls -A /user") == ""
    sh.run("echo new > /user/after-erase")
    record = sh.reboot()
    assert board.partition("mtd-devicetree") == b"\xff" * 0x40000
    assert sorted(p.name for p in (board.path / "user").iterdir()) == ["after-erase"]
    assert record["flash"] == [MOUNT_USER.removeprefix("/bin/"), "erase /dev/mtd-devicetree",
                               "erase /dev/mtd-user-char: refused, /user is mounted",
                               "umount /user: status 0", "erase /dev/mtd-user-char",
                               MOUNT_USER.removeprefix("/bin/")]


def test_namespaces_are_the_switchs_own_and_new_at_each_power_on(board):
    sh = board.shell()
    assert sh.run("hostname").strip() == "switch"
    links = board.exec("ip", "-o", "link").stdout
    assert [line.split(":")[1].strip() for line in links.splitlines()] == ["lo"]
    board.exec("ip", "addr", "add", "127.7.7.7/32", "dev", "lo")
    assert "127.7.7.7" in sh.run("ip -o addr")
    # A command run inside sees the switch's root and processes.
    sh.run("echo seen > /tmp/from-console")
    assert board.exec("cat", "/tmp/from-console", inside=True).stdout == "seen\n"
    sh.reboot()
    assert board.exec("true", check=False).returncode == 1  # powered off
    sh = board.shell()
    assert "127.7.7.7" not in sh.run("ip -o addr")
    sh.reboot()
