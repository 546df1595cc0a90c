#!/usr/bin/env bash
# Makes the sample disc image: a few files (text and a few MB of patterned data, so that a
# copy that loses or repeats a sector shows) under the volume label RAVELIN_SAMPLE.
#   make_sample_iso.sh ROOT_DIR OUTPUT.iso [LABEL] [MEGABYTES]
set -euo pipefail
root=$1
output=$2
label=${3:-RAVELIN_SAMPLE}
megabytes=${4:-3}

rm -rf "$root"
mkdir -p "$root/docs"
printf 'A sample disc for Ravelin and Tolvane.\n' >"$root/readme.txt"
printf 'Made by make_sample_iso.sh.\n' >"$root/docs/about.txt"
# Every 2048-byte block numbers itself, so no two sectors of the data are alike.
python3 - "$root/data.bin" "$megabytes" <<'PY'
import sys
path, megabytes = sys.argv[1], int(sys.argv[2])
with open(path, "wb") as f:
    for block in range(megabytes * 512):
        f.write((b"sector %08d " % block).ljust(2048, bytes([block % 251])))
PY
rm -f "$output"
xorriso -as mkisofs -quiet -V "$label" -J -r -o "$output" "$root"
