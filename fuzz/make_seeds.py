#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds come from the test data files, a few frames cut from the real captures
(first frame of each kind, cut to 96 bytes) and hand-built NetBIOS node
status answers. Run again after the test data change; the seeds are small
and kept in the repository.
"""
import configparser
import os
import shutil
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TESTDATA = os.path.join(os.path.dirname(ROOT), "shared", "testdata", "pcaps")
CORPUS = os.path.join(HERE, "corpus")
FRAME_BYTES = 96


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def data_files(subdirs, suffix):
    out = []
    for sub in subdirs:
        folder = os.path.join(ROOT, "tests", sub, "data")
        if os.path.isdir(folder):
            out += sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(suffix))
    return out


def pcap_frames(path):
    with open(path, "rb") as f:
        data = f.read()
    magic = struct.unpack_from("<I", data)[0]
    if magic not in (0xA1B2C3D4, 0xA1B23C4D):
        return
    at = 24
    while at + 16 <= len(data):
        _, _, caplen, _ = struct.unpack_from("<IIII", data, at)
        at += 16
        if at + caplen > len(data):
            return
        yield data[at:at + caplen]
        at += caplen


def frame_kind(frame):
    """A short name for what the frame is, as the counter sees it."""
    if len(frame) < 14:
        return "short"
    ethertype = struct.unpack_from(">H", frame, 12)[0]
    if ethertype != 0x0800 or len(frame) < 34:
        return "ethertype-%04x" % ethertype
    proto = frame[23]
    fragment = struct.unpack_from(">H", frame, 20)[0] & 0x1FFF
    return "ipv4-proto%d%s%s" % (proto, "-frag" if fragment else "", "-opts" if frame[14] & 0x0F != 5 else "")


def framed(frame):
    """A frame as the frame target reads it: captured length, then the bytes."""
    return struct.pack(">H", len(frame)) + frame


def frame_seeds():
    for name in ("m57-day11-18-10k.pcap", "afs-udp-fragments.pcap", "syslog-vlan-pppoe-6in4.pcap"):
        path = os.path.join(TESTDATA, name)
        if not os.path.exists(path):
            print("missing %s: no frames from it" % path, file=sys.stderr)
            continue
        seen = set()
        first = []
        for frame in pcap_frames(path):
            if len(first) < 12:
                first.append(frame[:FRAME_BYTES])
            kind = frame_kind(frame)
            if kind in seen:
                continue
            seen.add(kind)
            switches = len(seen) % 8  # data handlers, all ranges, ageing
            write("fuzz_frame", "%s-%s" % (name.split("-")[0], kind), bytes([switches]) + framed(frame[:FRAME_BYTES]))
        # The first frames of the capture in one input, routes aged after each.
        write("fuzz_frame", "%s-first-frames" % name.split("-")[0], bytes([5]) + b"".join(framed(f) for f in first))


PACKETS = [
    "192.168.1.104 192.168.1.1 1024 80",
    "10.0.0.1 192.168.1.104 53 40000",
    "010.000.000.001 255.255.255.255 0 65535",
    "1.2.3 x -1 70000",
]


def allow_range_seeds():
    files = data_files(["ranges", "component"], ".ini") + [os.path.join(HERE, "ranges.ini")]
    for path in files:
        ini = configparser.RawConfigParser(strict=False, interpolation=None)
        ini.optionxform = str
        try:
            ini.read(path, encoding="latin-1")
        except configparser.Error:
            continue
        for section in ini.sections():
            if not section.lower().startswith("range"):
                continue
            s = ini[section]
            lines = ["192.168.1.104"] + [s.get(k, "") for k in ("Source IPs", "Dest IPs", "Source Ports",
                                                                   "Dest Ports")] + PACKETS
            text = "\n".join(lines) + "\n"
            name = "%s-%s" % (os.path.basename(path)[:-4], section.replace(" ", ""))
            write("fuzz_allow_range", name, text.encode("latin-1"))


def copy_seeds(target, paths):
    for path in paths:
        shutil.copyfile(path, os.path.join(CORPUS, target, os.path.basename(path)))


def encoded_name(name, suffix):
    raw = name.ljust(15).encode("latin-1")[:15] + bytes([suffix])
    return bytes([32]) + bytes(b for c in raw for b in (ord("A") + (c >> 4), ord("A") + (c & 15))) + b"\0"


def node_status(tid, names, mac=b"\x00\x0c\x29\x3a\x5b\x7c", flags=0x8400, question=False, pointer=False):
    header = struct.pack(">HHHHHH", tid, flags, 1 if question else 0, 1, 0, 0)
    body = b""
    if question:
        body += encoded_name("*", 0) + struct.pack(">HH", 0x21, 1)
    rdata = bytes([len(names)])
    for n, suffix, nflags in names:
        rdata += n.ljust(15).encode("latin-1")[:15] + bytes([suffix]) + struct.pack(">H", nflags)
    rdata += mac + bytes(40)
    answer_name = b"\xc0\x0c" if pointer else encoded_name("*", 0)
    return header + body + answer_name + struct.pack(">HHIH", 0x21, 1, 0, len(rdata)) + rdata


def node_status_seeds():
    names = [("WKSTN51", 0x00, 0x0400), ("WORKGROUP", 0x00, 0x8400), ("WKSTN51", 0x20, 0x0400)]
    write("fuzz_node_status", "three-names", node_status(0x1234, names))
    write("fuzz_node_status", "with-question", node_status(0x0102, names[:1], question=True))
    write("fuzz_node_status", "pointer-name", node_status(0xBEEF, names[1:], question=True, pointer=True))
    write("fuzz_node_status", "no-names", node_status(0x0001, []))
    write("fuzz_node_status", "odd-names", node_status(0x4242, [("  ", 0, 0), ("------", 0x1B, 0x0800),
                                                                ("mac address =", 0x03, 0x1000),
                                                                ("A B\tC\x7f", 0x1D, 0x8000)]))
    write("fuzz_node_status", "negative", node_status(0x1234, names, flags=0x8403))


def main():
    if os.path.isdir(CORPUS):
        shutil.rmtree(CORPUS)
    frame_seeds()
    allow_range_seeds()
    os.makedirs(os.path.join(CORPUS, "fuzz_ini"), exist_ok=True)
    copy_seeds("fuzz_ini", data_files(["ranges", "component", "platform"], ".ini") + [os.path.join(HERE, "ranges.ini")])
    os.makedirs(os.path.join(CORPUS, "fuzz_name_output"), exist_ok=True)
    copy_seeds("fuzz_name_output", data_files(["namequery"], ".txt"))
    node_status_seeds()
    for target in sorted(os.listdir(CORPUS)):
        folder = os.path.join(CORPUS, target)
        files = os.listdir(folder)
        size = sum(os.path.getsize(os.path.join(folder, f)) for f in files)
        print("%-18s %3d seeds, %5d bytes" % (target, len(files), size))


if __name__ == "__main__":
    main()
