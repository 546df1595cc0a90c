#!/usr/bin/env bash
# Judges the images a drive served with each set of mount flags (served-<flags>.iso, left in
# DIR by kelmor_driver_tests) with the host's own readers:
#   judge_mount_flags.sh DIR ORIGINAL
# isoinfo -d finds no Joliet exactly when 0x2 was set; udfinfo fails exactly when 0x1 was set;
# isoinfo -f lists the ISO 9660 names of the original every time; flags 0 serve it byte for
# byte. Exits 77 (skipped) when the driver tests did not run here (a host that runs no 32-bit
# programs).
set -u
dir=$1 original=$2
[ -f "$dir/served-3.iso" ] || { echo "no served images in $dir: skipped"; exit 77; }
names=$(isoinfo -f -i "$original")
rc=0
fail() { echo "FAIL: $*"; rc=1; }
for flags in 0 1 2 3; do
    served="$dir/served-$flags.iso"
    [ "$served" -nt "$original" ] || fail "$served is older than the image"
    if isoinfo -d -i "$served" | grep -q "NO Joliet present"; then joliet=0; else joliet=1; fi
    [ "$joliet" -eq $(((flags & 2) == 0)) ] || fail "flags $flags: Joliet present is $joliet"
    if udfinfo "$served" >/dev/null 2>&1; then udf=1; else udf=0; fi
    [ "$udf" -eq $(((flags & 1) == 0)) ] || fail "flags $flags: udfinfo found UDF: $udf"
    [ "$(isoinfo -f -i "$served")" = "$names" ] || fail "flags $flags: the ISO 9660 names differ"
    echo "flags $flags: Joliet $joliet, UDF $udf, $(cmp -l "$original" "$served" | wc -l) bytes changed"
done
cmp -s "$original" "$dir/served-0.iso" || fail "flags 0 changed the image"
exit $rc
