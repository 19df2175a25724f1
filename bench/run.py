#!/usr/bin/env python3
"""Throughput benchmarks of Varno (make bench).

Offline, on one generated capture, alternating the commands round after round:
  (a) varno-pcaploop: pcap_next_ex doing nothing, the limit of any counter
      that reads through libpcap;
  (b) varno-replay with the example ranges file (app/VarnoRanges.ini);
  (c) varno-replay with 71 address ranges, every match counted;
  (d) pmacctd reading the same file, bytes per source and destination network
      from a networks file that holds (c)'s address ranges.
Then (b) reading the capture twice in one run, and a capture where nearly
every frame brings a new host the same way: the first pass meets new hosts,
the second known ones, with the peak memory of each.

Live: a veth pair between two network namespaces made for the run;
tcpreplay sends a 1 M-frame capture at full speed into one end while the
counter captures on the other: the real VarnoTray (offscreen), then
varno-livecount (the same capture and counting, with pcap_stats).

Figures are printed, never judged: a slow run or a live counter that falls
behind is reported, not failed. The offline totals are checked (every counter
against the generator's own figures and against each other); a wrong total,
or a live run that lost frames where pcap_stats shows no drop, makes the exit
status 1.

Generated files go to BUILD_DIR/bench-data (reused while their parameters
stay the same); the results table goes to BUILD_DIR/bench-results.md. The
default run takes a few minutes; --frames 20000000 --rounds 3 measures 20 M
frames offline (about 3.5 GB of captures, half an hour).
"""

import argparse
import csv
import ipaddress
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

LOCAL_IP = "192.168.1.10"
ALL_RANGE_NAME = "All TCP and UDP"
LIVE_FRAMES = 1_000_000
PMACCT_START_SLEEP = 2.0  # pmacctd sleeps this long before it reads a savefile
NS_PREFIX = "varno-bench-"

SOURCE_DIR = Path(__file__).resolve().parent.parent
EXAMPLE_RANGES = SOURCE_DIR / "app" / "VarnoRanges.ini"

problems = []  # wrong totals and runs that failed; any of them -> exit 1


def log(text):
    print(text, file=sys.stderr, flush=True)


def problem(text):
    problems.append(text)
    log("PROBLEM: " + text)


def fmt_int(n):
    return "–" if n is None else f"{n:,}"


def fmt_rate(fps):
    if fps is None:
        return "–"
    if fps >= 1e6:
        return f"{fps / 1e6:.2f} M"
    return f"{fps / 1e3:.0f} k"


def fmt_ratio(x):
    return "–" if x is None else f"{x:.2f}"


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


# ---------------------------------------------------------------------------
# Running and timing a command


class Run:
    def __init__(self):
        self.wall = None  # seconds of work (pmacctd: without its start-up sleep)
        self.cpu = None  # user + system seconds, children included
        self.rss_kb = None
        self.stdout = ""
        self.stderr = ""
        self.status = None


def timed(cmd, scratch, pmacct=False, env=None):
    """Runs cmd and measures it: wall time here; CPU time from the rusage that
    wait4 returns (to the microsecond; a child's own children count once it
    has waited for them); peak memory from /usr/bin/time, whose small child
    does not start out with this interpreter's pages as a fork of it would."""
    run = Run()
    rss_path = scratch / "maxrss.txt"
    cmd = ["/usr/bin/time", "-o", str(rss_path), "-f", "%M"] + [str(c) for c in cmd]
    out_path, err_path = scratch / "stdout.txt", scratch / "stderr.txt"
    started = time.perf_counter()
    work_start = None
    if pmacct:
        # pmacctd logs to standard error as it goes; its work starts when its
        # fixed sleep before reading a savefile ends.
        lines = []
        p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
        for line in p.stderr:
            lines.append(line)
            if work_start is None and "sleeping for" in line:
                m = re.search(r"sleeping for (\d+) second", line)
                work_start = time.perf_counter() + (float(m.group(1)) if m else PMACCT_START_SLEEP)
        p.stderr.close()
        run.stderr = "".join(lines)
    else:
        with open(out_path, "w") as out, open(err_path, "w") as err:
            p = subprocess.Popen(cmd, stdout=out, stderr=err, env=env)
    _, status, usage = os.wait4(p.pid, 0)
    ended = time.perf_counter()
    p.returncode = run.status = os.waitstatus_to_exitcode(status)
    if not pmacct:
        run.stdout, run.stderr = out_path.read_text(), err_path.read_text()
    run.wall = ended - (work_start if work_start is not None else started)
    run.cpu = usage.ru_utime + usage.ru_stime
    try:
        run.rss_kb = int(rss_path.read_text().split()[-1])
    except (OSError, ValueError, IndexError):
        run.rss_kb = None
    return run


