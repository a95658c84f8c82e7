"""The management port eth0 of the powered switch (board-sim --mgmt): a veth
pair whose far end holds 192.0.2.1 and a real DHCP server (dnsmasq), with
Debian's dhclient and net-tools' ifconfig and route inside the switch; and
switch-ops, which configures the port and its MAC address on the console's
terms, driven through `board-sim exec --inside`."""

import ipaddress
import os
import re
import subprocess
import termios
import time
from pathlib import Path

import pexpect
import pytest

from conftest import BOARD_SIM, TIMEOUT, is_powerpc, needs_root, sandbox_only
from boardsim import binaries

pytestmark = needs_root

FAR = "192.0.2.1"
LEASES = [ipaddress.ip_address(f"192.0.2.{n}") for n in range(100, 151)]


def mgmt_shell(board):
    """A shell on the console of a switch with a cable in its management
    port."""
    return board.shell(extra=["--mgmt"])


def inet(sh):
    """eth0's IPv4 addresses with their prefix, as `ip` shows them inside."""
    return re.findall(r"inet (\S+)", sh.run("ip -4 addr show eth0"))


def pc_network():
    """What the PC's own network looks like: interfaces, addresses, routes,
    named network namespaces and its resolver's file."""
    shown = [subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
             for cmd in (["ip", "-o", "link"], ["ip", "-o", "addr"], ["ip", "route"],
                         ["ip", "netns", "list"])]
    # A PC whose own address came by DHCP sees its lifetimes count down.
    shown = [re.sub(r"(valid|preferred)_lft \S+", "", text) for text in shown]
    return shown, Path("/etc/resolv.conf").read_bytes(), sorted(os.listdir("/var/lib/dhcp"))


def processes_naming(path):
    """PC processes whose command line names something under `path`."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if str(path).encode() in (entry / "cmdline").read_bytes():
                    found.append(entry.name)
            except OSError:
                pass
    return found


def far_end_holder(board):
    """The PC pid of the process holding the far end's network namespace."""
    return (board.path / "run/mgmt-far.pid").read_text().strip()


def assert_nothing_left(board, holder):
    """After a power-on: no process of the far end or of the switch, and no
    namespace held by a mount, are left on the PC."""
    assert processes_naming(board.path) == []
    assert not Path(f"/proc/{holder}").exists() or \
        os.readlink(f"/proc/{holder}/ns/net") == os.readlink("/proc/self/ns/net")
    assert str(board.path) not in Path("/proc/self/mountinfo").read_text()


# --- the network alone ----------------------------------------------------------

@sandbox_only
def test_dhclient_gets_a_lease_from_the_far_end_and_nothing_is_left_after(bare_board):
    """dhclient runs its Debian script in the switch's root: the resolver's
    file it writes is the switch's, and the PC's own network and files stay
    as they were. Pulling the plug ends the DHCP server, dhclient and the
    far end."""
    before = pc_network()
    sh = mgmt_shell(bare_board)
    # The switch's code looks for exactly this path before it offers DHCP.
    sh.run("test -x /bin/dhclient && test -x /sbin/dhclient-script")
    sh.run("dhclient -1 eth0")
    (address,) = inet(sh)
    lease = ipaddress.ip_interface(address)
    assert lease.ip in LEASES and lease.network.prefixlen == 24
    assert f"default via {FAR} dev eth0" in sh.run("ip route")
    assert sh.run("cat /etc/resolv.conf").split() == ["nameserver", FAR]
    mac = sh.run("cat /sys/class/net/eth0/address").strip()
    assert f"{mac} {lease.ip}" in (bare_board.path / "run/mgmt-dhcp.leases").read_text()
    sh.run(f"busybox ping -c 1 -W 5 {FAR}")
    # dhclient went on as a daemon: powering off ends it with the far end.
    assert "dhclient -1 eth0" in sh.run("ps -eo args")
    holder = far_end_holder(bare_board)
    record = sh.console.unplug()
    assert record["ended"] == "unplugged" and record["options"]["mgmt"] is True
    assert pc_network() == before
    assert_nothing_left(bare_board, holder)


