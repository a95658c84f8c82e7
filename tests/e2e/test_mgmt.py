# The management port eth0 of the powered switch (board-sim --mgmt): a veth
# pair whose far end holds 192.0.2.1 and a real DHCP server (dnsmasq), with
# Debian's dhclient and net-tools' ifconfig and route inside the switch; and
# switch-ops, which configures the port and its MAC address on the console's
# terms, driven through `board-sim exec --inside`.

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
DEFAULT_ROUTE = f"default via {FAR} dev eth0"


def mgmt_shell(board):
    # A shell on the console of a switch with a cable in its management port.
    return board.shell(extra=["--mgmt"])


def eth0(sh):
    # eth0's flags, IPv4 addresses with their prefix and the switch's
    # routes, seen from inside.
    flags = re.search(r"<(\S*)>", sh.run("ip link show eth0")).group(1).split(",")
    return flags, re.findall(r"inet (\S+)", sh.run("ip -4 addr show eth0")), sh.run("ip route")


def pc_network():
    # What the PC's own network looks like: interfaces, addresses, routes,
    # named network namespaces and its resolver's file. A PC whose own
    # address came by DHCP sees its lifetimes count down.
    shown = [re.sub(r"(valid|preferred)_lft \S+", "",
                    subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)
             for cmd in (["ip", "-o", "link"], ["ip", "-o", "addr"], ["ip", "route"],
                         ["ip", "netns", "list"])]
    return shown, Path("/etc/resolv.conf").read_bytes(), sorted(os.listdir("/var/lib/dhcp"))


def assert_nothing_left(board, holder):
    # After a power-on: no PC process naming the switch's folder (the far
    # end's, the switch's), and no namespace held by a mount.
    for entry in Path("/proc").iterdir():
        try:
            assert str(board.path).encode() not in (entry / "cmdline").read_bytes(), entry
        except OSError:
            pass
    assert not Path(f"/proc/{holder}").exists() or \
        os.readlink(f"/proc/{holder}/ns/net") == os.readlink("/proc/self/ns/net")
    assert str(board.path) not in Path("/proc/self/mountinfo").read_text()


# --- the network alone ----------------------------------------------------------

@sandbox_only
def test_dhclient_gets_a_lease_from_the_far_end_and_nothing_is_left_after(bare_board):
    # dhclient runs its Debian script in the switch's root: the resolver's
    # file it writes is the switch's, and the PC's own network and files stay
    # as they were. Pulling the plug ends the DHCP server, dhclient and the
    # far end.
    before = pc_network()
    sh = mgmt_shell(bare_board)
    # The switch's code looks for exactly this path before it offers DHCP.
    sh.run("test -x /bin/dhclient && test -x /sbin/dhclient-script")
    sh.run("dhclient -1 eth0")
    _, (address,), routes = eth0(sh)
    lease = ipaddress.ip_interface(address)
    assert lease.ip in LEASES and lease.network.prefixlen == 24
    assert DEFAULT_ROUTE in routes
    assert sh.run("cat /etc/resolv.conf").split() == ["nameserver", FAR]
    mac = sh.run("cat /sys/class/net/eth0/address").strip()
    assert f"{mac} {lease.ip}" in (bare_board.path / "run/mgmt-dhcp.leases").read_text()
    sh.run(f"busybox ping -c 1 -W 5 {FAR}")
    # dhclient went on as a daemon: powering off ends it with the far end.
    assert "dhclient -1 eth0" in sh.run("ps -eo args")
    holder = (bare_board.path / "run/mgmt-far.pid").read_text().strip()
    record = sh.console.unplug()
    assert record["ended"] == "unplugged" and record["options"]["mgmt"] is True
    assert pc_network() == before
    assert_nothing_left(bare_board, holder)


# --- switch-ops on the switch ---------------------------------------------------

DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: "
IP_PROMPT = "IP addr    :"
NETMASK_PROMPT = "Netmask    :"
GATEWAY_PROMPT = "Gateway    :"
MAC_PROMPT = "MAC address (format nn:nn:nn:nn:nn:nn): "
DOTS = "Configuring management port..." + "." * 20
NO_LINK = "Mgmt link not available. Quitting."
CONFIGURED = "switch-ops: management port configured"
NOT_CONFIGURED = "switch-ops: management port not configured"