# ---------------------------------------------------------------------------
# Inputs: captures, ranges, networks


def generate(bin_dir, scratch, frames, addresses, seed):
    """A capture and its generator summary, made once per parameter set."""
    name = f"gen-{frames}f-{addresses}a-s{seed}"
    pcap = scratch / (name + ".pcap")
    info_file = scratch / (name + ".json")
    if pcap.exists() and info_file.exists():
        return pcap, json.loads(info_file.read_text())
    log(f"generating {pcap.name} ...")
    p = subprocess.run(
        [str(bin_dir / "varno-pcapgen"), str(pcap), "--frames", str(frames), "--addresses", str(addresses),
         "--seed", str(seed), "--local-ip", LOCAL_IP],
        capture_output=True, text=True, check=True)
    info = {}
    for line in p.stdout.splitlines():
        key, _, value = line.partition(":")
        info[key.strip()] = int(value)
    info_file.write_text(json.dumps(info))
    return pcap, info


def networks():
    """(c)'s address ranges as networks: the LAN and 34 /6 blocks of the
    Internet, none overlapping, so that a longest-prefix lookup (pmacct) and
    a count of every matching range (Varno) must agree."""
    lan = ipaddress.ip_network(LOCAL_IP + "/24", strict=False)
    nets = [lan] + [ipaddress.ip_network(f"{k * 4}.0.0.0/6") for k in range(1, 35)]
    for a in nets:
        for b in nets:
            assert a is b or not a.overlaps(b)
    return nets


def write_ranges71(path, nets):
    sections = []
    number = 1
    for net in nets:
        span = f"{net.network_address}-{net.broadcast_address}"
        for way in ("out", "in"):
            sections.append(
                f"[Range {number}]\n"
                f"Display Name=Net {net} {way}\n"
                f"Source IPs={span if way == 'out' else '*ANY*'}\n"
                f"Dest IPs={span if way == 'in' else '*ANY*'}\n"
                "Source Ports=*ANY*\nDest Ports=*ANY*\n")
            number += 1
    sections.append(f"[Range {number}]\nDisplay Name={ALL_RANGE_NAME}\n"
                    "Source IPs=*ANY*\nDest IPs=*ANY*\nSource Ports=*ANY*\nDest Ports=*ANY*\n")
    assert number == 71
    path.write_text("; 71 address ranges for the throughput benchmark (bench/run.py)\n\n" + "\n".join(sections))


def write_pmacct_conf(scratch, pcap, nets):
    nets_file = scratch / "pmacct-networks.lst"
    nets_file.write_text("".join(f"{net}\n" for net in nets))
    out_file = scratch / "pmacct-out.csv"
    conf = scratch / "pmacctd.conf"
    conf.write_text(
        "daemonize: false\n"
        f"pcap_savefile: {pcap}\n"
        # Exactly the frames Varno counts: untagged IPv4 carrying TCP or UDP.
        "pcap_filter: ip and (tcp or udp)\n"
        f"networks_file: {nets_file}\n"
        "aggregate: src_net, dst_net\n"
        "plugins: print[nets]\n"
        "print_output[nets]: csv\n"
        f"print_output_file[nets]: {out_file}\n"
        # One purge, at the end of the file.
        "print_refresh_time[nets]: 86400\n"
        # A large pipe between the core and the plugin, filled in large
        # buffers: with the defaults the core mostly waits for the plugin.
        "plugin_pipe_size[nets]: 102400000\n"
        "plugin_buffer_size[nets]: 1024000\n")
    return conf, out_file


# ---------------------------------------------------------------------------
# Checking totals


def replay_json(run, label):
    try:
        return json.loads(run.stdout)
    except ValueError:
        problem(f"{label}: no result (exit {run.status}): {run.stderr.strip()[-300:]}")
        return None


def check_replay(result, info, label, passes=1):
    if result is None:
        return
    frames, counted, counted_bytes = (passes * info[k] for k in ("frames", "counted_frames", "counted_bytes"))
    if result["frames"] != frames:
        problem(f"{label}: read {result['frames']} frames, {passes} x the file holds {frames}")
    if result["ipv4_tcp_udp_frames"] != counted:
        problem(f"{label}: {result['ipv4_tcp_udp_frames']} IPv4 TCP/UDP frames, "
                f"{passes} x the generator wrote {counted}")
    every = [r for r in result["ranges"] if r["name"] == ALL_RANGE_NAME]
    if not every or every[0]["packets"] != counted or every[0]["bytes"] != counted_bytes:
        problem(f"{label}: range '{ALL_RANGE_NAME}' does not hold every IPv4 TCP/UDP frame "
                f"({every[0] if every else 'missing'} vs {counted} / {counted_bytes})")


