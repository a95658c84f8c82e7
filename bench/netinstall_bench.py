#!/usr/bin/python3
"""Network install against the serial line, on a simulated switch whose
management port is plugged into a management LAN slowed to 100 Mbit/s.

In one run:
  - the rescue menu's network install (N) of a 15 MiB container, its
    download time as the switch prints it, and the peak memory the switch
    used meanwhile (RAM file system plus its processes' own pages) above
    what it used at the menu, against the goal: the container + 2 MiB;
  - the switch's own fetcher (switch-ops fetch, which the menu runs) and
    curl, fetching the same file on the same link from inside the switch,
    alternating, best of RUNS each: their rates and ratio (goal >= 0.9);
  - the same container over XMODEM at 115200 bit/s, computed from the
    switch's receiver's rate measured on a paced line (xmodem_bench).

    bench/netinstall_bench.py [--runs N] [--xmodem-bytes B]   (as root)

It uses the sim build (BOARD_SIM_BOOTLAUNCH, BOARD_SIM_BOOTIMG, as the
end-to-end tests) and build/native/bench/xmodem_bench for the serial rate.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/e2e"))
sys.dont_write_bytecode = True

from conftest import (MENU_PROMPT, SLOT_PROMPT, Board, Lan, board_sim, bootimg,  # noqa: E402
                      make_container)

RATE = "100mbit"
SIZE = 15 << 20


def switch_memory(init, parts=None):
    """Bytes the switch holds now: its RAM file system's used blocks and the
    proportional share of every one of its processes' pages (by program in
    `parts`)."""
    tmp = os.statvfs(f"/proc/{init}/root/tmp")
    used = (tmp.f_blocks - tmp.f_bfree) * tmp.f_frsize
    if parts is not None:
        parts["/tmp"] = used
    ns = os.readlink(f"/proc/{init}/ns/pid")
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if os.readlink(entry / "ns/pid") != ns:
                continue
            rollup = (entry / "smaps_rollup").read_text()
        except OSError:
            continue
        # tmpfs pages a process maps are counted once, in the file system.
        pss = int(re.search(r"^Pss:\s+(\d+) kB", rollup, re.M).group(1))
        shmem = re.search(r"^Pss_Shmem:\s+(\d+) kB", rollup, re.M)
        own = (pss - (int(shmem.group(1)) if shmem else 0)) * 1024
        used += own
        if parts is not None:
            name = (entry / "comm").read_text().strip()
            parts[name] = parts.get(name, 0) + own
    return used


class Sampler(threading.Thread):
    def __init__(self, init):
        super().__init__(daemon=True)
        self.init, self.peak, self.running, self.parts = init, 0, True, {}

    def run(self):
        while self.running:
            try:
                parts = {}
                now = switch_memory(self.init, parts)
                if now > self.peak:
                    self.peak, self.parts = now, parts
            except OSError:
                pass
            time.sleep(0.01)


def timed(board, command):
    start = time.monotonic()
    board.exec(*command, check=True)
    return time.monotonic() - start


def serial_rate(nbytes):
    bench = ROOT / "build/native/bench/xmodem_bench"
    if not bench.exists():
        subprocess.run(["cmake", "--preset", "native"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "native", "--target", "xmodem_bench"],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    out = subprocess.run([str(bench), str(nbytes)], check=True, capture_output=True,
                         text=True).stdout
    line = next(l for l in out.splitlines() if l.startswith("switch's receiver"))
    return float(re.search(r"([0-9.]+) bytes/s", line).group(1))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--xmodem-bytes", type=int, default=256 << 10)
    args = p.parse_args()
    if os.geteuid() != 0:
        sys.exit("netinstall_bench: powering the simulated switch on needs root")
    work = Path(tempfile.mkdtemp(prefix="netinstall-bench-"))
    lan = Lan(work / "lan")
    lan("up", "--offer", "http://installer/image.img")
    try:
        board = Board(work / "switch")
        board_sim("new", board.path, "--demo", "--bootimg", bootimg())
        payload = work / "noise"
        payload.write_bytes(os.urandom(SIZE - 16))
        image = make_container(lan.serve / "image.img", [("app", "1.0.0.7", payload)])
        lan("slow", "--rate", RATE)
        console = board.rescue(lan=lan)
        console.expect_exact(MENU_PROMPT)
        init = int((board.path / "run/pid").read_text())
        time.sleep(0.5)
        base_parts = {}
        base = switch_memory(init, base_parts)
        sampler = Sampler(init)
        sampler.start()
        console.press("N")
        console.expect_exact("y/N: ")
        console.sendline("y")
        console.expect_exact("Image location (")
        console.sendline("")
        done = console.expect(r"Downloaded (\d+) bytes \([^)]*\) in ([0-9.]+) s")
        seconds = float(done.group(2))
        console.expect_exact(SLOT_PROMPT)
        console.sendline("1")
        console.expect_exact("Image1 updated succeeded")
        console.expect_exact(MENU_PROMPT)
        sampler.running = False
        sampler.join()
        added = sampler.peak - base
        print(f"network install of {image.stat().st_size} bytes at {RATE}: download {seconds:.1f} s "
              f"({image.stat().st_size / seconds / 1e6:.2f} MB/s)")
        goal = image.stat().st_size + (2 << 20)
        dhcp = sampler.parts.get("dhclient", 0) - base_parts.get("dhclient", 0)
        print(f"peak memory above the menu's: {added / 2**20:.1f} MiB, of which "
              f"{dhcp / 2**20:.1f} MiB is Debian's dhclient, which the port's set-up leaves "
              f"running; the install itself: {(added - dhcp) / 2**20:.1f} MiB; goal: at most the "
              f"container + 2 MiB = {goal / 2**20:.1f} MiB "
              f"({'met' if added - dhcp <= goal else 'NOT met'})")
        print("  at the peak, above the menu's, in KiB: " + ", ".join(
            f"{name} {(size - base_parts.get(name, 0)) >> 10}"
            for name, size in sorted(sampler.parts.items(), key=lambda kv: -kv[1])
            if size - base_parts.get(name, 0) > 64 << 10))

        ours, theirs = [], []
        url = "http://192.0.2.1/image.img"
        for _ in range(args.runs):
            ours.append(timed_inside(board, url))
            theirs.append(timed(board, ["curl", "-s", "-o", "/dev/null", url]))
        best_ours, best_curl = min(ours), min(theirs)
        print(f"switch-ops fetch: best of {args.runs} {best_ours:.2f} s "
              f"({image.stat().st_size / best_ours / 1e6:.2f} MB/s); curl: {best_curl:.2f} s "
              f"({image.stat().st_size / best_curl / 1e6:.2f} MB/s); rate ratio "
              f"{best_curl / best_ours:.2f} (goal >= 0.9)")
        console.send("\x1d")
        board_sim("lan", "slow", lan.path)

        rate = serial_rate(args.xmodem_bytes)
        xmodem = image.stat().st_size / rate
        print(f"XMODEM at 115200 bit/s: the receiver's measured {rate:.0f} bytes/s gives "
              f"{xmodem:.0f} s ({xmodem / 60:.1f} min) for the same container: the network "
              f"install is {xmodem / seconds:.0f}x faster")
    finally:
        lan("down", check=False)
        subprocess.run(["rm", "-rf", str(work)])


def timed_inside(board, url):
    start = time.monotonic()
    board.exec("switch-ops", "fetch", url, "/tmp/bench.img", inside=True, check=True)
    took = time.monotonic() - start
    board.exec("rm", "-f", "/tmp/bench.img", inside=True, check=True)
    return took


if __name__ == "__main__":
    main()
