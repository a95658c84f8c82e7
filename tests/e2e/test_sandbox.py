"""The sandbox that stands for the switch, seen from inside through a shell
on its console (board-sim boot --shell) and from the PC."""

import hashlib
import os
import re
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

from conftest import BOARD_SIM, MOUNT_USER, TIMEOUT, board_sim, needs_root, sandbox_only
from boardsim import console as boardsim_console

pytestmark = needs_root

POWER_NAMES = ["reboot", "halt", "poweroff", "shutdown", "telinit", "init", "systemctl"]
SUBSTITUTE_MARK = "The simulated switch's reboot"


def test_reboot_and_its_relatives_are_the_boards_own(board):
    """The PC's reboot (a link to systemctl) is out of reach: every name and
    path that leads to it inside the switch is the substitute, and the
    switch is a PID namespace of its own whose init is the board's."""
    sh = board.shell()
    for name in POWER_NAMES:
        path = sh.run(f"command -v {name}").strip()
        assert path.startswith("/usr/sbin/") or path.startswith("/usr/bin/"), (name, path)
        assert SUBSTITUTE_MARK in sh.run(f"cat {path}"), name
    for path in ["/sbin/reboot", "/usr/sbin/reboot", "/bin/systemctl", "/usr/bin/systemctl",
                 "/sbin/halt", "/sbin/poweroff", "/sbin/shutdown", "/sbin/init"]:
        assert SUBSTITUTE_MARK in sh.run(f"cat {path}"), path
    assert sh.run("cat /proc/1/cmdline | tr '\\0' ' '").strip() == "/bin/sh /usr/sbin/board-init"
    inside_ns = sh.run("readlink /proc/self/ns/pid").strip()
    assert inside_ns != os.readlink("/proc/self/ns/pid")
    # The substitute ends the power-on and says who asked.
    record = sh.reboot()
    assert record["ended"] == "reboot"
    assert record["reboot"]["command"] == ["/usr/sbin/reboot"]
    assert record["reboot"]["parent_command_line"] == "/bin/sh"
    assert not (board.path / "run/pid").exists()


def held_init(board):
    """Stops the switch's init from the PC (inside, its init cannot be
    stopped): the signal that reboot sends it then waits, and whatever runs
    after reboot has all the time it needs. Returns the init's PC pid."""
    init = board.init_pid()
    # Only once init has started the launcher (or the shell): before, init
    # is still building the sandbox.
    for _ in range(TIMEOUT * 20):
        if (board.path / "run/launcher.pid").exists():
            break
        time.sleep(0.05)
    os.kill(init, signal.SIGSTOP)
    return init


def test_reboot_returns_to_its_caller(board):
    """busybox's reboot on the switch signals init and comes back: the
    caller's own path runs on until init's end takes it down."""
    sh = board.shell()
    init = held_init(board)
    try:
        said = sh.run("reboot; echo reboot-returned=$?")
    finally:
        os.kill(init, signal.SIGCONT)
    assert said.splitlines() == ["The system is going down NOW!", "reboot-returned=0"]
    record = sh.console.off()
    assert record["ended"] == "reboot"
    assert record["reboot"]["command"] == ["/usr/sbin/reboot"]


