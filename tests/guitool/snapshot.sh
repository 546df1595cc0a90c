#!/usr/bin/env bash
# Photographs one of Tolvane's dialogs on the test display.
#   snapshot.sh WINE_RUN WINE_STATE_DIR BITS tolvane_snapshot.exe WHICH OUTPUT.png
# Runs the program through WINE_RUN, waits until it reports the dialog's screen rectangle, takes
# the screen with xwd and cuts the dialog out of it with ImageMagick's convert.
set -eu

wine_run=$1
state=$2
bits=$3
program=$4
which=$5
output=$6

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

"$wine_run" "$state" "$bits" "$program" "$which" "$(windows_path "$work/ready")" \
    "$(windows_path "$work/done")" &
pid=$!

for _ in $(seq 1 300); do
    [ -s "$work/ready" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
done
if [ ! -s "$work/ready" ]; then
    echo "the $which dialog did not come up" >&2
    touch "$work/done"
    wait "$pid" || true
    exit 1
fi
sleep 1 # let it finish painting

display=${DISPLAY:-$(cat "$state/display")}
read -r x y w h <"$work/ready"
xwd -root -silent -display "$display" >"$work/screen.xwd"
touch "$work/done"
status=0
wait "$pid" || status=$?

convert "xwd:$work/screen.xwd" -crop "${w}x${h}+${x}+${y}" +repage "$output"
rm -rf "$work"
echo "$which dialog photographed: $output"
exit "$status"