@sandbox_only
def test_typed_address_and_default_route_and_a_fresh_port_at_the_next_power_on(bare_board):
    """net-tools' ifconfig and route configure eth0; a reboot ends the far
    end, and the next power-on starts with a new eth0 without them, where
    the same commands work again (a port kept from before would refuse the
    route: "File exists")."""
    for _ in range(2):
        sh = mgmt_shell(bare_board)
        assert "net-tools" in sh.run("ifconfig --version 2>&1; route --version 2>&1")
        assert inet(sh) == [] and sh.run("ip route") == ""
        sh.run("ifconfig eth0 192.0.2.7 netmask 255.255.255.0")
        sh.run(f"route add default gw {FAR}")
        assert inet(sh) == ["192.0.2.7/24"]
        routes = sh.run("ip route")
        assert f"default via {FAR} dev eth0" in routes
        assert "192.0.2.0/24 dev eth0 proto kernel scope link src 192.0.2.7" in routes
        sh.run(f"busybox ping -c 1 -W 5 {FAR}")
        mac = sh.run("cat /sys/class/net/eth0/address").strip()
        neighbours = bare_board.exec("ip", "neigh", "show", "dev", "mgmt0", far=True).stdout
        assert re.search(rf"^192\.0\.2\.7 lladdr {mac} ", neighbours, re.M), neighbours
        holder = far_end_holder(bare_board)
        assert sh.reboot()["ended"] == "reboot"
        assert_nothing_left(bare_board, holder)


@sandbox_only
def test_far_end_down_takes_the_carrier_and_up_brings_it_back(bare_board):
    sh = mgmt_shell(bare_board)
    sh.run("ifconfig eth0 up")

    def flags():
        return re.search(r"<(\S*)>", sh.run("ip link show eth0")).group(1).split(",")

    assert "LOWER_UP" in flags() and "NO-CARRIER" not in flags()
    bare_board.net("down")
    assert "NO-CARRIER" in flags() and "LOWER_UP" not in flags()
    assert sh.run("cat /sys/class/net/eth0/carrier").strip() == "0"
    # No lease while the cable's far end is down...
    sh.run("timeout 2 dhclient -1 eth0", status=124)
    assert inet(sh) == []
    # ...and one from the same server once it is up again.
    bare_board.net("up")
    assert "LOWER_UP" in flags()
    sh.run("dhclient -1 eth0")
    assert ipaddress.ip_interface(inet(sh)[0]).ip in LEASES
    sh.reboot()


@sandbox_only
def test_without_mgmt_the_switch_has_only_lo_and_no_far_end(bare_board):
    """The switch's root file system has dhclient whether or not a cable is
    in the port; the port itself is missing."""
    sh = bare_board.shell()
    assert re.findall(r"^\d+: (\S+?)[:@]", sh.run("ip -o link"), re.M) == ["lo"]
    sh.run("test -x /bin/dhclient")
    assert "eth0" in sh.run("ifconfig eth0 192.0.2.7 2>&1", status=None)
    failed = bare_board.net("down", check=False)
    assert failed.returncode == 1 and "no management network" in failed.stderr
    failed = bare_board.exec("true", far=True, check=False)
    assert failed.returncode == 1 and "no management network" in failed.stderr
    assert not (bare_board.path / "run/mgmt-far.pid").exists()
    sh.reboot()


# --- switch-ops on the switch ---------------------------------------------------

DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: "
IP_PROMPT = "IP addr    :"
NETMASK_PROMPT = "Netmask    :"
GATEWAY_PROMPT = "Gateway    :"
NO_ADDRESS = "Invalid IP address. Try again please"
MAC_PROMPT = "MAC address (format nn:nn:nn:nn:nn:nn): "
BAD_MAC = "Invalid MAC address. Try again please"
DOTS = "Configuring management port..." + "." * 20
NO_LINK = "Mgmt link not available. Quitting."
CONFIGURED = "switch-ops: management port configured"
NOT_CONFIGURED = "switch-ops: management port not configured"


def bad_address(text):
    return f"Invalid IP address {text}. Try again please"


@pytest.fixture
def switch_ops():
    """This build's switch-ops, as board-sim puts it on the switch's PATH."""
    path = binaries.locate_optional("switch-ops")
    if path is None:
        pytest.skip("switch-ops is not built")
    return path


@pytest.fixture
def link_check(switch_ops):
    """switch-ops whose link check can see eth0's link: qemu-user does not
    pass the ethtool request on, so a PowerPC build finds no link there."""
    if is_powerpc(switch_ops):
        pytest.skip("qemu-user does not translate SIOCETHTOOL: the link check runs natively only")
    return switch_ops


def link_up_ending(switch_ops):
    """The exit status and last lines of `switch-ops mgmt` once the port is
    configured and its link is up. Under qemu-user the ethtool request
    fails: a PowerPC build configures the port all the same and then
    reports the link check's failure."""
    if is_powerpc(switch_ops):
        return 1, ["EthTool GLINK error.", NO_LINK, NOT_CONFIGURED]
    return 0, [CONFIGURED]


