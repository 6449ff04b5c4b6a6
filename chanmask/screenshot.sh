#!/bin/sh
# Screenshot of the channel mask dialog: runs the real chanmask binary on a
# virtual X server (xvfb-run) against a fresh simulated camera and saves the
# dialog's window as a PNG.
#
#   chanmask/screenshot.sh [BUILD_DIR [OUTPUT_PNG]]
#
# BUILD_DIR defaults to build/default, OUTPUT_PNG to BUILD_DIR/chanmask.png.
# Needs xvfb, x11-utils (xwininfo) and imagemagick (import).
set -eu

build=${1:-build/default}
out=${2:-$build/chanmask.png}
qxsim=$build/qxsim/qxsim
chanmask=$build/chanmask/chanmask
for program in "$qxsim" "$chanmask"; do
    [ -x "$program" ] || { echo "screenshot.sh: $program not built" >&2; exit 1; }
done

state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
"$qxsim" --state "$state" create >/dev/null
export XDG_RUNTIME_DIR="$state/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# Inside the X server: start the dialog, wait for its window to be mapped,
# grab it, close the dialog.
xvfb-run -a -s "-screen 0 800x300x24" sh -eu -c '
    qxsim=$1 chanmask=$2 state=$3 out=$4
    "$qxsim" --state "$state" run -- "$chanmask" &
    pid=$!
    window=
    tries=0
    while [ -z "$window" ] && [ $tries -lt 100 ]; do
        sleep 0.1
        tries=$((tries + 1))
        window=$(xwininfo -root -tree 2>/dev/null | awk "/\"Channel Mask\"/ { print \$1; exit }")
    done
    if [ -z "$window" ]; then
        kill "$pid"
        echo "screenshot.sh: the dialog did not appear" >&2
        exit 1
    fi
    sleep 0.5
    import -window "$window" "$out"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
' screenshot "$qxsim" "$chanmask" "$state" "$out"

# The dialog must not have written anything by merely showing up.
"$qxsim" --state "$state" show | sed -n "/^channel mask/,/clamp/p"
echo "screenshot: $out"