def pmacct_sums(out_file):
    by_src, by_dst = {}, {}
    packets = octets = 0
    with open(out_file, newline="") as f:
        for row in csv.DictReader(f):
            b, p = int(row["BYTES"]), int(row["PACKETS"])
            by_src[row["SRC_NET"]] = by_src.get(row["SRC_NET"], 0) + b
            by_dst[row["DST_NET"]] = by_dst.get(row["DST_NET"], 0) + b
            packets += p
            octets += b
    return by_src, by_dst, packets, octets


def check_pmacct(out_file, ranges71, info, nets, label):
    """pmacct's per-network sums against (c)'s per-range totals."""
    try:
        by_src, by_dst, packets, octets = pmacct_sums(out_file)
    except (OSError, KeyError, ValueError) as e:
        problem(f"{label}: no usable output ({e})")
        return False
    ok = True
    if packets != info["counted_frames"] or octets != info["counted_bytes"]:
        problem(f"{label}: {packets} packets / {octets} bytes, the file holds "
                f"{info['counted_frames']} / {info['counted_bytes']}")
        ok = False
    if ranges71 is not None:
        by_name = {r["name"]: r["bytes"] for r in ranges71["ranges"]}
        for net in nets:
            key = str(net.network_address)
            for way, sums in (("out", by_src), ("in", by_dst)):
                mine = by_name.get(f"Net {net} {way}")
                theirs = sums.get(key, 0)
                if mine != theirs:
                    problem(f"{label}: {net} {way}: pmacct {theirs} bytes, varno-replay {mine}")
                    ok = False
    return ok


# ---------------------------------------------------------------------------
# Offline benchmark


def hosts_rounds(args, bin_dir, scratch, captures):
    """(b) twice over each capture in one run (varno-replay --passes 2): the
    first pass meets every host, pair and port pair for the first time, the
    second only known ones; speeds as varno-replay measures each pass."""
    runs = {name: [] for name, _, _ in captures}
    for r in range(args.wide_rounds):
        for name, pcap, info in captures:
            run = timed([bin_dir / "varno-replay", pcap, EXAMPLE_RANGES, "--local-ip", LOCAL_IP, "--passes", "2",
                         "--json"], scratch)
            label = f"(b) --passes 2 on {name}, round {r + 1}"
            check_replay(replay_json(run, label), info, label, passes=2)
            fps = {int(m.group(1)): float(m.group(2))
                   for m in re.finditer(r"pass (\d+): \d+ frames in [\d.]+ s \((\d+) frames/s\)", run.stderr)}
            if run.status != 0 or set(fps) != {1, 2}:
                problem(f"{label}: exit status {run.status}, pass speeds {fps}: {run.stderr.strip()[-300:]}")
                continue
            runs[name].append({"first": fps[1], "second": fps[2], "rss_kb": run.rss_kb})
            log(f"  round {r + 1}/{args.wide_rounds} {name}: first pass {fps[1]:12,.0f} frames/s, "
                f"second {fps[2]:12,.0f}, peak {(run.rss_kb or 0) // 1024} MB")
    return {name: {"first": median([x["first"] for x in rs]), "second": median([x["second"] for x in rs]),
                   "rss_kb": max([x["rss_kb"] for x in rs if x["rss_kb"] is not None], default=None),
                   "addresses": info["distinct_ipv4"]}
            for (name, _, info), rs in zip(captures, runs.values())}


def offline(args, bin_dir, scratch, pcap, info, ranges71_file, pmacct_conf, pmacct_out, nets):
    commands = {
        "a": ([bin_dir / "varno-pcaploop", pcap], False),
        "b": ([bin_dir / "varno-replay", pcap, EXAMPLE_RANGES, "--local-ip", LOCAL_IP, "--json"], False),
        "c": ([bin_dir / "varno-replay", pcap, ranges71_file, "--local-ip", LOCAL_IP, "--json"], False),
    }
    if pmacct_conf is not None:
        commands["d"] = (["pmacctd", "-f", pmacct_conf], True)
    keys = list(commands)
    runs = {k: [] for k in keys}
    results = {}
    for r in range(args.rounds):
        order = keys[r % len(keys):] + keys[:r % len(keys)]
        for k in order:
            cmd, is_pmacct = commands[k]
            if is_pmacct and pmacct_out.exists():
                pmacct_out.unlink()
            run = timed(cmd, scratch, pmacct=is_pmacct)
            runs[k].append(run)
            log(f"  round {r + 1}/{args.rounds} ({k}) {info['frames'] / run.wall:12,.0f} frames/s"
                f"  cpu {run.cpu if run.cpu is not None else float('nan'):.2f} s")
            label = f"({k}) round {r + 1}"
            if run.status != 0:
                problem(f"{label}: exit status {run.status}: {run.stderr.strip()[-300:]}")
                continue
            if k == "a":
                m = re.search(r"Frames read: (\d+)", run.stdout)
                if not m or int(m.group(1)) != info["frames"]:
                    problem(f"{label}: read {m.group(1) if m else '?'} frames of {info['frames']}")
            elif k in ("b", "c"):
                result = replay_json(run, label)
                check_replay(result, info, label)
                if result is not None:
                    results.setdefault(k, result)
            elif k == "d":
                check_pmacct(pmacct_out, results.get("c"), info, nets, label)
    return runs, results


