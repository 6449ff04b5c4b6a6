# Sourced by the bench scripts, with $build the build folder: the binaries
# they need, a scratch folder, the test images and the timing of one run.

qxsim=$build/qxsim/qxsim
update=$build/update/update

# need FILE...: each built, else say so and stop.
need() {
    local f
    for f in "$@"; do
        [[ -e "$f" ]] || { echo "missing $f (build it first)" >&2; exit 1; }
    done
}

# scratch NAME: $work, a fresh folder removed when the script ends.
scratch() {
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    trap 'rm -rf "$work"' EXIT
}

# random_image BYTES FILE: the same pseudo-random bytes on every run (no
# trailing 0xFF, nothing a flash would hold erased).
random_image() {
    command -v openssl > /dev/null || { echo "openssl is needed for the test data" >&2; exit 1; }
    head -c "$1" /dev/zero | openssl enc -aes-128-ctr -nosalt -K 00112233445566778899aabbccddeeff \
        -iv 00000000000000000000000000000000 > "$2"
}

# timed CMD...: one run, standard output to $work/out.txt and error to
# $work/err.txt; sets secs (wall) and cpu (user + system seconds), the
# figure to trust on a loaded machine. A failing run stops the script.
timed() {
    local TIMEFORMAT='%R %U %S' t
    t=$( { time "$@" > "$work/out.txt" 2> "$work/err.txt" ; } 2>&1 ) ||
        { echo "failed: $*"; tail -5 "$work/out.txt" "$work/err.txt"; exit 1; }
    read -r secs user sys <<< "$t"
    cpu=$(echo "$user + $sys" | bc -l)
}