def lines(said):
    """The lines printed, without the empty ones."""
    return [line.rstrip("\r") for line in said.split("\n") if line.strip()]


class Ops:
    """`switch-ops ARGS` run inside the powered switch through
    `board-sim exec --inside`, its terminal driven by pexpect as an
    operator's keys would be."""

    def __init__(self, board, *args):
        self.child = pexpect.spawn(str(BOARD_SIM), ["exec", str(board.path), "--inside",
                                                    "switch-ops", *args],
                                   timeout=TIMEOUT, encoding="utf-8", codec_errors="replace")
        self.child.logfile_read = open(board.path.parent / f"{board.path.name}-ops.log", "a")

    def expect(self, text):
        """Waits for a text; returns what came before it."""
        self.child.expect_exact(text)
        return self.child.before

    def reading_a_key(self):
        # Termios requests on a pty's master act on its slave: the program's
        # terminal is out of line mode while it waits for one key.
        return not termios.tcgetattr(self.child.child_fd)[3] & termios.ICANON

    def key(self, k):
        """Presses a key once the program waits for one: a key that came
        earlier would meet the line discipline in line mode."""
        for _ in range(TIMEOUT * 200):
            if self.reading_a_key():
                break
            time.sleep(0.005)
        else:
            raise AssertionError("switch-ops never read a key")
        self.child.send(k)

    def answer(self, line):
        """Types a line and Enter, each key after the echo of the one before
        (or the bell of a full line)."""
        for k in line:
            self.key(k)
            self.child.expect_exact([k, "\a"])
        self.key("\r")

    def end(self):
        """Waits for the program's end; returns (what it printed since the
        last text waited for, its exit status)."""
        self.child.expect(pexpect.EOF)
        said = self.child.before
        self.child.close()
        self.child.logfile_read.close()
        return said, self.child.exitstatus


def eth0_state(sh):
    """eth0's flags, addresses and the switch's routes, seen from inside."""
    flags = re.search(r"<(\S*)>", sh.run("ip link show eth0")).group(1).split(",")
    return flags, inet(sh), sh.run("ip route")


def test_dhcp_chosen_takes_a_lease_and_ends_with_the_link_up(bare_board, switch_ops):
    sh = mgmt_shell(bare_board)
    ops = Ops(bare_board, "mgmt", "--dhcp")
    ops.expect(DHCP_QUESTION)
    ops.answer("y")
    said, status = ops.end()
    assert (status, lines(said)) == link_up_ending(switch_ops)  # no address asked for
    flags, addresses, routes = eth0_state(sh)
    assert {"UP", "LOWER_UP"} <= set(flags)
    assert ipaddress.ip_interface(addresses[0]).ip in LEASES
    assert f"default via {FAR} dev eth0" in routes
    sh.reboot()


@pytest.mark.parametrize("netmask, gateway, address, route", [
    ("255.255.255.128", FAR, "192.0.2.7/25", f"default via {FAR} dev eth0"),
    # ifconfig's own netmask for a class C address; no route command runs.
    ("", "", "192.0.2.7/24", None),
], ids=["with-netmask-and-gateway", "address-alone"])
def test_typed_address_configures_eth0(bare_board, switch_ops, netmask, gateway, address,
                                       route):
    sh = mgmt_shell(bare_board)
    ops = Ops(bare_board, "mgmt", "--dhcp")
    ops.expect(DHCP_QUESTION)
    ops.answer("n")
    ops.expect(IP_PROMPT)
    ops.answer("192.0.2.7")
    ops.expect(NETMASK_PROMPT)
    ops.answer(netmask)
    ops.expect(GATEWAY_PROMPT)
    ops.answer(gateway)
    said = ops.expect(DOTS)
    assert lines(said) == \
        ([f"\tNetmask    : {netmask}"] if netmask else []) + \
        ([f"\tGateway    : {gateway}"] if gateway else [])
    said, status = ops.end()
    assert (status, lines(said)) == link_up_ending(switch_ops)
    flags, addresses, routes = eth0_state(sh)
    assert {"UP", "LOWER_UP"} <= set(flags)
    assert addresses == [address]
    assert (route in routes) if route else "default" not in routes
    sh.run(f"busybox ping -c 1 -W 5 {FAR}")
    sh.reboot()


