"""Polling for the tray's process tests: its state shows up only outside it
(files, the shared block, X windows), so the tests wait for conditions."""

import time


def wait_for(what, predicate, timeout=20.0, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out waiting for " + what)
