# Installing over the management port: the rescue menu's network install (N)
# and zero-touch install, on simulated switches plugged into a management
# LAN (board-sim lan) whose server is a real DHCP and TFTP server (dnsmasq)
# and HTTP server (busybox httpd), reached with the switch's busybox wget and
# tftp. Only addresses inside the namespaces the tests made are used.
#
# E2E_FLEET=N powers N switches at once in the fleet test (CI: 4), and
# E2E_FLEET_LOSS=P adds P% packet loss on the server's cable
# (scripts/netinstall-campaign runs 16 with and without 5%).

import os
import re
import time

import pytest

from conftest import (MENU_PROMPT, SLOT_PROMPT, Board, board_sim, bootimg, bootlaunch,
                      is_powerpc, make_container, needs_root)
from boardsim import demo

pytestmark = needs_root

# The menu's set-up ends in the port's link check, which qemu-user cannot
# run for a PowerPC launcher (it does not translate SIOCETHTOOL: "EthTool
# GLINK error."); zero-touch, which needs no link check, runs on every build.
menu_install = pytest.mark.skipif(
    is_powerpc(bootlaunch()), reason="qemu-user has no SIOCETHTOOL for the menu's link check")

DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: "
SIZE = r"[0-9.]+ (B|KiB|MiB)"
PROGRESS = re.compile(rf"\r  {SIZE} of {SIZE}, {SIZE}/s")
# Once a second while a slow download runs.
PROGRESS_LEFT = re.compile(rf"\r  {SIZE} of {SIZE}, {SIZE}/s, \d+:\d\d left")
DOWNLOADED = re.compile(r"Downloaded (\d+) bytes \([^)]*\) in [0-9.]+ s, [^\r]*\r\n")


def big_image(tmp_path, mib, version="1.0.0.7"):
    # A container with an application section of `mib` MiB of noise (it
    # installs; it is not meant to boot).
    payload = tmp_path / f"noise-{mib}"
    payload.write_bytes(os.urandom(mib << 20))
    return make_container(tmp_path / f"big-{mib}.img", [("app", version, payload)])


def demo_image(board, tmp_path, version="1.0.0.9"):
    image = tmp_path / f"demo-{version}.img"
    demo.app_image(board.path, bootimg(), image, version)
    return image


def start_network_install(console, dhcp=True, location=""):
    # N at the menu, the port's questions, then the location (empty: the
    # offered default; None: no location is asked for).
    console.menu("N")
    console.expect_exact(DHCP_QUESTION)
    if dhcp:
        console.sendline("y")
    else:
        console.sendline("n")
        for prompt, answer in (("IP addr    :", "192.0.2.60"), ("Netmask    :", "255.255.255.0"),
                               ("Gateway    :", "")):
            console.expect_exact(prompt)
            console.sendline(answer)
    if location is not None:
        console.expect_exact("Image location (")
        console.sendline(location)


def end_run(console, version=None):
    # The demo application (of `version`, unless its start line was seen
    # already) under `board-sim run`: ends it and the run; returns
    # last-boot.json.
    if version:
        console.expect(f"Demo application {re.escape(version)} started")
    console.expect_exact("> ")
    console.sendline("exit")
    console.expect_exact("Enter: power on again; q: quit.")
    console.sendline("q")
    return console.off()


def install_into(console, slot):
    console.expect_exact(SLOT_PROMPT)
    console.sendline(str(slot))
    console.expect_exact(f"Image{slot} updated succeeded", "File processed\r\n", MENU_PROMPT)


@menu_install
def test_network_install_over_http_with_the_offered_location_then_boot(board, lan, tmp_path):
    image = demo_image(board, tmp_path)
    (lan.serve / "image.img").write_bytes(image.read_bytes())
    console = board.rescue(lan=lan)
    start_network_install(console)
    console.expect(PROGRESS)
    assert int(console.expect(DOWNLOADED).group(1)) == image.stat().st_size
    install_into(console, 2)
    assert board.slot(2).read_bytes() == image.read_bytes()
    board.set_env(diagnostics=None)
    console.press("R")
    assert console.off()["ended"] == "reboot"
    board.power_on(lan=lan).app(version="1.0.0.9")
    assert lan.served() == {"200": 1}


@menu_install
def test_network_install_with_a_typed_address_over_tftp(board, lan, tmp_path):
    image = demo_image(board, tmp_path)
    (lan.serve / "images").mkdir()
    (lan.serve / "images/update.img").write_bytes(image.read_bytes())
    console = board.rescue(lan=lan)
    start_network_install(console, dhcp=False, location="tftp://192.0.2.1/images/update.img")
    console.expect(DOWNLOADED)
    install_into(console, 1)
    assert board.slot(1).read_bytes() == image.read_bytes()
    assert lan.served() == {}


