#!/bin/sh
# The README's picture of an exported trace in GTKWave: on a fresh simulated
# camera, a release update (update -r) reads the sensor code and rewrites
# the flash; `qxsim trace export --vcd` writes its trace, GTKWave (on a
# virtual X server, xvfb-run) opens it with the I2C lines, the flash signals
# and the spans in view, zoomed on its first milliseconds, and the screen is
# saved as a PNG (import, from imagemagick), then made small (16 colours).
#
#   scripts/waveform-screenshot.sh [BUILD_DIR [OUTPUT_PNG]]
#
# BUILD_DIR defaults to build/default, OUTPUT_PNG to doc/gtkwave-export.png.
# Needs xvfb, gtkwave and imagemagick.
set -eu
build=${1:-build/default}
out=$(realpath -m "${2:-doc/gtkwave-export.png}")
qxsim=$build/qxsim/qxsim
for program in "$qxsim" "$build/update/update"; do
    [ -x "$program" ] || { echo "waveform-screenshot.sh: $program not built" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$qxsim" --state "$work/cam" create >/dev/null
"$qxsim" --state "$work/cam" trace on
"$qxsim" --state "$work/cam" run -- "$build/update/update" -r >/dev/null
"$qxsim" --state "$work/cam" trace export --vcd "$work/trace.vcd"

# The signals, and the first milliseconds: the sensor read, the flash's ID,
# unlock and erases, the first page programs.
cat > "$work/view.gtkw" <<'GTKW'
[size] 1100 520
[pos] 0 0
@28
i2c_isb.isb_scl
i2c_isb.isb_sda
@420
i2c_isb.isb_pid
@28
flash.flash_busy
flash.flash_erase
flash.flash_program
flash.flash_read
@420
flash.flash_cmd
flash.flash_addr
flash.flash_wr_level
flash.flash_rd_level
flash.flash_pid
GTKW
echo "gtkwave::setZoomRangeTimes 0 ${QX_SHOT_NS:-1500000}" > "$work/zoom.tcl"
export XDG_RUNTIME_DIR="$work/xdg"
mkdir -m 700 "$XDG_RUNTIME_DIR"
xvfb-run -a -s "-screen 0 1100x520x24" sh -eu -c '
    work=$1 out=$2
    gtkwave -S "$work/zoom.tcl" -a "$work/view.gtkw" "$work/trace.vcd" >/dev/null 2>&1 &
    pid=$!
    window=$(timeout 30 xdotool search --sync --onlyvisible --name "GTKWave" | head -n 1)
    sleep 2
    import -window root "$out"
    kill "$pid"
' sh "$work" "$work/full.png"
convert "$work/full.png" -colors 16 -strip "PNG8:$out"
echo "saved $out ($(stat -c %s "$out") bytes)"
