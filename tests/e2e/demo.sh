#!/usr/bin/env bash
# The demo: both programs driven as a person drives them, with a picture of every step.
#   demo.sh BUILD_DIR BITS [IMAGE.iso]
# BUILD_DIR is a built Windows preset (build/windows or build/windows64) and BITS its width.
# Without IMAGE a sample disc is made with xorriso. Writes everything into one new folder
# under build/demo and names it at the end; exits non-zero when a check fails.
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$1
bits=$2
image=${3:-}

out=$(pwd)/build/demo/$(date +%Y%m%d-%H%M%S)
mkdir -p "$out"
windows() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }

if [ -z "$image" ]; then
    image=$out/sample.iso
    if ! tests/e2e/make_sample_iso.sh "$out/sample-root" "$image" >"$out/make.log" 2>&1; then
        cat "$out/make.log" >&2
        exit 1
    fi
    rm -f "$out/make.log"
    rm -rf "$out/sample-root"
elif [ ! -f "$image" ]; then
    echo "demo: no image $image" >&2
    exit 2
fi
image=$(realpath "$image")
# The label as Ravelin reads it: sector 16, bytes 40 to 71, up to the first space or NUL.
label=$(dd if="$image" bs=1 skip=$((16 * 2048 + 40)) count=32 2>/dev/null | tr '\0' ' ' |
    cut -d' ' -f1)
programs=$build/tests/e2e/programs.env
if [ ! -f "$programs" ]; then
    echo "demo: $programs is missing: the build has no Tolvane.exe and Ravelin.exe yet" >&2
    exit 1
fi
# shellcheck disable=SC1090
. "$programs"
[ -n "${DISPLAY:-}" ] && echo "demo: on your display $DISPLAY" || echo "demo: on a virtual display"
echo "demo: image $image (label \"$label\"), results in $out"

started=$(date +%s)
cmake/wine-run "$build/wine" "$bits" "$BLACKBOX" tolvane ravelin loop \
    --tolvane "$(windows "$TOLVANE")" --ravelin "$(windows "$RAVELIN")" \
    --driver "$(windows "$DRIVER")" \
    --sample "$(windows "$image")" --label "$label" --big "$(windows "$BIG_ISO")" \
    --work "$(windows "$out")" --out "$(windows "$out")" \
    2> >(grep -v '^wine: Read access denied for device' >&2)
# (Wine says that once whenever the file dialog looks at drive Z:, the host's root.)
rc=$?
cmake/wine-run "$build/wine" "$bits" --shutdown

ripped=$out/$label.iso
if [ -f "$ripped" ] && cmp -s "$ripped" "$image"; then
    printf 'loop\t99\tThe ripped image compared natively (cmp)\t%s and %s are identical\tok\t\n' \
        "$(basename "$ripped")" "$(basename "$image")" >>"$out/steps.tsv"
    echo "demo: cmp: the ripped image is identical to the disc"
else
    printf 'loop\t99\tThe ripped image compared natively (cmp)\t%s differs from the disc or is missing\tFAILED\t\n' \
        "$(basename "$ripped")" >>"$out/steps.tsv"
    echo "demo: cmp: the ripped image differs from the disc or is missing"
    rc=1
fi
rm -f "$out/aborted.iso"
for picture in "$out"/*.bmp; do
    [ -e "$picture" ] || continue
    convert "$picture" "${picture%.bmp}.png" && rm -f "$picture"
done
python3 tests/e2e/report.py "$out" "$image" "$(($(date +%s) - started))" "$rc"
echo "demo: $( [ "$rc" -eq 0 ] && echo 'every check passed' || echo 'a check FAILED' ) in $(($(date +%s) - started)) s"
echo "demo: report $out/report.html"
exit "$rc"
