#!/usr/bin/env python3
"""A reader of the Varno Tray counters block written from its published layout
alone, with nothing but the standard library: what a user's own script does.

  reader.py read NAME            print the block once
  reader.py hold NAME            hold the block, print "held", wait for a line
                                 on stdin, then print the block
  reader.py lockhold NAME SECS   take the lock, print "locked", keep it SECS
                                 seconds, exit

Printed block:  "change_count N", then for every record whose name length is
not 0 "record INDEX LENGTH NAMEHEX PERIOD LAST TOTAL", then "spare_zero 0|1".
"""

import fcntl
import mmap
import os
import struct
import sys
import time

MAP_SIZE = 4096
RECORD_COUNT = 71
RECORD = struct.Struct("<B32sqqq")  # name length, name bytes, period, last period, total
assert RECORD.size == 57


def directory():
    return os.environ.get("XDG_RUNTIME_DIR") or "/dev/shm"


def open_block(name):
    """Opens the block and shows that this process holds it (shared flock)."""
    fd = os.open(os.path.join(directory(), name), os.O_RDONLY | os.O_NOFOLLOW)
    fcntl.flock(fd, fcntl.LOCK_SH)
    return fd, mmap.mmap(fd, MAP_SIZE, prot=mmap.PROT_READ)


def take_lock(name, timeout=10.0):
    fd = os.open(os.path.join(directory(), "LOCK" + name), os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
    deadline = time.monotonic() + timeout
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return fd
        except BlockingIOError:
            if time.monotonic() >= deadline:
                os.close(fd)
                raise
            time.sleep(0.01)


def print_block(name, view):
    lock = take_lock(name)
    try:
        data = bytes(view[:MAP_SIZE])  # copy under the lock, decode after
    finally:
        fcntl.flock(lock, fcntl.LOCK_UN)
        os.close(lock)
    print("change_count", data[0])
    for k in range(RECORD_COUNT):
        length, raw, period, last, total = RECORD.unpack_from(data, 1 + 57 * k)
        if length:
            print("record", k, length, raw[: min(length, 32)].hex() or "-", period, last, total)
    print("spare_zero", int(data[1 + 57 * RECORD_COUNT :] == bytes(48)))
    sys.stdout.flush()


def main(argv):
    if len(argv) >= 3 and argv[1] == "read":
        fd, view = open_block(argv[2])
        print_block(argv[2], view)
    elif len(argv) >= 3 and argv[1] == "hold":
        fd, view = open_block(argv[2])
        print("held", flush=True)
        sys.stdin.readline()
        print_block(argv[2], view)
    elif len(argv) >= 4 and argv[1] == "lockhold":
        take_lock(argv[2])
        print("locked", flush=True)
        time.sleep(float(argv[3]))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