def test_far_end_down_ends_in_no_link(bare_board, link_check):
    sh = mgmt_shell(bare_board)
    bare_board.net("down")
    ops = Ops(bare_board, "mgmt")
    ops.expect(IP_PROMPT)  # without --dhcp there is no DHCP question
    ops.answer("192.0.2.7")
    ops.expect(NETMASK_PROMPT)
    ops.answer("")
    ops.expect(GATEWAY_PROMPT)
    ops.answer("")
    ops.expect(DOTS)
    said, status = ops.end()
    assert (status, lines(said)) == (1, [NO_LINK, NOT_CONFIGURED])
    flags, addresses, _ = eth0_state(sh)
    assert "NO-CARRIER" in flags and addresses == ["192.0.2.7/24"]
    sh.reboot()


def test_address_rules_and_q_at_every_prompt(bare_board, switch_ops):
    """Addresses outside 1.0.0.0-239.255.255.255 are asked again, for the
    address and the gateway; the netmask is never range-checked. q at an
    address prompt cancels before any command runs; at the DHCP question
    it is a no."""
    sh = mgmt_shell(bare_board)
    ops = Ops(bare_board, "mgmt", "--dhcp")
    ops.expect(DHCP_QUESTION)
    ops.answer("q")
    ops.expect(IP_PROMPT)
    ops.answer("")
    ops.expect(NO_ADDRESS)
    for refused in ("0.1.2.3", "240.0.0.1", "255.255.255.255"):
        ops.expect(IP_PROMPT)
        ops.answer(refused)
        ops.expect(bad_address(refused))
    ops.expect(IP_PROMPT)
    ops.answer("239.255.255.255")
    ops.expect(NETMASK_PROMPT)
    ops.answer("255.255.255.255")
    for refused in ("0.1.2.3", "240.0.0.1", "255.255.255.255"):
        ops.expect(GATEWAY_PROMPT)
        ops.answer(refused)
        ops.expect(bad_address(refused))
    ops.expect(GATEWAY_PROMPT)
    ops.answer("q")
    said, status = ops.end()
    assert (status, said.strip()) == (1, NOT_CONFIGURED)

    for answers in (["Q"], ["1.0.0.0", "q"]):
        ops = Ops(bare_board, "mgmt")
        for prompt, answer in zip([IP_PROMPT, NETMASK_PROMPT], answers):
            ops.expect(prompt)
            ops.answer(answer)
        said, status = ops.end()
        assert (status, said.strip()) == (1, NOT_CONFIGURED)
    # Nothing was run for the answers given.
    flags, addresses, routes = eth0_state(sh)
    assert "UP" not in flags and addresses == [] and routes == ""
    sh.reboot()


def test_no_dhcp_question_without_bin_dhclient(bare_board, switch_ops):
    sh = mgmt_shell(bare_board)
    sh.run("rm /usr/bin/dhclient")  # the board's link, in the root's RAM layer
    ops = Ops(bare_board, "mgmt", "--dhcp")
    assert ops.expect(IP_PROMPT).strip() == ""
    ops.answer("q")
    said, status = ops.end()
    assert (status, lines(said)) == (1, [NOT_CONFIGURED])
    sh.reboot()


def test_mac_address_as_typed_and_nothing_after_it(bare_board, switch_ops):
    """Six hexadecimal fields set eth0's address, which its far end then
    sees; a line with more after the sixth field is asked again, so
    nothing after it runs (halt or reboot would end the power-on)."""
    sh = mgmt_shell(bare_board)
    ops = Ops(bare_board, "mac")
    for refused in ("0:1:2:3:4:5;reboot", "0:1:2:3:4:5;halt", "0:1:2:3:4"):
        ops.expect(MAC_PROMPT)
        ops.answer(refused)
        ops.expect(BAD_MAC)
    ops.expect(MAC_PROMPT)
    ops.answer("q")
    said, status = ops.end()
    assert (status, said.strip()) == (1, "switch-ops: MAC address not changed")
    assert not (bare_board.path / "run/power.argv").exists()

    ops = Ops(bare_board, "mac")
    ops.expect(MAC_PROMPT)
    ops.answer("0:1:2:3:4:5")
    said, status = ops.end()
    assert (status, said.strip()) == (0, "switch-ops: MAC address handed to ifconfig")
    assert "link/ether 00:01:02:03:04:05 " in sh.run("ip link show eth0")
    sh.run("ifconfig eth0 192.0.2.7 netmask 255.255.255.0")
    sh.run(f"busybox ping -c 1 -W 5 {FAR}")
    neighbours = bare_board.exec("ip", "neigh", "show", "dev", "mgmt0", far=True).stdout
    assert re.search(r"^192\.0\.2\.7 lladdr 00:01:02:03:04:05 ", neighbours, re.M), neighbours
    assert sh.reboot()["reboot"]["command"] == ["/usr/sbin/reboot"]  # the test's own
