"""A management LAN for simulated switches: one network namespace with a
bridge, and on it the installer's server at 192.0.2.1: a DHCP server and a
TFTP server (two dnsmasq, so that either can be stopped alone) and an HTTP
server (busybox httpd), serving the files of LANDIR/serve. Any number of
switches plug their eth0 into the bridge (board-sim boot DIR --lan LANDIR).

    LANDIR/serve/       the files the servers hand out
    LANDIR/run/         pids, the DHCP leases, the servers' logs, the settings

The server's own cable (srv0, whose bridge end is srv0-port) carries every
packet to and from it: netem on both ends slows it (rate, delay, loss) in
both directions. The LAN outlives power-ons; `lan down` ends it, and
nothing of it is outside its namespace: no address or route of the PC's.
"""

import contextlib
import json
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

from . import state as st

ADDRESS = "192.0.2.1"
SERVER_NAME = "installer"  # the server's name in the LAN's name server
PREFIX = 24
DHCP_RANGE = ("192.0.2.100", "192.0.2.199")
BRIDGE = "lan0"
SERVER = "srv0"
SERVER_PORT = "srv0-port"
SERVERS = ("dhcp", "tftp", "http")
RATE = re.compile(r"[0-9]+(\.[0-9]+)?([kmg]?bit|[kmg]?bps)")
DELAY = re.compile(r"[0-9]+(\.[0-9]+)?(us|ms|s)")
LOSS = re.compile(r"[0-9]+(\.[0-9]+)?%")


class LanError(Exception):
    pass


def _run(lan):
    return st.absolute(lan) / "run"


def _pid(path):
    try:
        pid = int(path.read_text())
        os.kill(pid, 0)
        return pid
    except (OSError, ValueError):
        return None


def holder(lan):
    """The PC pid of the process that holds the LAN's network namespace, or
    None when the LAN is not up."""
    return _pid(_run(lan) / "holder.pid")


def require_up(lan):
    pid = holder(lan)
    if pid is None:
        raise LanError(f"no LAN is up in {lan} (board-sim lan up {lan})")
    return pid


def netns(lan):
    return f"/proc/{require_up(lan)}/ns/net"


def inside(lan, *command, check=True, **kw):
    return subprocess.run(["nsenter", f"--net={netns(lan)}", "--", *command], check=check,
                          text=True, capture_output=True, **kw)


def _settings(lan):
    path = _run(lan) / "settings.json"
    return json.loads(path.read_text()) if path.exists() else {}


def _store_settings(lan, settings):
    path = _run(lan) / "settings.json"
    path.write_text(json.dumps(settings, indent=1) + "\n")


def serve_dir(lan):
    return st.absolute(lan) / "serve"


def _offer_options(offer):
    """dnsmasq options that offer the image location: option 114 for http://,
    the TFTP server name and boot file name (66, 67) for tftp://."""
    if not offer:
        return []
    if offer.startswith("http://"):
        return [f"--dhcp-option-force=114,{offer}"]
    if offer.startswith("tftp://"):
        server, _, file = offer[len("tftp://"):].partition("/")
        return [f"--dhcp-option-force=66,{server}", f"--dhcp-option-force=67,{file}"]
    raise LanError(f"offer {offer!r} is neither http://... nor tftp://...")


def _server_command(lan, name):
    run = _run(lan)
    common = ["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
              "--no-hosts", "--bind-interfaces", f"--interface={SERVER}"]
    if name == "dhcp":
        # With a name server that knows the server's name and no other: a
        # name it does not know fails at once, and no query leaves the LAN.
        return [*common, f"--host-record={SERVER_NAME},{ADDRESS}",
                f"--dhcp-range={DHCP_RANGE[0]},{DHCP_RANGE[1]},255.255.255.0,1h",
                "--dhcp-authoritative", f"--dhcp-option=option:router,{ADDRESS}",
                f"--dhcp-option=option:dns-server,{ADDRESS}",
                *_offer_options(_settings(lan).get("offer")),
                f"--dhcp-leasefile={run}/dhcp.leases", f"--pid-file={run}/dhcp.dnsmasq-pid",
                "--log-dhcp", f"--log-facility={run}/dhcp.log"]
    if name == "tftp":
        # As root: the served folder may be one only root can read.
        return [*common, "--port=0", "--user=root", "--enable-tftp", f"--tftp-root={serve_dir(lan)}",
                f"--pid-file={run}/tftp.dnsmasq-pid", f"--log-facility={run}/tftp.log"]
    return ["busybox", "httpd", "-f", "-vv", "-p", f"{ADDRESS}:80", "-h", str(serve_dir(lan))]