@pytest.fixture
def switch_ops():
    # This build's switch-ops, as board-sim puts it on the switch's PATH.
    path = binaries.locate_optional("switch-ops")
    if path is None:
        pytest.skip("switch-ops is not built")
    return path


def link_up_ending(switch_ops):
    # The exit status and last lines of `switch-ops mgmt` once the port is
    # configured and its link is up. Under qemu-user the ethtool request
    # fails: a PowerPC build configures the port all the same and then
    # reports the link check's failure.
    if is_powerpc(switch_ops):
        return 1, ["EthTool GLINK error.", NO_LINK, NOT_CONFIGURED]
    return 0, [CONFIGURED]


def lines(said):
    # The lines printed, without the empty ones.
    return [line.rstrip("\r") for line in said.split("\n") if line.strip()]


class Ops:
    # `switch-ops ARGS` run inside the powered switch through
    # `board-sim exec --inside`, its terminal driven by pexpect as an
    # operator's keys would be.

    def __init__(self, board, *args):
        self.child = pexpect.spawn(str(BOARD_SIM), ["exec", str(board.path), "--inside",
                                                    "switch-ops", *args],
                                   timeout=TIMEOUT, encoding="utf-8", codec_errors="replace")
        self.child.logfile_read = open(board.path.parent / f"{board.path.name}-ops.log", "a")

    def key(self, k):
        # Presses a key once the program waits for one: a key that came
        # earlier would meet the line discipline in line mode. Termios
        # requests on a pty's master act on its slave.
        for _ in range(TIMEOUT * 200):
            if not termios.tcgetattr(self.child.child_fd)[3] & termios.ICANON:
                break
            time.sleep(0.005)
        else:
            raise AssertionError("switch-ops never read a key")
        self.child.send(k)

    def answer(self, *pairs):
        # At each prompt, types its answer and Enter, each key after the
        # echo of the one before (or the bell of a full line); returns what
        # came before the prompts.
        said = ""
        for prompt, line in zip(pairs[::2], pairs[1::2]):
            self.child.expect_exact(prompt)
            said += self.child.before
            for k in line:
                self.key(k)
                self.child.expect_exact([k, "\a"])
            self.key("\r")
        return said

    def end(self, after=None):
        # Waits for the program's end (and, before, for `after`); returns
        # (what it printed since the last text waited for, its exit status).
        if after:
            self.child.expect_exact(after)
        self.child.expect(pexpect.EOF)
        said = self.child.before
        self.child.close()
        self.child.logfile_read.close()
        return self.child.exitstatus, lines(said)


# A lower-case y chooses DHCP, and no address is asked for. An address
# alone takes ifconfig's own netmask for a class C address, and no route
# command runs.
@pytest.mark.parametrize("answers, address, routed", [
    (["y"], None, True),
    (["n", "192.0.2.7", "255.255.255.128", FAR], "192.0.2.7/25", True),
    (["n", "192.0.2.7", "", ""], "192.0.2.7/24", False),
], ids=["DHCP", "typed address, netmask and gateway", "typed address alone"])
def test_mgmt_configures_eth0(bare_board, switch_ops, answers, address, routed):
    sh = mgmt_shell(bare_board)
    ops = Ops(bare_board, "mgmt", "--dhcp")
    prompts = [DHCP_QUESTION, IP_PROMPT, NETMASK_PROMPT, GATEWAY_PROMPT]
    ops.answer(*[item for pair in zip(prompts, answers) for item in pair])
    assert ops.end(DOTS if address else None) == link_up_ending(switch_ops)
    flags, addresses, routes = eth0(sh)
    assert {"UP", "LOWER_UP"} <= set(flags)
    if address:
        assert addresses == [address]
    else:
        assert ipaddress.ip_interface(addresses[0]).ip in LEASES
    assert (DEFAULT_ROUTE in routes) == routed and ("default" in routes) == routed
    sh.run(f"busybox ping -c 1 -W 5 {FAR}")
    sh.reboot()


