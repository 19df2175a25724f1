#!/usr/bin/env python3
"""VarnoTray as a real process, in a network namespace of its own with a
private runtime folder.

1. SIGINT, SIGTERM and SIGHUP end it as Exit does: exit status 0, the
   capture's figures on standard error, the dump file gone, the period and
   total amounts cleared (seen by a reader that holds the block) or, with no
   reader, the block removed; the lock file stays (it is never removed) and
   is free.
2. A settings file that its user cannot read is reported, left untouched, and
   the tray goes on running idle until it is ended.

Usage: tray_process.py BIN_DIR        (as root; exit 77 = skipped)
"""

import fcntl
import mmap
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

from waiting import wait_for

BIN = os.path.abspath(sys.argv[1])
TAG = str(os.getpid())
MAP = "VarnoTray"
DUMP = "temp.$$$"
RECORD = struct.Struct("<B32sqqq")
NOBODY = 65534
STATS_LINE = re.compile(r"^Varno Tray: capture stopped: received (\d+), dropped (\d+)$", re.M)


def run(*cmd, check=True, **kw):
    return subprocess.run(cmd, check=check, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


class Namespace:
    def __init__(self, name):
        self.name = name

    def __enter__(self):
        run("ip", "netns", "add", self.name)
        run(*self.cmd("ip", "link", "set", "lo", "up"))
        return self

    def __exit__(self, *exc):
        run("ip", "netns", "del", self.name, check=False)

    def cmd(self, *args):
        return ["ip", "netns", "exec", self.name, *args]


class Block:
    """The shared block, held (shared flock) like any reader does."""

    def __init__(self, rundir):
        self.rundir = rundir
        self.fd = os.open(os.path.join(rundir, MAP), os.O_RDONLY | os.O_NOFOLLOW)
        fcntl.flock(self.fd, fcntl.LOCK_SH)
        self.view = mmap.mmap(self.fd, 4096, prot=mmap.PROT_READ)

    def record(self, k):
        lock = os.open(os.path.join(self.rundir, "LOCK" + MAP), os.O_RDWR | os.O_NOFOLLOW)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            data = bytes(self.view[:4096])
        finally:
            os.close(lock)
        n, name, period, last, total = RECORD.unpack_from(data, 1 + 57 * k)
        return name[:n].decode(), period, last, total

    def close(self):
        self.view.close()
        os.close(self.fd)


class Tray:
    """A copy of VarnoTray in a folder of its own (its settings sit beside
    it), running in the namespace with its own runtime folder."""

    def __init__(self, work, ns, settings, user=None, settings_mode=0o644):
        self.folder = os.path.join(work, "tray")
        self.rundir = os.path.join(work, "run")
        for d in (self.folder, self.rundir):
            shutil.rmtree(d, ignore_errors=True)
            os.mkdir(d)
        os.chmod(self.folder, 0o755)
        os.chmod(self.rundir, 0o700)
        if user is not None:
            os.chown(self.rundir, user, user)
        shutil.copy(os.path.join(BIN, "VarnoTray"), self.folder)
        with open(os.path.join(self.folder, "VarnoRanges.ini"), "w") as f:
            f.write("[Range 1]\nDisplay Name=All UDP and TCP\nSource IPs=*ANY*\nDest IPs=*ANY*\n"
                    "Source Ports=*ANY*\nDest Ports=*ANY*\n")
        self.settings = os.path.join(self.folder, "VarnoTray.ini")
        with open(self.settings, "w") as f:
            f.write(settings)
        os.chmod(self.settings, settings_mode)
        self.errfile = os.path.join(work, "tray.err")
        env = dict(os.environ, XDG_RUNTIME_DIR=self.rundir, QT_QPA_PLATFORM="offscreen")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        program = [os.path.join(self.folder, "VarnoTray")]
        if user is not None:
            # Into the namespace as root, then the user's rights only.
            program = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *program]
        with open(self.errfile, "w") as err:
            self.proc = subprocess.Popen(ns.cmd(*program), env=env, stdout=subprocess.DEVNULL, stderr=err)

    @property
    def stderr(self):
        with open(self.errfile, errors="replace") as f:
            return f.read()

    def path(self, name):
        return os.path.join(self.rundir, name)

    def end(self, sig, timeout=15):
        self.proc.send_signal(sig)
        return self.proc.wait(timeout=timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def lo_index(ns):
    for line in run(*ns.cmd(os.path.join(BIN, "varno-adapters"))).stdout.splitlines():
        fields = line.split("\t")
        if fields[1:2] == ["lo"]:
            return int(fields[0])
    raise AssertionError("lo is not among the adapters")


def send_udp(ns, count):
    run(*ns.cmd(sys.executable, "-c",
                "import socket\ns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                f"for i in range({count}):\n    s.sendto(b'x' * 100, ('127.0.0.1', 9))\n"))


def lock_is_free(path):
    fd = os.open(path, os.O_RDWR | os.O_NOFOLLOW)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False
    finally:
        os.close(fd)


def signal_ends_as_exit(work, ns, sig, hold_block):
    what = f"{signal.Signals(sig).name}, block {'held by a reader' if hold_block else 'not held'}"
    tray = Tray(work, ns, f"[Settings]\nAdaptor Index={lo_index(ns)}\nStart Connected=1\n")
    block = None
    try:
        # Monitoring: the dump file exists while the capture runs.
        wait_for("the dump file", lambda: os.path.exists(tray.path(DUMP)) or tray.proc.poll() is not None)
        assert tray.proc.poll() is None, f"{what}: the tray ended early: {tray.stderr}"
        sent = 0
        if hold_block:
            block = Block(tray.rundir)

            def counted():
                nonlocal sent
                send_udp(ns, 5)
                sent += 5
                return block.record(0)[3] > 0
            wait_for("traffic to be counted", counted)
            assert block.record(0)[0] == "All UDP and TCP"
        else:
            send_udp(ns, 5)
            sent = 5

        status = tray.end(sig)
        assert status == 0, f"{what}: exit status {status}; stderr: {tray.stderr}"
        figures = STATS_LINE.findall(tray.stderr)
        assert len(figures) == 1, f"{what}: capture figures on stderr: {tray.stderr!r}"
        if hold_block:
            # The reader's traffic went past the capture before the signal.
            assert int(figures[0][0]) >= 1, f"{what}: {figures}"
        assert not os.path.exists(tray.path(DUMP)), f"{what}: the dump file is left"
        assert lock_is_free(tray.path("LOCK" + MAP)), f"{what}: the lock is still held"
        if hold_block:
            name, period, last, total = block.record(0)
            assert (name, period, total) == ("All UDP and TCP", 0, 0), f"{what}: {name!r} {period} {total}"
        else:
            assert not os.path.exists(tray.path(MAP)), f"{what}: the block is left"
        left = sorted(set(os.listdir(tray.rundir)) - {"LOCK" + MAP, MAP})
        assert not left, f"{what}: left in the runtime folder: {left}"
        print(f"ok: {what}: received {figures[0][0]}, dropped {figures[0][1]} after {sent} datagrams")
    finally:
        if block:
            block.close()
        tray.kill()


def unreadable_settings_are_reported(work, ns):
    # Owned by root, mode 0600: the tray's user cannot read it.
    settings = f"[Settings]\nAdaptor Index={lo_index(ns)}\nStart Connected=1\n; kept as it is\n"
    tray = Tray(work, ns, settings, user=NOBODY, settings_mode=0o600)
    try:
        expected = f"Unable to read {tray.settings}: Permission denied"
        # The report goes to standard error without a display.
        wait_for("the report", lambda: expected in tray.stderr or tray.proc.poll() is not None)
        assert tray.proc.poll() is None, f"the tray ended: {tray.stderr}"
        assert tray.stderr.count(expected) == 1, tray.stderr
        assert not os.path.exists(tray.path(DUMP)), "monitoring started without its settings"
        status = tray.end(signal.SIGTERM)
        assert status == 0, f"exit status {status}: {tray.stderr}"
        assert not STATS_LINE.search(tray.stderr), "figures of a capture that never ran"
        with open(tray.settings) as f:
            assert f.read() == settings
        print("ok: an unreadable settings file is reported and kept")
    finally:
        tray.kill()


def main():
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        return 77
    work = tempfile.mkdtemp(prefix="varno-tray-")
    os.chmod(work, 0o755)
    try:
        with Namespace("varno-tray-" + TAG) as ns:
            for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                for hold in (True, False):
                    signal_ends_as_exit(work, ns, sig, hold)
            unreadable_settings_are_reported(work, ns)
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