def summarize(runs, frames):
    out = {}
    for k, rs in runs.items():
        good = [r for r in rs if r.status == 0]
        out[k] = {
            "fps_wall": median([frames / r.wall for r in good if r.wall]),
            "fps_cpu": median([frames / r.cpu for r in good if r.cpu]),
            "rss_kb": max([r.rss_kb for r in good if r.rss_kb is not None], default=None),
            "runs": len(good),
        }
    return out


# ---------------------------------------------------------------------------
# Live benchmark


def sh(*cmd, check=True, **kw):
    return subprocess.run([str(c) for c in cmd], check=check, capture_output=True, text=True, **kw)


def remove_stale_namespaces():
    """Namespaces left by a run that was killed outright."""
    p = sh("ip", "netns", "list", check=False)
    for line in p.stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        m = re.fullmatch(NS_PREFIX + r"(\d+)-(tx|rx)", name)
        if not m:
            continue
        try:
            os.kill(int(m.group(1)), 0)
            continue  # its run is still going
        except ProcessLookupError:
            pass
        except PermissionError:
            continue
        sh("ip", "netns", "delete", name, check=False)


class VethPair:
    """Two namespaces joined by a veth pair; the receiving end has the
    capture's local address and a default route, so that the tray finds
    LOCAL_IP as its own address there. Frames addressed to other MACs are not
    answered by that namespace's stack (no ARP, no IPv6), so the capture sees
    exactly what tcpreplay sends."""

    def __init__(self):
        tag = str(os.getpid())
        self.ns_tx = f"{NS_PREFIX}{tag}-tx"
        self.ns_rx = f"{NS_PREFIX}{tag}-rx"
        self.if_tx = f"vb{tag}t"
        self.if_rx = f"vb{tag}r"

    def __enter__(self):
        try:
            sh("ip", "netns", "add", self.ns_tx)
            sh("ip", "netns", "add", self.ns_rx)
            sh("ip", "link", "add", self.if_tx, "type", "veth", "peer", "name", self.if_rx)
            sh("ip", "link", "set", self.if_tx, "netns", self.ns_tx)
            sh("ip", "link", "set", self.if_rx, "netns", self.ns_rx)
            for ns in (self.ns_tx, self.ns_rx):
                sh("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                   "net.ipv6.conf.default.disable_ipv6=1")
                sh("ip", "-n", ns, "link", "set", "lo", "up")
            sh("ip", "-n", self.ns_tx, "link", "set", self.if_tx, "up")
            sh("ip", "-n", self.ns_rx, "link", "set", self.if_rx, "address", "02:be:0c:00:00:01")
            sh("ip", "-n", self.ns_rx, "link", "set", self.if_rx, "arp", "off")
            sh("ip", "-n", self.ns_rx, "addr", "add", LOCAL_IP + "/24", "dev", self.if_rx)
            sh("ip", "-n", self.ns_rx, "link", "set", self.if_rx, "up")
            gateway = str(ipaddress.ip_network(LOCAL_IP + "/24", strict=False).network_address + 1)
            sh("ip", "-n", self.ns_rx, "route", "add", "default", "via", gateway, "dev", self.if_rx, "onlink")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        sh("ip", "netns", "delete", self.ns_tx, check=False)
        sh("ip", "netns", "delete", self.ns_rx, check=False)
        # A pair not yet moved into a namespace is still here.
        sh("ip", "link", "delete", self.if_tx, check=False)
        return False

    def rx_packets(self):
        p = sh("ip", "-n", self.ns_rx, "-j", "-s", "link", "show", self.if_rx, check=False)
        try:
            return json.loads(p.stdout)[0]["stats64"]["rx"]["packets"]
        except (ValueError, KeyError, IndexError):
            return None

    def replay(self, pcap):
        p = sh("ip", "netns", "exec", self.ns_tx, "tcpreplay", "-i", self.if_tx, "--topspeed", pcap, check=False)
        text = p.stdout + p.stderr
        out = {"status": p.returncode, "text": text}
        m = re.search(r"Actual: (\d+) packets .* sent in ([\d.]+) seconds", text)
        if m:
            out["sent"], out["seconds"] = int(m.group(1)), float(m.group(2))
        m = re.search(r"Rated: .*?([\d.]+) pps", text)
        if m:
            out["pps"] = float(m.group(1))
        m = re.search(r"Failed packets:\s+(\d+)", text)
        out["failed"] = int(m.group(1)) if m else None
        return out


def read_counters(bin_dir, env, map_name="VarnoTray"):
    p = subprocess.run([str(bin_dir / "varno-counters"), "--json", "--map", map_name], capture_output=True,
                       text=True, env=env)
    if p.returncode != 0:
        return None
    try:
        return {rec["number"]: rec for rec in json.loads(p.stdout)["records"]}
    except (ValueError, KeyError):
        return None


def wait_for(condition, timeout, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    return condition()


def compare_ranges(counted_bytes, expected, counted_packets=None):
    """counted_bytes / counted_packets: {number: amount}; expected: replay JSON."""
    wrong = []
    for r in expected["ranges"]:
        got = counted_bytes.get(r["number"], 0)
        if got != r["bytes"]:
            wrong.append(f"range {r['number']} {got} of {r['bytes']} bytes")
        elif counted_packets is not None and counted_packets.get(r["number"], 0) != r["packets"]:
            wrong.append(f"range {r['number']} {counted_packets.get(r['number'], 0)} of {r['packets']} packets")
    return wrong


TRAY_STATS_LINE = re.compile(r"^Varno Tray: capture stopped: received (\d+), dropped (\d+)$", re.M)


def live_tray(bin_dir, scratch, pair, pcap, expected):
    """The real tray: settings that start monitoring at once on the veth
    end, its own folder (its settings file sits beside the executable) and a
    private runtime folder for its shared block."""
    folder = scratch / "tray"
    shutil.rmtree(folder, ignore_errors=True)
    (folder / "run").mkdir(parents=True)
    os.chmod(folder / "run", 0o700)
    tray = folder / "VarnoTray"
    shutil.copy2(bin_dir / "VarnoTray", tray)
    shutil.copy2(EXAMPLE_RANGES, folder / "VarnoRanges.ini")
    adapters = sh("ip", "netns", "exec", pair.ns_rx, bin_dir / "varno-adapters").stdout
    index = next((line.split("\t")[0] for line in adapters.splitlines()
                  if len(line.split("\t")) > 1 and line.split("\t")[1] == pair.if_rx), None)
    if index is None:
        problem(f"live tray: {pair.if_rx} is not among the capture adapters")
        return None
    (folder / "VarnoTray.ini").write_text(
        f"[Settings]\nAdaptor Index={index}\nStart Connected=1\nAllow Ranges File={folder / 'VarnoRanges.ini'}\n")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=str(folder / "run"))
    for key in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(key, None)

    result = {"counter": "VarnoTray"}
    rx_before = pair.rx_packets()
    with open(folder / "tray.log", "w") as tray_log:
        proc = subprocess.Popen(["ip", "netns", "exec", pair.ns_rx, str(tray)], env=env, stdout=tray_log,
                                stderr=subprocess.STDOUT)
        try:
            def capturing():
                if proc.poll() is not None:
                    return "ended"
                counters = read_counters(bin_dir, env)
                if not counters or not counters.get(1, {}).get("name"):
                    return None
                sockets = sh("ip", "netns", "exec", pair.ns_rx, "ss", "-0", "-n", "-p", check=False).stdout
                return "ok" if f"pid={proc.pid}," in sockets else None

            state = wait_for(capturing, 20)
            if state != "ok":
                problem(f"live tray: monitoring did not start ({state}); see {folder / 'tray.log'}")
                return None
            started = time.monotonic()
            replay = pair.replay(pcap)
            result["replay"] = replay

            # The tray may still be working through what the kernel holds:
            # wait until every total is right, or nothing moves for 2 s.
            want = {r["number"]: r["bytes"] for r in expected["ranges"]}
            last, last_change = None, time.monotonic()
            deadline = time.monotonic() + 300
            while time.monotonic() < deadline:
                counters = read_counters(bin_dir, env)
                now = {n: rec["total_amount"] for n, rec in (counters or {}).items() if n in want}
                if now == want:
                    break
                if now != last:
                    last, last_change = now, time.monotonic()
                elif time.monotonic() - last_change > 2.0:
                    break
                time.sleep(0.1)
            result["settled_s"] = time.monotonic() - started
            counters = read_counters(bin_dir, env) or {}
            counted = {n: rec["total_amount"] for n, rec in counters.items()}
            result["wrong"] = compare_ranges(counted, expected)
            every = next(r for r in expected["ranges"] if r["name"] == ALL_RANGE_NAME)
            result["counted_share"] = counted.get(every["number"], 0) / every["bytes"] if every["bytes"] else None
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
    result["rx"] = (pair.rx_packets() or 0) - (rx_before or 0)
    # At Stop (here: SIGTERM, which exits as Exit does) the tray prints
    # libpcap's figures of the capture on standard error.
    m = TRAY_STATS_LINE.search((folder / "tray.log").read_text(errors="replace"))
    if m:
        result.update(received=int(m.group(1)), dropped=int(m.group(2)))
    else:
        problem(f"live tray: no capture figures in {folder / 'tray.log'}")
    return result


def live_driver(bin_dir, scratch, pair, pcap, expected, frames):
    folder = scratch / "livecount"
    shutil.rmtree(folder, ignore_errors=True)
    (folder / "run").mkdir(parents=True)
    os.chmod(folder / "run", 0o700)
    env = dict(os.environ, XDG_RUNTIME_DIR=str(folder / "run"))
    cmd = ["ip", "netns", "exec", pair.ns_rx, str(bin_dir / "varno-livecount"), pair.if_rx, str(EXAMPLE_RANGES),
           "--local-ip", LOCAL_IP, "--nodes", str(folder / "Nodes.ini"), "--frames", str(frames),
           "--idle-ms", "2000", "--timeout-ms", "600000"]
    result = {"counter": "varno-livecount"}
    rx_before = pair.rx_packets()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if proc.stdout.readline().strip() != "ready":
            proc.wait(timeout=10)
            problem(f"live varno-livecount: the capture did not open: {proc.stderr.read().strip()}")
            return None
        result["replay"] = pair.replay(pcap)
        out, err = proc.communicate(timeout=660)
    except BaseException:
        proc.kill()
        proc.wait()
        raise
    result["rx"] = (pair.rx_packets() or 0) - (rx_before or 0)
    try:
        stats = json.loads(out)
    except ValueError:
        problem(f"live varno-livecount: no result (exit {proc.returncode}): {err.strip()[-300:]}")
        return None
    result.update(received=stats["received"], dropped=stats["dropped"], delivered=stats["delivered"],
                  handled_s=stats["seconds"])
    counted = {r["number"]: r["bytes"] for r in stats["ranges"]}
    packets = {r["number"]: r["packets"] for r in stats["ranges"]}
    result["wrong"] = compare_ranges(counted, expected, packets)
    every = next(r for r in expected["ranges"] if r["name"] == ALL_RANGE_NAME)
    result["counted_share"] = counted.get(every["number"], 0) / every["bytes"] if every["bytes"] else None
    return result


def live(args, bin_dir, scratch, pcap, expected):
    remove_stale_namespaces()
    results = []
    with VethPair() as pair:
        for r in range(args.live_rounds):
            for run in (live_tray, live_driver):
                if run is live_tray and not (bin_dir / "VarnoTray").exists():
                    continue
                res = (run(bin_dir, scratch, pair, pcap, expected) if run is live_tray
                       else run(bin_dir, scratch, pair, pcap, expected, LIVE_FRAMES))
                if res is None:
                    continue
                rep = res.get("replay", {})
                if rep.get("sent") != LIVE_FRAMES or rep.get("failed"):
                    problem(f"live: tcpreplay sent {rep.get('sent')} frames, {rep.get('failed')} failed")
                if res["rx"] != LIVE_FRAMES:
                    problem(f"live: the capture's end of the veth pair received {res['rx']} frames, "
                            f"not {LIVE_FRAMES}")
                # Frames the kernel dropped are what this benchmark measures;
                # wrong totals without a drop would be a counting fault.
                if res.get("dropped") == 0 and res["wrong"]:
                    problem(f"live {res['counter']}: nothing dropped, yet " + "; ".join(res["wrong"][:3]))
                log(f"  live round {r + 1}/{args.live_rounds} {res['counter']}: tcpreplay "
                    f"{rep.get('pps', 0):,.0f} pps, received {fmt_int(res.get('received'))}, dropped "
                    f"{fmt_int(res.get('dropped'))}, counted {100 * (res.get('counted_share') or 0):.1f} % "
                    f"of the bytes, totals {'equal' if not res['wrong'] else 'DIFFERENT'}")
                results.append(res)
    return results


# ---------------------------------------------------------------------------
# Report


def machine_line():
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    rev = subprocess.run(["git", "-C", str(SOURCE_DIR), "describe", "--always", "--dirty"], capture_output=True,
                         text=True).stdout.strip() or "unknown"
    return f"{cpu}, {os.cpu_count()} cores, Linux {os.uname().release}, commit {rev}"


def report(args, info, off, hosts, live_results, load_before, load_after, skipped):
    lines = []
    add = lines.append
    add("### Throughput")
    add("")
    add(f"{machine_line()}; load average {load_before:.1f} before, {load_after:.1f} after.")
    add(f"Capture: {info['frames']:,} generated frames of 60–80 bytes "
        f"({info['counted_frames']:,} IPv4 TCP/UDP, the rest ARP, IPv6, ICMP), "
        f"{info['distinct_ipv4']:,} distinct addresses; medians of {args.rounds} rounds that alternate the "
        "commands. Frames/s is frames over wall time (pmacctd: without its fixed 2 s start-up sleep); "
        "per CPU-second counts user + system time of all processes.")
    add("")
    add("| Counter | Frames/s | Frames per CPU-second | Peak RSS |")
    add("|---|---:|---:|---:|")
    names = {
        "a": "(a) bare `pcap_next_ex` loop",
        "b": "(b) varno-replay, example ranges (10)",
        "c": "(c) varno-replay, 71 ranges, all matches",
        "d": "(d) pmacctd 1.7.7, bytes per src/dst net",
    }
    for k in ("a", "b", "c", "d"):
        if k not in off:
            continue
        s = off[k]
        add(f"| {names[k]} | {fmt_rate(s['fps_wall'])} | {fmt_rate(s['fps_cpu'])} | "
            f"{fmt_int(s['rss_kb'] // 1024) if s['rss_kb'] else '–'} MB |")
    add("")

    def ratio(x, y, field):
        if x in off and y in off and off[x][field] and off[y][field]:
            return off[x][field] / off[y][field]
        return None

    add("| Ratio | wall | CPU | target |")
    add("|---|---:|---:|---:|")
    for x, y, target in (("b", "a", "≥ 0.5"), ("c", "a", ""), ("c", "d", "≥ 10")):
        add(f"| {x}/{y} | {fmt_ratio(ratio(x, y, 'fps_wall'))} | {fmt_ratio(ratio(x, y, 'fps_cpu'))} | {target} |")
    add("")

    if hosts:
        few, many = hosts["few"], hosts["many"]
        add(f"Hosts: (b) reading each capture twice in one run (`varno-replay --passes 2`), medians of "
            f"{args.wide_rounds} rounds; frames/s of each pass as varno-replay measures it. In the first pass "
            f"of the {many['addresses']:,}-address capture nearly every frame brings a new host and host pair; "
            "the second pass meets only known ones.")
        add("")
        add("| Capture | First pass (new hosts) | Second pass (known hosts) | Peak RSS |")
        add("|---|---:|---:|---:|")
        for s in (few, many):
            add(f"| {s['addresses']:,} distinct addresses | {fmt_rate(s['first'])} | {fmt_rate(s['second'])} | "
                f"{fmt_int(s['rss_kb'] // 1024) if s['rss_kb'] else '–'} MB |")

        def share(field):
            return fmt_ratio(many[field] / few[field]) if many[field] and few[field] else "–"

        add(f"| ratio {many['addresses']:,} / {few['addresses']:,} | {share('first')} | {share('second')} | |")
        add("")

    if live_results:
        rounds = max(sum(1 for r in live_results if r["counter"] == c) for c in {r["counter"] for r in live_results})
        add(f"Live, medians of {rounds} runs each: veth pair between two network namespaces, tcpreplay "
            f"`--topspeed` sending the {LIVE_FRAMES:,}-frame capture into one end, the counter capturing on the "
            "other with the example ranges. Received and dropped: pcap_stats (the tray prints them when it stops). "
            "Handled: frames per second from the first to the last frame the counter handled. Counted: share "
            "of the expected bytes in range \"All TCP and UDP\". Equal: runs in which every range's total "
            "equals varno-replay's on the same file.")
        add("")
        add("| Counter | tcpreplay rate | pcap received | pcap dropped | handled | counted | equal |")
        add("|---|---:|---:|---:|---:|---:|---:|")
        for counter in ("VarnoTray", "varno-livecount"):
            rs = [r for r in live_results if r["counter"] == counter]
            if not rs:
                continue

            def med(key):
                v = median([r.get(key) for r in rs])
                return None if v is None else round(v)

            handled = median([r["delivered"] / r["handled_s"] for r in rs if r.get("handled_s")])
            share = median([r.get("counted_share") for r in rs])
            add(f"| {counter} | {fmt_int(round(median([r.get('replay', {}).get('pps') for r in rs]) or 0))} pps | "
                f"{fmt_int(med('received'))} | {dropped_text(rs, med('dropped'))} | "
                f"{fmt_int(round(handled)) + ' /s' if handled else '–'} | "
                f"{100 * (share or 0):.1f} % | {sum(1 for r in rs if not r['wrong'])} of {len(rs)} |")
        add("")
    for note in skipped:
        add(f"Not run: {note}")
    add("Reproduce: `make bench` (options: `make bench BENCH_ARGS=\"--frames 20000000 --rounds 3\"`).")
    return "\n".join(lines) + "\n"


def dropped_text(runs, middle):
    """The median drop count, and the worst run's when it differs: a single
    run that fell behind must show."""
    worst = max((r.get("dropped") for r in runs if r.get("dropped") is not None), default=None)
    text = fmt_int(middle)
    return text if worst is None or worst == middle else f"{text} (worst {fmt_int(worst)})"


def load_average():
    return os.getloadavg()[0]


def main():
    parser = argparse.ArgumentParser(description="Varno throughput benchmarks (make bench).")
    parser.add_argument("--build-dir", default="build", help="the CMake build folder (build)")
    parser.add_argument("--frames", type=int, default=1_000_000, help="frames of the offline captures (1000000)")
    parser.add_argument("--rounds", type=int, default=7, help="alternating rounds offline (7)")
    parser.add_argument("--wide-rounds", type=int, default=3, help="rounds of the two-pass runs on the few- and many-address captures (3)")
    parser.add_argument("--live-rounds", type=int, default=3, help="rounds of each live counter (3)")
    parser.add_argument("--no-live", action="store_true", help="skip the live benchmark")
    parser.add_argument("--no-wide", action="store_true", help="skip the two-pass runs")
    args = parser.parse_args()
    if args.frames < 1 or args.rounds < 1:
        parser.error("--frames and --rounds must be positive")

    build = Path(args.build_dir).resolve()
    bin_dir = build / "bin"
    scratch = build / "bench-data"
    scratch.mkdir(parents=True, exist_ok=True)
    if not Path("/usr/bin/time").exists():
        sys.exit("/usr/bin/time is missing: sh scripts/install-deps.sh bench")
    for tool in ("varno-pcapgen", "varno-pcaploop", "varno-replay", "varno-livecount", "varno-counters",
                 "varno-adapters"):
        if not (bin_dir / tool).exists():
            sys.exit(f"{bin_dir / tool} is missing: build first (make build)")

    skipped = []
    load_before = load_average()
    nets = networks()
    pcap, info = generate(bin_dir, scratch, args.frames, 1000, 1)
    ranges71 = scratch / "ranges71.ini"
    write_ranges71(ranges71, nets)
    pmacct_conf = pmacct_out = None
    if shutil.which("pmacctd"):
        pmacct_conf, pmacct_out = write_pmacct_conf(scratch, pcap, nets)
    else:
        skipped.append("(d) pmacctd is not installed (sh scripts/install-deps.sh bench).")

    log(f"offline: {pcap.name}, {args.rounds} rounds")
    runs, results = offline(args, bin_dir, scratch, pcap, info, ranges71, pmacct_conf, pmacct_out, nets)
    off = summarize(runs, info["frames"])

    hosts = None
    if not args.no_wide:
        wide_pcap, wide_info = generate(bin_dir, scratch, args.frames, min(args.frames, 1_000_000), 2)
        log(f"hosts: {pcap.name} and {wide_pcap.name}, {args.wide_rounds} rounds of (b) with two passes")
        hosts = hosts_rounds(args, bin_dir, scratch, [("few", pcap, info), ("many", wide_pcap, wide_info)])

    live_results = []
    if args.no_live:
        skipped.append("live benchmark (--no-live).")
    elif os.geteuid() != 0:
        skipped.append("live benchmark: needs root for network namespaces.")
    elif not shutil.which("tcpreplay") or not shutil.which("ip"):
        skipped.append("live benchmark: tcpreplay or ip missing (sh scripts/install-deps.sh bench).")
    else:
        live_pcap, live_info = (pcap, info) if args.frames == LIVE_FRAMES else generate(
            bin_dir, scratch, LIVE_FRAMES, 1000, 1)
        expected = results.get("b") if live_pcap == pcap else None
        if expected is None:
            run = timed([bin_dir / "varno-replay", live_pcap, EXAMPLE_RANGES, "--local-ip", LOCAL_IP, "--json"],
                        scratch)
            expected = replay_json(run, "(b) on the live capture")
            check_replay(expected, live_info, "(b) on the live capture")
        if expected is None:
            skipped.append("live benchmark: no expected totals.")
        else:
            log(f"live: {live_pcap.name}, {args.live_rounds} rounds")
            live_results = live(args, bin_dir, scratch, live_pcap, expected)

    text = report(args, info, off, hosts, live_results, load_before, load_average(), skipped)
    (build / "bench-results.md").write_text(text)
    print()
    print(text)
    print(f"(written to {build / 'bench-results.md'})")
    if problems:
        print("\nProblems:\n" + "\n".join("- " + p for p in problems))
        return 1
    return 0


def on_terminate(signum, frame):
    raise KeyboardInterrupt


if __name__ == "__main__":
    # A termination signal ends the run through the same clean-up as Ctrl-C.
    signal.signal(signal.SIGTERM, on_terminate)
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