def test_far_end_down_ends_in_no_link(bare_board, switch_ops):
    if is_powerpc(switch_ops):
        pytest.skip("qemu-user does not translate SIOCETHTOOL: the link check runs natively only")
    sh = mgmt_shell(bare_board)
    bare_board.net("down")
    ops = Ops(bare_board, "mgmt")  # without --dhcp there is no DHCP question
    ops.answer(IP_PROMPT, "192.0.2.7", NETMASK_PROMPT, "", GATEWAY_PROMPT, "")
    assert ops.end(DOTS) == (1, [NO_LINK, NOT_CONFIGURED])
    flags, addresses, _ = eth0(sh)
    assert "NO-CARRIER" in flags and addresses == ["192.0.2.7/24"]
    sh.reboot()


def test_address_rules_and_q_at_every_prompt(bare_board, switch_ops):
    # Addresses outside 1.0.0.0-239.255.255.255 are asked again, for the
    # address and the gateway; the netmask is never range-checked. q at an
    # address prompt cancels before any command runs; at the DHCP question
    # it is a no.
    sh = mgmt_shell(bare_board)
    refused = ["0.1.2.3", "240.0.0.1", "255.255.255.255"]
    ops = Ops(bare_board, "mgmt", "--dhcp")
    said = ops.answer(DHCP_QUESTION, "q", IP_PROMPT, "")
    for prompt, answers in ((IP_PROMPT, refused + ["239.255.255.255"]),
                            (NETMASK_PROMPT, ["255.255.255.255"]), (GATEWAY_PROMPT, refused)):
        for line in answers:
            said += ops.answer(prompt, line)
    said += ops.answer(GATEWAY_PROMPT, "q")
    assert re.findall(r"Invalid IP address.*?please", said) == \
        ["Invalid IP address. Try again please"] + \
        [f"Invalid IP address {a}. Try again please" for a in refused] * 2
    assert ops.end() == (1, [NOT_CONFIGURED])

    # Without /bin/dhclient there is no DHCP question.
    sh.run("rm /usr/bin/dhclient")  # the board's link, in the root's RAM layer
    for answers in ([IP_PROMPT, "Q"], [IP_PROMPT, "1.0.0.0", NETMASK_PROMPT, "q"]):
        ops = Ops(bare_board, "mgmt", "--dhcp")
        assert "DHCP" not in ops.answer(*answers)
        assert ops.end() == (1, [NOT_CONFIGURED])
    # Nothing was run for the answers given.
    flags, addresses, routes = eth0(sh)
    assert "UP" not in flags and addresses == [] and routes == ""
    sh.reboot()


def test_mac_address_as_typed_and_nothing_after_it(bare_board, switch_ops):
    # Six hexadecimal fields set eth0's address, which its far end then
    # sees; a line with more after the sixth field is asked again, so
    # nothing after it runs (halt or reboot would end the power-on).
    sh = mgmt_shell(bare_board)
    ops = Ops(bare_board, "mac")
    said = ops.answer(MAC_PROMPT, "0:1:2:3:4:5;reboot", MAC_PROMPT, "0:1:2:3:4", MAC_PROMPT, "q")
    assert said.count("Invalid MAC address. Try again please") == 2
    assert ops.end() == (1, ["switch-ops: MAC address not changed"])
    assert not (bare_board.path / "run/power.argv").exists()
    ops = Ops(bare_board, "mac")
    ops.answer(MAC_PROMPT, "0:1:2:3:4:5")
    assert ops.end() == (0, ["switch-ops: MAC address handed to ifconfig"])
    assert "link/ether 00:01:02:03:04:05 " in sh.run("ip link show eth0")
    sh.run("ifconfig eth0 192.0.2.7 netmask 255.255.255.0")
    sh.run(f"busybox ping -c 1 -W 5 {FAR}")
    neighbours = bare_board.exec("ip", "neigh", "show", "dev", "mgmt0", far=True).stdout
    assert re.search(r"^192\.0\.2\.7 lladdr 00:01:02:03:04:05 ", neighbours, re.M), neighbours
    assert sh.reboot()["reboot"]["command"] == ["/usr/sbin/reboot"]  # the test's own
