#!/bin/sh
# The channel mask dialog as an operator uses it: the real chanmask binary on
# a virtual X server, started by `qxsim run` against a fresh simulated camera,
# driven with real mouse clicks and key presses (xdotool), closed with Done.
# Checks the register-write lines the camera received, in order, the channel
# and clamp registers it holds afterwards, and chanmask's exit status and
# standard error.
#
#   operator_test.sh QXSIM CHANMASK
#
# Needs xvfb (xvfb-run, xauth) and xdotool.
set -eu
qxsim=$1 chanmask=$2

for program in xvfb-run xauth xdotool; do
    command -v "$program" >/dev/null || { echo "$program not installed (scripts/install-deps.sh)" >&2; exit 1; }
done

# The sanitizer build's chanmask: leaks of the system's libraries are not ours.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")" && pwd)/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

state=$(mktemp -d /tmp/qx-chanmask-XXXXXX)
trap 'rm -rf "$state"' EXIT
"$qxsim" --state "$state" create >/dev/null
"$qxsim" --state "$state" trace on
export XDG_RUNTIME_DIR="$state/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# Inside the X server. The group rows are pinned to the window's top-left
# corner (11-pixel margin, 27 x 23 buttons 3 pixels apart, so channel n of
# the first row is at x = 54 + 30 n, y = 22) and Done to its bottom-right
# corner; the rest is reached with Tab in the dialog's focus order.
xvfb-run -a -s "-screen 0 800x300x24" sh -eu -c '
    qxsim=$1 chanmask=$2 state=$3
    "$qxsim" --state "$state" run -- "$chanmask" 2>"$state/stderr" &
    pid=$!
    window=$(timeout 30 xdotool search --sync --name "^Channel Mask\$" | head -n 1)
    if [ -z "$window" ]; then
        kill "$pid"
        echo "the dialog did not appear" >&2
        exit 1
    fi
    eval "$(xdotool getwindowgeometry --shell "$window")"
    click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }

    click 54 22         # channel 0 on
    click 204 22        # channel 5 on
    click 54 22         # channel 0 off again
    xdotool key --repeat 20 --delay 5 Tab   # from channel 0 to the BR group button
    xdotool key space                       # all of BR on
    xdotool key --repeat 63 --delay 5 Tab   # on to clpOut
    xdotool key space                       # clamp output on
    xdotool key Tab                         # offset (text selected)
    xdotool type --delay 50 17              # 1, then 17
    xdotool key Tab                         # width (text selected)
    xdotool type 5
    xdotool key Up                          # 6
    click $((WIDTH - 45)) $((HEIGHT - 25))  # Done
    status=0
    wait "$pid" || status=$?
    echo "$status" >"$state/status"
' operator "$qxsim" "$chanmask" "$state"

failed=0
expect() {  # expect WHAT EXPECTED ACTUAL
    if [ "$2" != "$3" ]; then
        printf '%s:\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3" >&2
        failed=1
    fi
}

expect "exit status after Done" 0 "$(cat "$state/status")"
expect "chanmask's standard error" "" "$(cat "$state/stderr")"
expect "register-write lines the camera received" "w 0x8210 0x1
w 0x8210 0x21
w 0x8210 0x20
w 0x8214 0xfffff
w 0x8170 0x1114
w 0x8170 0x1101
w 0x8170 0x1111
w 0x8170 0x1511
w 0x8170 0x1611" "$(sed -n 's/^[0-9]* [0-9.]* P //p' "$state/trace.log")"
expect "channel and clamp registers" "  registers: CHL_MASK_BL 0x20, CHL_MASK_BR 0xfffff, CHL_MASK_TL 0x0, CHL_MASK_TR 0x0, CLPOUT_CTRL 0x1611
  BL 0x8210 = 0x00020  channels  0-19 .....#..............   1 set
  BR 0x8214 = 0xfffff  channels 20-39 ####################  20 set
  TL 0x8218 = 0x00000  channels 40-59 ....................   0 set  (not written)
  TR 0x821c = 0x00000  channels 60-79 ....................   0 set  (not written)
  clamp 0x8170 = 0x1611  enable on, offset 17, width 6" \
    "$("$qxsim" --state "$state" show | sed -n '/^channel mask/,/clamp/{/^channel mask/d;p}')"
exit $failed