def start(lan, names=SERVERS):
    run = _run(lan)
    for name in names:
        if _pid(run / f"{name}.pid"):
            continue
        log = open(run / f"{name}.out", "ab")
        # A session of its own: stopping it ends its children too (httpd
        # serves each connection from a child).
        proc = subprocess.Popen(["nsenter", f"--net={netns(lan)}", "--",
                                 *_server_command(lan, name)],
                                stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                start_new_session=True)
        log.close()
        (run / f"{name}.pid").write_text(f"{proc.pid}\n")
    _wait_listening(lan, names)


def _wait_listening(lan, names):
    ports = {"dhcp": ("udp", 67), "tftp": ("udp", 69), "http": ("tcp", 80)}
    deadline = time.monotonic() + 10
    for name in names:
        proto, port = ports[name]
        while True:
            out = inside(lan, "ss", "-lnu" if proto == "udp" else "-lnt").stdout
            if re.search(rf":{port}\s", out):
                break
            if time.monotonic() > deadline:
                raise LanError(f"the LAN's {name} server did not start (see "
                               f"{_run(lan)}/{name}.out)")
            time.sleep(0.02)


def stop(lan, names=SERVERS):
    run = _run(lan)
    for name in names:
        pid = _pid(run / f"{name}.pid")
        if pid:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(pid, signal.SIGKILL)
            for _ in range(500):
                if not Path(f"/proc/{pid}").exists() or _zombie(pid):
                    break
                time.sleep(0.01)
        (run / f"{name}.pid").unlink(missing_ok=True)


