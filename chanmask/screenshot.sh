#!/bin/sh
# Screenshot of the channel mask dialog in use: runs the real chanmask binary
# on a virtual X server (xvfb-run) against a fresh simulated camera, clicks
# and types as an operator would (xdotool: channels 0, 3 and 7, all of TL,
# clamp output on with offset 12), saves the dialog's window as a PNG, closes
# it with Done and prints what the camera's registers hold.
#
#   chanmask/screenshot.sh [BUILD_DIR [OUTPUT_PNG]]
#
# BUILD_DIR defaults to build/default, OUTPUT_PNG to BUILD_DIR/chanmask.png.
# Needs xvfb, xdotool and imagemagick (import).
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

# Inside the X server: start the dialog, wait for its window, operate it
# (first row: channel n at x = 54 + 30 n, y = 22; the rest in focus order),
# grab it, close it with Done (bottom-right corner).
xvfb-run -a -s "-screen 0 800x300x24" sh -eu -c '
    qxsim=$1 chanmask=$2 state=$3 out=$4
    "$qxsim" --state "$state" run -- "$chanmask" &
    pid=$!
    window=$(timeout 30 xdotool search --sync --name "^Channel Mask\$" | head -n 1)
    if [ -z "$window" ]; then
        kill "$pid"
        echo "screenshot.sh: the dialog did not appear" >&2
        exit 1
    fi
    eval "$(xdotool getwindowgeometry --shell "$window")"
    for x in 54 144 264; do
        xdotool mousemove --window "$window" $x 22 click 1
    done
    xdotool key --repeat 34 --delay 5 Tab  # from channel 7 to the TL group button
    xdotool key space
    xdotool key --repeat 42 --delay 5 Tab  # on to clpOut
    xdotool key space Tab
    xdotool type 12
    xdotool mousemove 0 0
    sleep 0.5
    import -window "$window" "$out"
    xdotool mousemove --window "$window" $((WIDTH - 45)) $((HEIGHT - 25)) click 1
    wait "$pid"
' screenshot "$qxsim" "$chanmask" "$state" "$out"

"$qxsim" --state "$state" show | sed -n "/^channel mask/,/clamp/p"
echo "screenshot: $out"
