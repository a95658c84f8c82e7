"""The management port eth0 of the powered switch (board-sim --mgmt): a veth
pair whose far end holds 192.0.2.1 and a real DHCP server (dnsmasq), with
Debian's dhclient and net-tools' ifconfig and route inside the switch; and
switch-ops, which configures the port and its MAC address on the console's
terms, driven through `board-sim exec --inside`."""

import ipaddress
import os
import re
import subprocess
from pathlib import Path

import pytest

from conftest import needs_root, sandbox_only

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


# --- the network alone ----------------------------------------------------------

@sandbox_only
def test_dhclient_gets_a_lease_from_the_far_end_and_nothing_is_left_after(bare_board):
    """dhclient runs its Debian script in the switch's root: the resolver's
    file it writes is the switch's, and the PC's own network and files stay
    as they were. Powering off ends the DHCP server and the far end."""
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
    holder = (bare_board.path / "run/mgmt-far.pid").read_text().strip()
    assert sh.reboot()["options"]["mgmt"] is True

    assert pc_network() == before
    assert processes_naming(bare_board.path) == []
    assert not Path(f"/proc/{holder}").exists() or \
        os.readlink(f"/proc/{holder}/ns/net") == os.readlink("/proc/self/ns/net")
    assert str(bare_board.path) not in Path("/proc/self/mountinfo").read_text()


@sandbox_only
def test_typed_address_and_default_route_and_a_fresh_port_at_the_next_power_on(bare_board):
    """net-tools' ifconfig and route configure eth0; the next power-on
    starts with a new eth0 without them, where the same commands work again
    (a port kept from before would refuse the route: "File exists")."""
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
        sh.reboot()


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
