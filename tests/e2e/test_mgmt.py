# The management port eth0 of the powered switch (board-sim --mgmt): a veth
# pair whose far end holds 192.0.2.1 and a real DHCP server (dnsmasq), with
# Debian's dhclient and net-tools' ifconfig and route inside the switch; and
# switch-ops, which configures the port on the console's terms, run on the
# console.

import ipaddress
import os
import re
import subprocess
from pathlib import Path

import pytest

from conftest import board_sim, is_powerpc, needs_root
from boardsim import binaries

pytestmark = needs_root

FAR = "192.0.2.1"
LEASES = [ipaddress.ip_address(f"192.0.2.{n}") for n in range(100, 151)]
DEFAULT_ROUTE = f"default via {FAR} dev eth0"


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


def assert_nothing_left(board, holder, before):
    # After a power-on: the PC's network as it was `before`, no PC process
    # naming the switch's folder (the far end's, the switch's), and no
    # namespace held by a mount.
    assert pc_network() == before
    for entry in Path("/proc").iterdir():
        try:
            assert str(board.path).encode() not in (entry / "cmdline").read_bytes(), entry
        except OSError:
            pass
    assert not Path(f"/proc/{holder}").exists() or \
        os.readlink(f"/proc/{holder}/ns/net") == os.readlink("/proc/self/ns/net")
    assert str(board.path) not in Path("/proc/self/mountinfo").read_text()


# --- switch-ops on the switch ---------------------------------------------------

DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: "
IP_PROMPT = "IP addr    :"
NETMASK_PROMPT = "Netmask    :"
GATEWAY_PROMPT = "Gateway    :"
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


def run_switch_ops(sh, args, *pairs, after=None):
    # Runs `switch-ops ARGS` on the console; at each prompt types its answer
    # and Enter, each key after the echo of the one before (or the bell of a
    # full line). Returns its exit status and the lines it printed after the
    # last key (and after `after`), without the empty ones.
    console = sh.console
    console.sendline(f'switch-ops {args}; echo "<<status=$?>>"')
    for prompt, line in zip(pairs[::2], pairs[1::2]):
        console.expect_exact(prompt)
        for k in line:
            console.press(k)
            console.expect([re.escape(k), "\a"])
        console.press("\r")
    if after:
        console.expect_exact(after)
    status = int(console.expect(r"<<status=(\d+)>>\r\n").group(1))
    said = [line.rstrip("\r") for line in console.before.split("\n") if line.strip()]
    console.expect_exact(sh.PROMPT)
    return status, said


# A lower-case y chooses DHCP, and no address is asked for: dhclient runs
# its Debian script in the switch's root, and the resolver's file it writes
# is the switch's. An address alone takes ifconfig's own netmask for a class
# C address, and no route command runs. The PC's own network and files stay
# as they were, and powering off ends dhclient, the DHCP server and the far
# end.
@pytest.mark.parametrize("answers, address, routed", [
    (["y"], None, True),
    (["n", "192.0.2.7", "255.255.255.128", FAR], "192.0.2.7/25", True),
    (["n", "192.0.2.7", "", ""], "192.0.2.7/24", False),
], ids=["DHCP", "typed address, netmask and gateway", "typed address alone"])
def test_mgmt_configures_eth0(board, switch_ops, answers, address, routed):
    before = pc_network()
    sh = board.shell(extra=["--mgmt"])  # a cable in the management port
    prompts = [DHCP_QUESTION, IP_PROMPT, NETMASK_PROMPT, GATEWAY_PROMPT]
    pairs = [item for pair in zip(prompts, answers) for item in pair]
    ending = run_switch_ops(sh, "mgmt --dhcp", *pairs, after=DOTS if address else None)
    assert ending == link_up_ending(switch_ops)
    flags, addresses, routes = eth0(sh)
    assert {"UP", "LOWER_UP"} <= set(flags)
    if address:
        assert addresses == [address]
    else:
        assert ipaddress.ip_interface(addresses[0]).ip in LEASES
        assert sh.run("cat /etc/resolv.conf").split() == ["nameserver", FAR]
    assert (DEFAULT_ROUTE in routes) == routed and ("default" in routes) == routed
    sh.run(f"busybox ping -c 1 -W 5 {FAR}")
    holder = (board.path / "run/mgmt-far.pid").read_text().strip()
    assert sh.reboot()["options"]["mgmt"] is True
    assert_nothing_left(board, holder, before)


def test_far_end_down_ends_in_no_link(board, switch_ops):
    if is_powerpc(switch_ops):
        pytest.skip("qemu-user does not translate SIOCETHTOOL: the link check runs natively only")
    sh = board.shell(extra=["--mgmt"])  # a cable in the management port
    board_sim("net", board.path, "down")
    # Without --dhcp there is no DHCP question.
    assert run_switch_ops(sh, "mgmt", IP_PROMPT, "192.0.2.7", NETMASK_PROMPT, "",
                          GATEWAY_PROMPT, "", after=DOTS) == (1, [NO_LINK, NOT_CONFIGURED])
    flags, addresses, _ = eth0(sh)
    assert "NO-CARRIER" in flags and addresses == ["192.0.2.7/24"]
    sh.reboot()