def _zombie(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().split(")")[-1].split()[0] == "Z"
    except OSError:
        return True


def up(lan, offer=None):
    lan = st.absolute(lan)
    if holder(lan):
        raise LanError(f"the LAN in {lan} is up already")
    _offer_options(offer)  # refuse a bad one before anything starts
    serve_dir(lan).mkdir(parents=True, exist_ok=True)
    run = _run(lan)
    run.mkdir(exist_ok=True)
    for entry in run.iterdir():
        entry.unlink()
    proc = subprocess.Popen(["unshare", "--net", "--", "sleep", "infinity"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    (run / "holder.pid").write_text(f"{proc.pid}\n")
    # unshare runs sleep in its own process once the namespace is made.
    deadline = time.monotonic() + 5
    while os.readlink(f"/proc/{proc.pid}/ns/net") == os.readlink("/proc/self/ns/net"):
        if time.monotonic() > deadline:
            down(lan)
            raise LanError("the LAN's namespace was not made")
        time.sleep(0.01)
    _store_settings(lan, {"offer": offer})
    for command in (["ip", "link", "set", "lo", "up"],
                    ["ip", "link", "add", BRIDGE, "type", "bridge"],
                    ["ip", "link", "set", BRIDGE, "up"],
                    ["ip", "link", "add", SERVER, "type", "veth", "peer", "name", SERVER_PORT],
                    ["ip", "link", "set", SERVER_PORT, "master", BRIDGE],
                    ["ip", "link", "set", SERVER_PORT, "up"],
                    ["ip", "addr", "add", f"{ADDRESS}/{PREFIX}", "dev", SERVER],
                    ["ip", "link", "set", SERVER, "up"]):
        inside(lan, *command)
    start(lan)


def down(lan):
    stop(lan)
    pid = holder(lan)
    if pid:
        os.kill(pid, signal.SIGKILL)
        with contextlib.suppress(ChildProcessError):
            os.waitpid(pid, 0)
    (_run(lan) / "holder.pid").unlink(missing_ok=True)


def set_offer(lan, offer):
    require_up(lan)
    _offer_options(offer)
    settings = _settings(lan)
    settings["offer"] = offer
    _store_settings(lan, settings)
    if _pid(_run(lan) / "dhcp.pid"):
        stop(lan, ["dhcp"])
        start(lan, ["dhcp"])


def _rate_bytes(rate):
    """Bytes per second of a tc rate such as 100mbit or 2mbps."""
    number, unit, kind = re.fullmatch(r"([0-9.]+)([kmg]?)(bit|bps)", rate).groups()
    scale = {"": 1, "k": 1e3, "m": 1e6, "g": 1e9}[unit]
    return float(number) * scale / (8 if kind == "bit" else 1)


def slow(lan, rate=None, delay=None, loss=None):
    """Slows the server's cable, both ways; all None: full speed again.
    netem does it where the PC's kernel has it (sch_netem); elsewhere the
    rate comes from tbf and the loss from iptables' statistic match (a
    kernel without netem cannot delay)."""
    require_up(lan)
    for value, syntax, what in ((rate, RATE, "rate (e.g. 100mbit)"),
                                (delay, DELAY, "delay (e.g. 20ms)"),
                                (loss, LOSS, "loss (e.g. 5%)")):
        if value is not None and not syntax.fullmatch(value):
            raise LanError(f"{value!r} is not a {what}")
    for dev in (SERVER, SERVER_PORT):
        inside(lan, "tc", "qdisc", "del", "dev", dev, "root", check=False)
    inside(lan, "iptables-legacy", "-F", check=False)
    netem = ((["rate", rate] if rate else []) + (["delay", delay] if delay else [])
             + (["loss", loss] if loss else []))
    how = None
    if netem:
        how = "netem " + " ".join(netem)
        # A queue long enough for a second of the rate.
        if inside(lan, "tc", "qdisc", "replace", "dev", SERVER, "root", "netem", "limit",
                  "10000", *netem, check=False).returncode == 0:
            inside(lan, "tc", "qdisc", "replace", "dev", SERVER_PORT, "root", "netem", "limit",
                   "10000", *netem)
        elif delay:
            raise LanError("this PC's kernel has no netem (sch_netem): the LAN can be given a "
                           "rate and a loss, not a delay")
        else:
            how = []
            if rate:
                # A bucket of 20 ms of the rate, and a queue of 100 ms.
                burst = max(32768, int(_rate_bytes(rate) / 50))
                for dev in (SERVER, SERVER_PORT):
                    inside(lan, "tc", "qdisc", "replace", "dev", dev, "root", "tbf", "rate", rate,
                           "burst", str(burst), "latency", "100ms")
                how.append(f"tbf rate {rate}")
            if loss:
                probability = f"{float(loss[:-1]) / 100:.4f}"
                if not shutil.which("iptables-legacy"):
                    raise LanError("a loss without netem needs iptables-legacy (Debian's "
                                   "iptables)")
                for chain, flag in (("OUTPUT", "-o"), ("INPUT", "-i")):
                    inside(lan, "iptables-legacy", "-A", chain, flag, SERVER, "-m", "statistic",
                           "--mode", "random", "--probability", probability, "-j", "DROP")
                how.append(f"iptables loss {loss}")
            how = ", ".join(how)
    settings = _settings(lan)
    settings["netem"] = how
    _store_settings(lan, settings)


def served(lan):
    """What the HTTP server answered (status: count), and the bytes the
    server's cable carried to the switches (every protocol)."""
    text = (_run(lan) / "http.out").read_text(errors="replace") \
        if (_run(lan) / "http.out").exists() else ""
    answers = {}
    for code in re.findall(r"response:(\d+)", text):
        answers[code] = answers.get(code, 0) + 1
    stats = json.loads(inside(lan, "ip", "-j", "-s", "link", "show", SERVER).stdout)[0]
    return answers, stats["stats64"]["tx"]["bytes"]


def leases(lan):
    path = _run(lan) / "dhcp.leases"
    if not path.exists():
        return []
    return [line.split()[1:3] for line in path.read_text().splitlines() if line.strip()]


def status(lan):
    lan = st.absolute(lan)
    pid = holder(lan)
    if pid is None:
        return f"{lan}: down"
    settings = _settings(lan)
    lines = [f"{lan}: up, the server at {ADDRESS} serving {serve_dir(lan)}"]
    for name in SERVERS:
        lines.append(f"  {name:5s} {'running' if _pid(_run(lan) / f'{name}.pid') else 'stopped'}")
    lines.append(f"  offer {settings.get('offer') or 'none'}")
    lines.append(f"  slow  {settings.get('netem') or 'no (full speed)'}")
    answers, sent = served(lan)
    lines.append(f"  http  answers {answers or 'none'}; the server sent {sent} bytes")
    for mac, address in leases(lan):
        lines.append(f"  lease {address} {mac}")
    return "\n".join(lines)
