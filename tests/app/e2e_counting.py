#!/usr/bin/env python3
"""End to end: VarnoTray captures on one end of a veth pair between two
network namespaces and counts known UDP and TCP traffic into the shared block.

An independent observer (an AF_PACKET socket on the same adapter) records
every frame; the expected per-range totals are computed from what it saw with
the ranges' own simple rules, and must equal what the block holds, range by
range. Then: the last-period amount rolls every second, and Exit (SIGTERM)
clears the period and total amounts while this reader holds the block.

Usage: e2e_counting.py BIN_DIR        (as root; exit 77 = skipped)
"""

import ctypes
import fcntl
import mmap
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

from waiting import wait_for

BIN = os.path.abspath(sys.argv[1])
TAG = str(os.getpid())
NS_A, NS_B = "varno-e2e-a" + TAG, "varno-e2e-b" + TAG
IF_A, IF_B = "vea" + TAG, "veb" + TAG
ADDR_A, ADDR_B = "10.231.0.1", "10.231.0.2"
MAP = "VarnoTray"  # the program's own name; XDG_RUNTIME_DIR keeps it apart
RECORD = struct.Struct("<B32sqqq")

# name, source IPs, dest IPs, source ports, dest ports (all-numeric rules, so
# the observer below can apply them without the program's help)
RANGES = [
    ("Probe", "*ANY*", "*ANY*", "*ANY*", "9"),
    ("All but probes", "*ANY*", "*ANY*", "*ANY*", "10-65535"),
    ("UDP to A 5000-5009", "*ANY*", ADDR_A, "*ANY*", "5000-5009"),
    ("From B", ADDR_B, "*ANY*", "*ANY*", "10-65535"),
    ("Server replies", "*ANY*", "*ANY*", "7000", "*ANY*"),
    ("B network", "10.231.0.*", "10.231.0.*", "*ANY*", "10-65535"),
]


def fits_ports(rule, port):
    if rule == "*ANY*":
        return True
    for item in rule.split(","):
        lo, _, hi = item.partition("-")
        if int(lo) <= port <= int(hi or lo):
            return True
    return False


def fits_addr(rule, addr):
    if rule == "*ANY*":
        return True
    if rule.endswith(".*"):
        return addr.startswith(rule[:-1])
    return addr == rule


def run(*cmd, check=True, **kw):
    return subprocess.run(cmd, check=check, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def in_ns(ns, *cmd):
    return ["ip", "netns", "exec", ns, *cmd]


def setup_network():
    run("ip", "netns", "add", NS_A)
    run("ip", "netns", "add", NS_B)
    run("ip", "link", "add", IF_A, "type", "veth", "peer", "name", IF_B)
    run("ip", "link", "set", IF_A, "netns", NS_A)
    run("ip", "link", "set", IF_B, "netns", NS_B)
    for ns, ifname, addr in ((NS_A, IF_A, ADDR_A), (NS_B, IF_B, ADDR_B)):
        run(*in_ns(ns, "ip", "addr", "add", addr + "/24", "dev", ifname))
        run(*in_ns(ns, "ip", "link", "set", ifname, "up"))
        run(*in_ns(ns, "ip", "link", "set", "lo", "up"))


def teardown_network():
    run("ip", "netns", "del", NS_A, check=False)
    run("ip", "netns", "del", NS_B, check=False)


CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


def setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "setns")


class Observer(threading.Thread):
    """Records the IPv4 TCP/UDP frames seen on IF_A inside NS_A."""

    def __init__(self):
        super().__init__(daemon=True)
        fd = os.open("/run/netns/" + NS_A, os.O_RDONLY)
        original = os.open("/proc/self/ns/net", os.O_RDONLY)
        setns(fd)
        try:
            self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
            self.sock.bind((IF_A, 0))
        finally:
            setns(original)
            os.close(fd)
            os.close(original)
        self.sock.settimeout(0.2)
        self.packets = []
        self.stop = False

    def run(self):
        while not self.stop:
            try:
                frame = self.sock.recv(65535)
            except (socket.timeout, BlockingIOError):
                continue
            except OSError as e:
                if e.errno == 100:  # ENETDOWN while the link settles
                    time.sleep(0.01)
                    continue
                raise
            if len(frame) < 38 or frame[12:14] != b"\x08\x00" or frame[23] not in (6, 17):
                continue
            total = struct.unpack("!H", frame[16:18])[0]
            src = socket.inet_ntoa(frame[26:30])
            dst = socket.inet_ntoa(frame[30:34])
            sport, dport = struct.unpack("!HH", frame[34:38])
            self.packets.append((src, dst, sport, dport, total))


def expected_totals(packets):
    totals = [0] * len(RANGES)
    for src, dst, sport, dport, length in packets:
        for i, (_, sips, dips, sports, dports) in enumerate(RANGES):
            if fits_ports(sports, sport) and fits_ports(dports, dport) and fits_addr(sips, src) and fits_addr(dips, dst):
                totals[i] += length
    return totals


class Block:
    """The shared block, held (shared flock) like any reader does."""

    def __init__(self, rundir):
        self.rundir = rundir
        self.fd = os.open(os.path.join(rundir, MAP), os.O_RDONLY | os.O_NOFOLLOW)
        fcntl.flock(self.fd, fcntl.LOCK_SH)
        self.view = mmap.mmap(self.fd, 4096, prot=mmap.PROT_READ)

    def read(self):
        lock = os.open(os.path.join(self.rundir, "LOCK" + MAP), os.O_RDWR | os.O_CREAT, 0o600)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            data = bytes(self.view[:4096])
        finally:
            os.close(lock)
        records = []
        for k in range(len(RANGES)):
            n, name, period, last, total = RECORD.unpack_from(data, 1 + 57 * k)
            records.append((name[:n].decode(), period, last, total))
        return data[0], records


