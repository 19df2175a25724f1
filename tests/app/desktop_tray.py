#!/usr/bin/env python3
"""A real desktop: VarnoTray under Xvfb with a real XEmbed tray host (trayer).

The icon appears in the tray; a right-click opens the menu (driven with
xdotool); the menu's enabled items follow Start and Stop, seen through what
clicking them does to the shared block: a disabled Stop does nothing, Start
loads the ranges (names in the block, one batch), Stop clears (one batch).
Screenshots of the open menu are kept in ARTIFACT_DIR.

Usage: desktop_tray.py BIN_DIR ARTIFACT_DIR     (exit 77 = skipped)
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from waiting import wait_for

BIN = os.path.abspath(sys.argv[1])
ARTIFACTS = os.path.abspath(sys.argv[2])


def xdo(env, *args, check=True):
    return subprocess.run(["xdotool", *args], env=env, check=check, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout


def geometry(env, window):
    values = {}
    for line in xdo(env, "getwindowgeometry", "--shell", window).splitlines():
        key, _, value = line.partition("=")
        values[key] = int(value)
    return values


def popup(env):
    """The open menu: a top-level window of the program, taller than an icon."""
    tree = subprocess.run(["xwininfo", "-root", "-children"], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout
    for line in tree.splitlines():
        if '("VarnoTray" ' not in line:
            continue
        # ... ("VarnoTray" "Varno Tray")  149x138+651+16  +651+16
        size, _, pos = line.split(")")[-1].split()[0].partition("+")
        width, height = map(int, size.split("x"))
        x, y = map(int, pos.split("+"))
        if height > 60:
            return {"X": x, "Y": y, "WIDTH": width, "HEIGHT": height}
    return None


def main():
    for tool in ("Xvfb", "trayer", "xdotool", "import"):
        if not shutil.which(tool):
            print("missing", tool)
            return 77
    os.makedirs(ARTIFACTS, exist_ok=True)
    work = tempfile.mkdtemp(prefix="varno-desktop-")
    rundir = os.path.join(work, "run")
    os.mkdir(rundir, 0o700)
    display = ":%d" % (90 + os.getpid() % 100)
    env = {k: v for k, v in os.environ.items() if not k.startswith("DBUS") and k != "QT_QPA_PLATFORM"}
    env.update(DISPLAY=display, XDG_RUNTIME_DIR=rundir)
    procs = []
    try:
        procs.append(subprocess.Popen(["Xvfb", display, "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                                      stderr=subprocess.DEVNULL))
        wait_for("the X server", lambda: subprocess.run(["xdotool", "getmouselocation"], env=env,
                                                        stdout=subprocess.DEVNULL,
                                                        stderr=subprocess.DEVNULL).returncode == 0)
        procs.append(subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                       "--height", "32", "--SetDockType", "true", "--transparent", "false",
                                       "--tint", "0x808080"], env=env, stderr=subprocess.DEVNULL))
        tray_host = wait_for("trayer", lambda: xdo(env, "search", "--onlyvisible", "--class", "trayer",
                                                   check=False).split())[0]

        adapters = subprocess.run([os.path.join(BIN, "varno-adapters")], check=True, stdout=subprocess.PIPE,
                                  text=True).stdout.splitlines()
        lo = next(int(l.split("\t")[0]) for l in adapters if l.split("\t")[1:2] == ["lo"])
        shutil.copy(os.path.join(BIN, "VarnoTray"), work)
        with open(os.path.join(work, "VarnoTray.ini"), "w") as f:
            f.write(f"[Settings]\nAdaptor Index={lo}\n")
        with open(os.path.join(work, "VarnoRanges.ini"), "w") as f:
            f.write("[Range 1]\nDisplay Name=Everything\nSource IPs=*ANY*\nDest IPs=*ANY*\n"
                    "Source Ports=*ANY*\nDest Ports=*ANY*\n")
        procs.append(subprocess.Popen([os.path.join(work, "VarnoTray")], env=env, stderr=subprocess.PIPE,
                                      text=True))

        def counters():
            out = subprocess.run([os.path.join(BIN, "varno-counters"), "--json"], env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            return json.loads(out.stdout) if out.returncode == 0 else None

        wait_for("the shared block", counters)
        # The icon is embedded: the tray host grows from nothing to hold it.
        host = wait_for("the icon in the tray",
                        lambda: (lambda g: g if g["WIDTH"] >= 16 else None)(geometry(env, tray_host)))
        icon_x, icon_y = host["X"] + host["WIDTH"] // 2, host["Y"] + host["HEIGHT"] // 2

        def open_menu(shot):
            xdo(env, "mousemove", str(icon_x), str(icon_y), "click", "3")
            menu = wait_for("the menu", lambda: popup(env))
            time.sleep(0.3)
            subprocess.run(["import", "-window", "root", os.path.join(ARTIFACTS, shot)], env=env, check=True)
            return menu

        def click_item(menu, row):
            # Start and Stop are the first two rows, each about 22 pixels
            # high at the default font, below a few pixels of frame.
            y = menu["Y"] + 11 + 22 * row
            xdo(env, "mousemove", str(menu["X"] + 30), str(y), "click", "1")
            wait_for("the menu to close", lambda: not popup(env), timeout=5)

        count = lambda: counters()["change_count"]
        # Read only now: the block exists before the tray's start-up clears
        # it, and the icon is embedded only once start-up has returned.
        c0 = count()
        menu = open_menu("menu-idle.png")
        xdo(env, "mousemove", str(menu["X"] + 30), str(menu["Y"] + 11 + 22), "click", "1")  # Stop: disabled
        time.sleep(0.5)
        assert popup(env), "a click on a disabled item closed the menu"
        xdo(env, "key", "Escape")
        wait_for("the menu to close", lambda: not popup(env), timeout=5)
        assert count() == c0, "a disabled Stop did something"

        menu = open_menu("menu-before-start.png")
        click_item(menu, 0)  # Start
        wait_for("Start to load the ranges", lambda: counters()["records"] and counters()["records"][0]["name"] == "Everything")
        c1 = count()
        assert c1 == (c0 + 1) % 256, (c0, c1)

        menu = open_menu("menu-monitoring.png")
        click_item(menu, 1)  # Stop: enabled now, clears the counts
        wait_for("Stop to clear", lambda: count() == (c1 + 1) % 256)

        # Configure (the fourth item, below a separator) opens the dialog;
        # Escape cancels it and changes nothing.
        settings = open(os.path.join(work, "VarnoTray.ini")).read()
        menu = open_menu("menu-idle-again.png")
        xdo(env, "mousemove", str(menu["X"] + 30), str(menu["Y"] + 78), "click", "1")
        def dialog_window():
            # The dialog itself, mapped and at its full size.
            for w in xdo(env, "search", "--onlyvisible", "--name", "^Varno Configuration$", check=False).split():
                g = subprocess.run(["xdotool", "getwindowgeometry", "--shell", w], env=env, text=True,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                if g.returncode == 0 and "WIDTH=" in g.stdout and geometry(env, w)["WIDTH"] >= 300:
                    return w
            return None
        dialog = wait_for("the configuration dialog", dialog_window)
        time.sleep(0.5)
        subprocess.run(["import", "-window", "root", os.path.join(ARTIFACTS, "configuration-dialog.png")],
                       env=env, check=True)
        size = geometry(env, dialog)
        assert size["WIDTH"] >= 343 and size["HEIGHT"] >= 197, size
        xdo(env, "windowfocus", "--sync", dialog, check=False)
        xdo(env, "key", "Escape", check=False)
        wait_for("the dialog to close",
                 lambda: not xdo(env, "search", "--onlyvisible", "--name", "^Varno Configuration$",
                                 check=False).split(), timeout=5)
        assert open(os.path.join(work, "VarnoTray.ini")).read() == settings
        print("ok: icon shown, menu opened, Start and Stop followed; screenshots in", ARTIFACTS)
        return 0
    finally:
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