@menu_install
@pytest.mark.parametrize("server, again", [("http", "resuming"), ("tftp", "starting over")])
def test_a_transfer_that_drops_half_way_goes_on_when_the_server_is_back(board, lan, tmp_path,
                                                                        server, again):
    image = big_image(tmp_path, 6)
    (lan.serve / "image.img").write_bytes(image.read_bytes())
    lan("slow", "--rate", "16mbit")
    # The tries' pauses on a slower clock (1 + 2 + 4 + 8 + 16 s, halved): the
    # server must be back before they run out, on a loaded machine too.
    console = board.rescue(lan=lan, clock=2)
    start_network_install(console, location=f"{server}://installer/image.img")
    console.expect(r"\r  [1-9][0-9.]* MiB")
    lan("stop", server)
    console.expect_exact(f"Transfer broken off at ")
    console.expect_exact(f"; {again} in 1 s (try 2 of 6)")  # half a second at clock 2
    lan("start", server)
    got = console.expect(DOWNLOADED)
    refetched = re.search(r"; (\d+) bytes fetched again", got.group(0))
    print(f"\n{server}: {refetched.group(1) if refetched else 0} bytes fetched twice")
    if server == "http":
        assert refetched is None  # the range request took up where it stopped
    else:
        assert refetched and int(refetched.group(1)) > 0
    install_into(console, 1)
    assert board.slot(1).read_bytes() == image.read_bytes()


@menu_install
def test_ctrl_c_stops_a_download_and_installs_nothing(board, lan, tmp_path):
    before = [board.slot(n).read_bytes() for n in (1, 2)]
    (lan.serve / "image.img").write_bytes(big_image(tmp_path, 4).read_bytes())
    lan("slow", "--rate", "8mbit")
    console = board.rescue(lan=lan)
    start_network_install(console)
    console.expect(PROGRESS_LEFT)
    console.send("\x03")
    console.expect_exact("Download stopped: nothing was kept, nothing installed\r\n")
    console.expect_exact(MENU_PROMPT)
    assert "image" not in board.exec("ls", "/tmp", inside=True).stdout.split()
    assert [board.slot(n).read_bytes() for n in (1, 2)] == before


@menu_install
def test_every_failure_is_one_line_and_installs_nothing(board, lan, tmp_path):
    before = [board.slot(n).read_bytes() for n in (1, 2)]
    (lan.serve / "notes.txt").write_text("not an image\n" * 100)
    (lan.serve / "big.img").write_bytes(big_image(tmp_path, 4).read_bytes())
    console = board.rescue(lan=lan, extra=["--tmp-size", "3M"])
    failures = [
        ("http://installer/missing.img",
         "Download failed: server returned error: HTTP/1.1 404 Not Found"),
        ("tftp://installer/missing.img", "Download failed: server error: (1) file "),
        ("http://installer/notes.txt", "The file is not an image container: nothing installed"),
        ("http://nosuchhost/image.img", "Download failed: bad address 'nosuchhost'"),
        ("http://192.0.2.250/image.img",
         "Download failed: can't connect to remote host (192.0.2.250): No route to host"),
        ("http://installer/big.img", "Download failed: the image (4194"),
        ("ftp://installer/big.img", "Invalid location: it must start with http:// or tftp://"),
    ]
    for location, said in failures:
        start_network_install(console, location=location)
        console.expect_exact(said)
        if location.startswith("ftp:"):
            console.expect_exact("Image location (")
            console.sendline("q")
    # A server that goes away for good: the tries give up.
    lan("slow", "--rate", "2mbit")
    (lan.serve / "big.img").write_bytes(big_image(tmp_path, 1).read_bytes())
    start_network_install(console, location="http://installer/big.img")
    console.expect(PROGRESS)
    lan("stop", "http")
    console.expect(r"Download failed: the transfer was cut short at \d+ of 104\d+ bytes")
    # No carrier on the management port.
    board_sim("net", board.path, "down")
    console.menu("N")
    console.expect_exact(DHCP_QUESTION)
    console.sendline("n")
    for answer in ("192.0.2.60", "255.255.255.0", ""):
        console.sendline(answer)
    console.expect_exact("Mgmt link not available. Quitting.")
    console.expect_exact(MENU_PROMPT)
    assert "image" not in board.exec("ls", "/tmp", inside=True).stdout.split()
    assert [board.slot(n).read_bytes() for n in (1, 2)] == before