def send_traffic():
    """Known UDP datagrams and one TCP exchange from B to A."""
    script = f"""
import socket, time
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for i, size in enumerate([0, 1, 100, 1000, 1472, 37, 512]):
    u.sendto(b"x" * size, ("{ADDR_A}", 5000 + i * 3))
for port in (10, 65535, 4999):
    u.sendto(b"y" * 10, ("{ADDR_A}", port))
c = socket.create_connection(("{ADDR_A}", 7000), timeout=5)
c.sendall(b"z" * 3000)
c.shutdown(socket.SHUT_WR)
got = 0
while True:
    d = c.recv(65536)
    if not d:
        break
    got += len(d)
c.close()
assert got == 3000, got
"""
    run(*in_ns(NS_B, sys.executable, "-c", script))


def main():
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        return 77
    work = tempfile.mkdtemp(prefix="varno-e2e-")
    rundir = os.path.join(work, "run")
    os.mkdir(rundir, 0o700)
    tray = None
    echo = None
    setup_network()
    try:
        shutil.copy(os.path.join(BIN, "VarnoTray"), work)
        adapters = run(*in_ns(NS_A, os.path.join(BIN, "varno-adapters"))).stdout.splitlines()
        index = next(int(l.split("\t")[0]) for l in adapters if l.split("\t")[1:2] == [IF_A])
        with open(os.path.join(work, "VarnoRanges.ini"), "w") as f:
            for n, (name, s, d, sp, dp) in enumerate(RANGES, 1):
                f.write(f"[Range {n}]\nDisplay Name={name}\nSource IPs={s}\nDest IPs={d}\n"
                        f"Source Ports={sp}\nDest Ports={dp}\n\n")
        with open(os.path.join(work, "VarnoTray.ini"), "w") as f:
            f.write(f"[Settings]\nAdaptor Index={index}\nStart Connected=1\n")

        # An echo server on A for the TCP exchange.
        echo = subprocess.Popen(in_ns(NS_A, sys.executable, "-c", f"""
import socket
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("{ADDR_A}", 7000)); s.listen(1); print("ready", flush=True)
c, _ = s.accept()
while True:
    d = c.recv(65536)
    if not d: break
    c.sendall(d)
c.close()
"""), stdout=subprocess.PIPE, text=True)
        assert echo.stdout.readline().strip() == "ready"

        observer = Observer()
        observer.start()
        env = dict(os.environ, XDG_RUNTIME_DIR=rundir, QT_QPA_PLATFORM="offscreen")
        env.pop("DISPLAY", None)
        tray = subprocess.Popen(in_ns(NS_A, env_path(work)), env=env, stderr=subprocess.PIPE, text=True)

        wait_for("the block", lambda: os.path.exists(os.path.join(rundir, MAP)))
        block = Block(rundir)
        wait_for("the range names", lambda: block.read()[1][len(RANGES) - 1][0] == RANGES[-1][0])

        # Probes to port 9 until one is counted: then the capture runs.
        def probe():
            run(*in_ns(NS_B, sys.executable, "-c",
                       f"import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b'p', ('{ADDR_A}', 9))"))
            time.sleep(0.1)
            return block.read()[1][0][3] > 0
        wait_for("the first probe to be counted", probe)

        send_traffic()
        echo.wait(timeout=10)
        time.sleep(0.5)  # the last frames reach both captures
        observer.stop = True
        observer.join()

        expected = expected_totals(observer.packets)
        _, records = block.read()
        for i, (name, period, last, total) in enumerate(records):
            print(f"range {i + 1} {name!r}: total {total}, expected {expected[i]}")
        failures = [i + 1 for i in range(1, len(RANGES)) if records[i][3] != expected[i]]
        assert not failures, f"ranges {failures} differ"
        assert expected[2] == sum(28 + s for s in [0, 1, 100, 1000]), expected[2]
        assert all(expected[i] > 0 for i in range(len(RANGES)))

        # Without traffic the next ticks roll the period amounts to 0.
        c0 = block.read()[0]
        wait_for("two history ticks", lambda: (block.read()[0] - c0) % 256 >= 2, timeout=5)
        _, records = block.read()
        assert all(r[1] == 0 and r[2] == 0 for r in records[1:]), records
        assert records[1][3] == expected[1]

        # Exit clears the period and total amounts; the names stay.
        tray.send_signal(signal.SIGTERM)
        tray.wait(timeout=15)
        _, records = block.read()
        assert all(r[1] == 0 and r[3] == 0 for r in records), records
        assert records[0][0] == "Probe"
        print("ok")
        return 0
    finally:
        if tray and tray.poll() is None:
            tray.kill()
            tray.wait()
        if tray:
            err = tray.stderr.read()
            if err:
                print("VarnoTray stderr:", err)
        if echo and echo.poll() is None:
            echo.kill()
        teardown_network()
        shutil.rmtree(work, ignore_errors=True)


def env_path(work):
    return os.path.join(work, "VarnoTray")


if __name__ == "__main__":
    sys.exit(main())
