#!/bin/sh
# make run: start VarnoTray monitoring this machine's first usable adapter with
# the example ranges, and show the live counters until Ctrl-C, which ends both.
set -eu
BUILD_DIR=${1:-build}
BIN=$(cd "$BUILD_DIR/bin" && pwd)

# Capture privileges for the tray itself, so that it need not run as root.
if [ "$(id -u)" -eq 0 ] && command -v setcap >/dev/null 2>&1; then
    setcap cap_net_raw,cap_net_admin=eip "$BIN/VarnoTray"
fi

# First run: settings that monitor the first usable adapter (an Ethernet
# adapter that is up, not loopback) at once. Later runs keep the settings
# the user chose in Configure.
SETTINGS="$BIN/VarnoTray.ini"
if [ ! -f "$SETTINGS" ]; then
    index=""
    fallback=""
    while IFS="$(printf '\t')" read -r i name _; do
        [ -r "/sys/class/net/$name/type" ] || continue
        [ "$(cat "/sys/class/net/$name/type")" = 1 ] || continue   # ARPHRD_ETHER
        [ "$name" = lo ] && continue
        [ -z "$fallback" ] && fallback=$i
        if [ "$(cat "/sys/class/net/$name/operstate" 2>/dev/null)" = up ]; then
            index=$i
            break
        fi
    done <<EOT
$("$BIN/varno-adapters")
EOT
    index=${index:-${fallback:-0}}
    printf '[Settings]\nAdaptor Index=%s\nStart Connected=1\nAllow Ranges File=%s\n' \
        "$index" "$BIN/VarnoRanges.ini" > "$SETTINGS"
    echo "Wrote $SETTINGS (adapter $index, start connected, example ranges)."
fi

"$BIN/VarnoTray" &
tray=$!
stop() {
    trap - INT TERM EXIT
    kill -TERM "$tray" 2>/dev/null || true
    wait "$tray" 2>/dev/null || true
}
trap stop INT TERM EXIT

# The tray creates the shared block as it starts.
tries=0
until "$BIN/varno-counters" >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ $tries -gt 100 ] || ! kill -0 "$tray" 2>/dev/null; then
        echo "VarnoTray did not start its shared counters block." >&2
        exit 1
    fi
    sleep 0.1
done
"$BIN/varno-counters" --watch || true