def test_launcher_that_ends_after_its_reboot_still_ended_by_reboot(board):
    """The launcher exits as soon as its reboot command returns; even when it
    has ended before init takes the signal, the power-on ended by reboot."""
    board.slot(1).unlink()
    board.slot(2).unlink()
    console = board.power_on()
    init = held_init(board)
    try:
        console.expect_exact("Entering Rescue Mode.")
        console.expect_exact("Option? : ")
        board.wait_for_key_read()
        console.send("R")
        console.expect_exact("The system is going down NOW!")
        launcher = int(Path(f"/proc/{init}/task/{init}/children").read_text().split()[0])
        for _ in range(TIMEOUT * 20):
            if Path(f"/proc/{launcher}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z":
                break
            time.sleep(0.05)
        else:
            raise AssertionError("the launcher did not end after its reboot")
    finally:
        os.kill(init, signal.SIGCONT)
    record = console.off()
    assert record["ended"] == "reboot"
    # (A PowerPC build runs as "qemu-ppc-static /usr/sbin/bootlaunch".)
    assert record["reboot"]["parent_command_line"].endswith("/usr/sbin/bootlaunch")


@pytest.mark.parametrize("command, ended", [
    ("halt", "halt"), ("systemctl reboot", "reboot"), ("busybox reboot", "reboot"),
    ("busybox poweroff", "halt"), ("kill -TERM 1", "reboot"),
])
def test_every_way_down_ends_the_power_on(board, command, ended):
    sh = board.shell()
    sh.console.sendline(command)
    record = sh.console.off()
    assert record["ended"] == ended


def test_tmp_is_a_ram_file_system_of_the_switchs_size_and_fresh_at_every_power_on(board):
    sh = board.shell()
    assert sh.run("ls -A /tmp") == ""
    assert sh.run("stat -c %a /tmp").strip() == "1777"
    assert re.search(r"^\S+ /tmp tmpfs ", sh.run("cat /proc/mounts"), re.M)
    assert sh.run("df -k /tmp | tail -1").split()[1] == str(64 * 1024)
    sh.run("echo ram > /tmp/marker")
    assert sh.reboot()["options"]["tmp_size"] == "64M"

    # What does not fit in the switch's RAM does not fit here either.
    sh = board.shell(extra=["--tmp-size", "4M"])
    assert sh.run("ls -A /tmp") == ""
    said = sh.run("dd if=/dev/zero of=/tmp/fill bs=64k count=65 2>&1", status=1)
    assert "No space left on device" in said
    sh.run("head -c 65536 /dev/zero > /tmp/more", status=1)
    assert sh.reboot()["options"]["tmp_size"] == "4M"


def test_user_is_mounted_by_the_launchers_own_line_only(board):
    """/user is an empty mount point until the JFFS2 line mounts it, as on
    the switch; the line is recorded with its options."""
    console = board.power_on()
    console.expect_exact("Demo application 1.0.0.1 started")
    console.sendline("exit")
    assert console.off()["flash"] == [MOUNT_USER.removeprefix("/bin/")]

    sh = board.shell()
    assert " /user " not in sh.run("cat /proc/mounts")
    assert sh.run("ls -A /user") == ""
    # Lines that are not the JFFS2 mount of the user partition are busybox's,
    # and fail as they would on the switch.
    for line in ("mount -t jffs2 /dev/mtd-user /mnt", "mount /dev/mtd-user /user",
                 "mount -t jffs2 /dev/mtd-rfs /user"):
        sh.run(f"{line} 2>/dev/null", status=None)
        assert sh.run("ls -A /user") == "", line
    sh.run("mount -t jffs2 /dev/mtd-user /user")
    assert sh.run("ls /user/images").split() == ["image1", "image2"]
    sh.run("echo flash > /user/marker")
    # Mounting it again while it is mounted fails, as on the switch.
    assert "Device or resource busy" in sh.run(f"{MOUNT_USER} 2>&1", status=32)
    record = sh.reboot()
    assert record["flash"] == ["mount -t jffs2 /dev/mtd-user /user",
                               f"{MOUNT_USER.removeprefix('/bin/')}: Device or resource busy"]
    assert (board.path / "user/marker").read_text() == "flash\n"

    sh = board.shell()
    sh.mount_user()
    assert sh.run("cat /user/marker") == "flash\n"
    sh.reboot()


def test_console_is_ttyS0_and_dev_console(board):
    sh = board.shell()
    assert sh.run("tty").strip() == "/dev/ttyS0"
    # One line: what goes to either name shows on the console, and they are
    # the very device the shell talks on.
    console = sh.console
    console.sendline("echo through-ttyS0 > /dev/ttyS0; echo through-console > /dev/console")
    console.expect_exact("through-ttyS0")
    console.expect_exact("through-console")
    console.expect_exact(sh.PROMPT)
    devices = sh.run("stat -L -c %t:%T /proc/self/fd/0 /dev/ttyS0 /dev/console").split()
    assert len(set(devices)) == 1
    assert sh.run("stty -F /dev/ttyS0 speed").strip() == "115200"
    # Ctrl-C reaches the foreground program and nothing else: the board
    # stays on.
    console.sendline("sleep 1000")
    console.send("\x03")
    console.expect_exact(sh.PROMPT)
    assert sh.run("echo still-on").strip() == "still-on"
    # Ctrl-] pulls the plug.
    record = console.unplug()
    assert record["ended"] == "unplugged"
    assert "through-ttyS0" in board.console_log()


@pytest.mark.parametrize("inserted", [False, True])
def test_usb_stick_is_there_only_when_inserted(board, tmp_path, inserted):
    stick = tmp_path / "stick"
    stick.mkdir()
    (stick / "TQV4410_OS.img").write_bytes(b"image")
    sh = board.shell(usb=stick if inserted else None)
    if inserted:
        assert sh.run("ls /mnt/usb").split() == ["TQV4410_OS.img"]
        assert sh.run("test -d /tmp/usb && echo mounted").strip() == "mounted"
        sh.run("echo written > /mnt/usb/from-switch")
        assert (stick / "from-switch").read_text() == "written\n"
    else:
        sh.run("ls -d /mnt/usb", status=None)
        assert sh.run("ls -d /mnt/usb /tmp/usb 2>/dev/null", status=None) == ""
        sh.run("test -e /mnt/usb || test -e /tmp/usb", status=1)
    record = sh.reboot()
    assert record["options"]["usb"] == (str(stick) if inserted else None)


def test_usb_stick_that_shows_up_late_is_mounted_before_tmp_usb_appears(board, tmp_path):
    stick = tmp_path / "stick"
    stick.mkdir()
    (stick / "TQV4410_OS.img").write_bytes(b"image")
    sh = board.shell(usb=stick, extra=["--usb-delay", "4.5"])
    sh.run("test -e /mnt/usb || test -e /tmp/usb", status=1)
    # The hot-plug handling mounts the stick first, then makes /tmp/usb: the
    # moment /tmp/usb exists, the stick's files are there.
    said = sh.run("until [ -d /tmp/usb ]; do sleep 0.1; done; ls /mnt/usb")
    assert said.split() == ["TQV4410_OS.img"]
    assert re.search(r"^\S+ /mnt/usb ", sh.run("cat /proc/mounts"), re.M)
    record = sh.reboot()
    assert (record["options"]["usb"], record["options"]["usb_delay"]) == (str(stick), 4.5)


def test_devices_are_the_state_files(board):
    board.set_vpd("boot-slot", 2)
    # A real expander resets with the board: a register left low by the last
    # power-on is high again at the next one.
    expander = board.path / "dev/i2c-1/20"
    regs = bytearray(expander.read_bytes())
    regs[12] = 0x00
    expander.write_bytes(bytes(regs))
    sh = board.shell()
    for name in ["mtd-uboot", "mtd-ubootenv", "mtd-devicetree", "mtd-kernel", "mtd-rfs",
                 "mtd-rescue"]:
        size = os.path.getsize(board.path / "dev" / name)
        assert sh.run(f"stat -c %s /dev/{name}").strip() == str(size), name
    assert sh.run("stat -c %s /dev/i2c-0/54").strip() == "65536"
    assert sh.run("od -An -tu1 -j256 -N1 /dev/i2c-0/54").split() == ["2"]
    assert sh.run("od -An -tu1 -j12 -N1 /dev/i2c-1/20").split() == ["255"]
    sh.run("printf '\\001' | dd of=/dev/i2c-0/54 bs=1 seek=314 conv=notrunc 2>/dev/null")
    sh.run("echo kernel | dd of=/dev/mtd-kernel conv=notrunc 2>/dev/null")
    for node in ["null", "zero", "urandom", "random", "tty", "ptmx", "mtd-user", "mtd-user-char"]:
        sh.run(f"test -e /dev/{node}")
    sh.reboot()
    assert board.vpd("booted-image") == 1
    assert board.partition("mtd-kernel").startswith(b"kernel\n\xff")


def test_switch_programs_are_debians_and_sh_is_busybox_ash(board):
    sh = board.shell()
    sh.mount_user()
    assert sh.run("readlink -f /bin/sh").strip() == "/usr/bin/busybox"
    assert sh.run("readlink -f /usr/bin/sh").strip() == "/usr/bin/busybox"
    # ash takes "&>" as a redirection; dash would run the command in the
    # background with its output on the console (and so race a copy that
    # follows "mkdir /user/images &> /dev/null").
    assert sh.run("sh -c 'echo redirected &> /tmp/out'; cat /tmp/out") == "redirected\n"
    sh.run("sh -c 'mkdir /user/fresh &> /dev/null'; sh -c 'cp /user/images/image1 /user/fresh'")
    assert sh.run("ls /user/fresh").strip() == "image1"
    for program in ["tar", "gzip", "gunzip", "find", "cp", "mv", "mkdir", "chmod", "touch", "rm"]:
        assert sh.run(f"command -v {program}").strip() == f"/usr/bin/{program}", program
    assert "GNU tar" in sh.run("tar --version")
    assert "GNU gdbserver" in sh.run("/bin/gdbserver --version")
    sh.run("test -f /usr/lib/libduma.so.0.0.0")
    sh.run("echo abc > /tmp/f; /bin/busybox md5sum /tmp/f > /tmp/img_md5string")
    assert sh.run("cut -c1-32 /tmp/img_md5string").strip() == "0bee89b07a248e27c83fc3d5951213c1"
    sh.reboot()


# --- the console from the PC: console.sock and XMODEM with `board-sim send` ---

RX_LINE = "stty raw -echo; rx /tmp/image; echo rx-status=$?; stty sane -echo"


def sent_with_padding(data):
    """What the switch's rx keeps of a file that sx -k sent: its tail goes in
    128-byte blocks, the last one padded with 0x1A."""
    return data + b"\x1a" * (-len(data) % 128)


def start_sender(board, file):
    """board-sim send, once its sx is connected to the console and waits."""
    sender = subprocess.Popen([str(BOARD_SIM), "send", str(board.path), str(file), "--timeout",
                               str(TIMEOUT)], stderr=subprocess.PIPE, text=True)
    said = ""
    while "Give your local XMODEM receive command now." not in said:
        char = sender.stderr.read(1)
        assert char, f"board-sim send ended: {said}"
        said += char
    return sender


def connect_console(board):
    """A client of the console socket; as board-sim itself reaches it, by
    way of its folder when the path is too long for a socket address."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        boardsim_console._unix(board.path / "run/console.sock", sock.connect)
    except OSError:
        sock.close()
        raise
    sock.settimeout(TIMEOUT)
    return sock


def receive_until(sock, text):
    seen = b""
    while text not in seen:
        data = sock.recv(4096)
        assert data, f"the console socket closed; it had sent {seen!r}"
        seen += data
    return seen


def test_console_socket_serves_one_client_while_the_switch_is_on(board):
    sh = board.shell()
    console = sh.console
    with connect_console(board) as client:
        # The client sees what the console prints, and its bytes are typed
        # on the console, as the operator's are.
        client.sendall(b"echo from-the-client\r")
        console.expect_exact("from-the-client")
        assert b"from-the-client" in receive_until(client, sh.PROMPT.encode())
        console.sendline("echo from-the-operator")
        assert b"from-the-operator" in receive_until(client, b"from-the-operator")
        with pytest.raises(ConnectionRefusedError):
            connect_console(board)
    # Once the client has gone, another may come.
    for _ in range(TIMEOUT * 20):
        try:
            connect_console(board).close()
            break
        except ConnectionRefusedError:
            time.sleep(0.05)
    else:
        raise AssertionError("the console socket never listened again")
    sh.reboot()
    assert not (board.path / "run/console.sock").exists()


@pytest.mark.parametrize("sender_first", [True, False],
                         ids=["sender started first", "sender started while rx asks"])
def test_xmodem_from_the_pc_fills_the_switchs_rx_file(board, tmp_path, sender_first):
    data = os.urandom(1000003)
    image = tmp_path / "image.bin"
    image.write_bytes(data)
    sh = board.shell()
    console = sh.console
    if sender_first:
        console.send(RX_LINE)  # typed, not yet entered
        sender = start_sender(board, image)
        console.send("\r")
    else:
        # An operator who starts the sender only once the switch waits: the
        # switch's rx keeps asking ('C'), so the sender need not catch the
        # first request.
        console.sendline(RX_LINE)
        for _ in range(3):
            console.expect_exact("C")
        sender = start_sender(board, image)
    status = console.expect(r"rx-status=(\d+)").group(1)
    _, errors = sender.communicate(timeout=TIMEOUT)
    console.expect_exact(sh.PROMPT)
    assert (status, sender.returncode) == ("0", 0), errors
    expected = sent_with_padding(data)
    assert len(expected) == 1000064
    assert sh.run("stat -c %s /tmp/image").strip() == str(len(expected))
    assert sh.run("md5sum /tmp/image").split()[0] == hashlib.md5(expected).hexdigest()
    sh.reboot()


@sandbox_only
def test_rx_with_no_sender_asks_every_second_then_gives_up_leaving_no_file(board):
    sh = board.shell()
    console = sh.console
    console.sendline(RX_LINE)
    status = console.expect(r"rx-status=(\d+)", timeout=300).group(1)
    asked = console.before.count("C")
    console.expect_exact(sh.PROMPT)
    assert status != "0"
    # lrzsz alone asks 11 times over 140 s; the switch's rx about once a
    # second until it gives up.
    assert asked > 30, asked
    assert sh.run("ls -A /tmp") == ""
    sh.reboot()


def test_send_to_a_switch_that_is_off_fails_clearly(board, tmp_path):
    image = tmp_path / "image.bin"
    image.write_bytes(b"image")
    result = board_sim("send", board.path, image, check=False)
    assert result.returncode != 0
    assert "not powered on" in result.stderr


def test_flash_eraseall_refuses_a_mounted_user_tree_and_erases_an_unmounted_one(board):
    sh = board.shell()
    sh.mount_user()
    sh.run("echo junk | dd of=/dev/mtd-devicetree conv=notrunc 2>/dev/null")
    sh.run("flash_eraseall /dev/mtd-devicetree")
    # Erasing the flash under the mounted file system would corrupt it on
    # the switch: refused, and nothing is erased.
    for dev in ("/dev/mtd-user-char", "/dev/mtd-user"):
        said = sh.run(f"flash_eraseall {dev} 2>&1", status=1)
        assert "mounted on /user; unmount it first" in said, dev
    assert sh.run("ls /user/images").split() == ["image1", "image2"]
    # The rescue menu's erase of /user: unmount, erase, mount again.
    sh.run("/bin/umount /user &> /dev/null")
    assert sh.run("ls /user") == ""
    assert (board.path / "user/images/image1").exists(), "unmounting keeps the flash"
    sh.run("flash_eraseall /dev/mtd-user-char")
    sh.run(f"{MOUNT_USER} &> /dev/null")
    assert sh.run("ls -A /user") == ""
    sh.run("echo new > /user/after-erase")
    record = sh.reboot()
    assert board.partition("mtd-devicetree") == b"\xff" * 0x40000
    assert sorted(p.name for p in (board.path / "user").iterdir()) == ["after-erase"]
    assert record["flash"] == [
        "mount -o sync -t jffs2 /dev/mtd-user /user",
        "erase /dev/mtd-devicetree",
        "erase /dev/mtd-user-char: refused, /user is mounted",
        "erase /dev/mtd-user: refused, /user is mounted",
        "umount /user: status 0",
        "erase /dev/mtd-user-char",
        "mount -o sync -t jffs2 /dev/mtd-user /user",
    ]


def test_namespaces_are_the_switchs_own_and_new_at_each_power_on(board):
    sh = board.shell()
    assert sh.run("hostname").strip() == "switch"
    assert (board.path / "run/pid").exists()
    links = board.exec("ip", "-o", "link").stdout
    assert [line.split(":")[1].strip() for line in links.splitlines()] == ["lo"]
    assert "UP" in links
    board.exec("ip", "addr", "add", "127.7.7.7/32", "dev", "lo")
    assert "127.7.7.7" in sh.run("ip -o addr")
    # A command run inside sees the switch's root and processes.
    sh.run("echo seen > /tmp/from-console")
    assert board.exec("cat", "/tmp/from-console", inside=True).stdout == "seen\n"
    assert "board-init" in board.exec("cat", "/proc/1/cmdline", inside=True).stdout
    sh.reboot()
    assert not (board.path / "run/pid").exists()
    assert board.exec("true", check=False).returncode == 1  # powered off
    sh = board.shell()
    assert "127.7.7.7" not in sh.run("ip -o addr")
    sh.reboot()


def test_launcher_gets_a_clean_environment(board):
    os.environ["BOARD_SIM_TEST_HOST_ONLY"] = "leak"
    try:
        sh = board.shell(clock=7, setenv=["BOOTLAUNCH_SIM_FAULTS=read:99"])
    finally:
        del os.environ["BOARD_SIM_TEST_HOST_ONLY"]
    env = dict(line.split("=", 1) for line in sh.run("env").splitlines() if "=" in line)
    assert env["PATH"] == "/usr/sbin:/usr/bin:/sbin:/bin"
    assert env["HOME"] == "/"
    assert env["BOOTLAUNCH_SIM_CLOCK"] == "7"
    assert env["BOOTLAUNCH_SIM_FAULTS"] == "read:99"
    assert "BOARD_SIM_TEST_HOST_ONLY" not in env
    assert set(env) <= {"PATH", "HOME", "TERM", "BOOTLAUNCH_SIM_CLOCK", "BOOTLAUNCH_SIM_BOARD",
                        "BOOTLAUNCH_SIM_FAULTS", "PS1", "PWD", "SHLVL"}
    # SIGINT and SIGQUIT are back at their defaults for what the launcher
    # starts (a background command of the init script would have them
    # ignored).
    ignored = int(sh.run("grep SigIgn /proc/self/status").split()[1], 16)
    assert ignored & 0b110 == 0
    sh.reboot()


def test_power_cut_by_the_simulator_is_recorded(board):
    # The simulator ends the launcher with status 86 when it cuts the power
    # in the middle of a flash operation: here the second one, the read of
    # the rescue partition's header on the way to the diagnostics image.
    board.set_env(diagnostics="diags")
    console = board.power_on(setenv=["BOOTLAUNCH_SIM_FAULTS=power:1"])
    console.expect_exact("y/N: ")
    console.send("n")
    console.expect_exact("Booting diags image...")
    record = console.off()
    assert (record["ended"], record["status"]) == ("power-cut", 86)
    assert "BOOTLAUNCH_SIM_FAULTS=power:1" in record["launcher"]["command"]