# dhclient gives up after its own 60 s: a slow case, run with E2E_SLOW=1.
@pytest.mark.skipif(not os.environ.get("E2E_SLOW"), reason="waits out dhclient: E2E_SLOW=1")
@menu_install
def test_without_a_dhcp_server_the_menu_says_so(board, lan):
    lan("stop", "dhcp")
    console = board.rescue(lan=lan)
    start_network_install(console, location=None)
    console.child.expect_exact("eth0 has no address (no answer from a DHCP server?): nothing "
                               "installed", timeout=120)
    console.expect_exact(MENU_PROMPT)


# --- zero-touch -------------------------------------------------------------------

def test_zero_touch_waits_for_its_server_and_a_key_gives_the_menu(board, lan, tmp_path):
    for n in (1, 2):
        board.slot(n).unlink()
    board.set_env(zerotouch="on")
    (lan.serve / "image.img").write_bytes(demo_image(board, tmp_path).read_bytes())
    # A key during the countdown: the menu, and nothing more from zero-touch.
    # (Its 10 s last 5 s at clock 2: time enough for the key on a loaded
    # machine.)
    console = board.power_on(lan=lan, clock=2)
    console.expect_exact("Zero-touch install: the network offers http://installer/image.img")
    console.expect_exact("press any key for the rescue menu")
    console.press(" ")
    console.expect_exact("Zero-touch install stopped: a key was pressed")
    console.menu("R")
    assert console.off()["ended"] == "reboot"
    assert lan.served() == {}
    # The server is not there: tries behind the menu until it is. (Slow: a
    # DHCP server that does not answer, for dhclient's 60 s.)
    slow = bool(os.environ.get("E2E_SLOW"))
    lan("stop", "dhcp" if slow else "http")
    console = board.power_on(lan=lan, command="run")
    if slow:
        console.expect_exact("Zero-touch install: no answer from a DHCP server yet; still asking")
        console.expect_exact(MENU_PROMPT)
        console.child.expect_exact("Zero-touch install: no answer from a DHCP server; trying "
                                   "again in 10 s", timeout=120)
    else:
        console.expect_exact("Zero-touch install: the download failed; trying again in 10 s")
        console.expect_exact(MENU_PROMPT)
    lan("start", "dhcp" if slow else "http")
    console.expect_exact("Zero-touch install done: rebooting into image 1")
    end_run(console, "1.0.0.9")
    assert board.vpd("boot-slot") == 1
    assert lan.served() == {"200": 1}


# Five switches at once: CTest runs it with the sim build only (the other
# builds' zero-touch runs in the case above; scripts/fleet-campaign takes a
# PRESET).
@pytest.mark.skipif(os.environ.get("E2E_SANDBOX_ONCE") == "skip" and "E2E_FLEET" not in os.environ,
                    reason="the fleet runs with the sim build")
def test_a_fleet_of_empty_switches_installs_itself_once_each(lan, tmp_path):
    count = int(os.environ.get("E2E_FLEET", "4"))
    loss = os.environ.get("E2E_FLEET_LOSS")
    if loss:
        lan("slow", "--loss", f"{loss}%")
    fleet = []
    for n in range(count):
        board = Board(tmp_path / f"switch{n}")
        board_sim("new", board.path)
        board.set_env(zerotouch="on")
        fleet.append(board)
    # One switch that can boot is on the LAN too: zero-touch never touches it.
    bootable = Board(tmp_path / "bootable")
    board_sim("new", bootable.path, "--demo", "--bootimg", bootimg())
    bootable.set_env(zerotouch="on")
    image = demo_image(bootable, tmp_path)
    (lan.serve / "image.img").write_bytes(image.read_bytes())
    started = time.monotonic()
    consoles = [b.power_on(lan=lan, command="run") for b in fleet]
    own = bootable.power_on(lan=lan)
    for console in consoles:
        console.expect_exact("Zero-touch install done: rebooting into image 1")
    for console in consoles:
        console.expect("Demo application 1.0.0.9 started")
    seconds = time.monotonic() - started
    for console in consoles:
        end_run(console)
    own.app(version="1.0.0.1")
    answers = lan.served()
    print(f"\n{count} switches{f' with {loss}% loss' if loss else ''}: all booted the "
          f"served image in {seconds:.1f} s; HTTP answers {dict(answers)}")
    print(board_sim("lan", "status", lan.path).stdout)
    assert answers == {"200": count}
    for board in fleet:
        assert board.slot(1).read_bytes() == image.read_bytes()
