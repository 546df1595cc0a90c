#!/usr/bin/env bash
# Photographs a window of a snapshot program on the test display.
#   snapshot.sh WINE_RUN WINE_STATE_DIR BITS PROGRAM.exe OUTPUT.png [ARGUMENTS...]
# Runs the program through WINE_RUN as PROGRAM READY_FILE DONE_FILE ARGUMENTS..., waits until it
# reports its window's screen rectangle in READY_FILE, takes the screen with xwd, cuts the
# window out of it with ImageMagick's convert and creates DONE_FILE, at which the program ends.
set -eu

wine_run=$1
state=$2
bits=$3
program=$4
output=$5
shift 5

work="$output.tmp"
rm -rf "$work"
mkdir -p "$work"

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }

# There is no window manager on the test display: let Wine draw the title bars itself.
status=0
"$wine_run" "$state" "$bits" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f \
    >/dev/null 2>&1 || status=$?
# 77: this host cannot run Wine programs of this bitness; the test is skipped.
[ "$status" -eq 77 ] && exit 77

"$wine_run" "$state" "$bits" "$program" "$(windows_path "$work/ready")" "$(windows_path "$work/done")" "$@" &
pid=$!

for _ in $(seq 1 300); do
    [ -s "$work/ready" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
done
if [ ! -s "$work/ready" ]; then
    echo "the window to photograph did not come up" >&2
    touch "$work/done"
    wait "$pid" || true
    exit 1
fi
sleep 1 # let it finish painting

display=${DISPLAY:-$(cat "$state/display")}
read -r x y w h <"$work/ready"
# xwd reads every window of the screen; one that another program destroys meanwhile (the
# tests run side by side on one display) fails the read with BadDrawable: read again.
shot=1
for _ in 1 2 3 4 5; do
    if xwd -root -silent -display "$display" >"$work/screen.xwd" 2>"$work/xwd.log"; then
        shot=0
        break
    fi
    sleep 0.5
done
touch "$work/done"
status=0
wait "$pid" || status=$?
if [ "$shot" -ne 0 ]; then
    echo "the screen could not be read:" >&2
    cat "$work/xwd.log" >&2
    exit 1
fi

convert "xwd:$work/screen.xwd" -crop "${w}x${h}+${x}+${y}" +repage "$output"
rm -rf "$work"
echo "photographed: $output"
exit "$status"
