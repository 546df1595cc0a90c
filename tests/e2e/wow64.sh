#!/usr/bin/env bash
# The WoW64 scenario: the 32-bit programs in a 64-bit Wine prefix of their own, against the
# 64-bit driver, as on the 64-bit Windows that most users run.
#
#   wow64.sh STATE_DIR BITS DRIVER.sys BLACKBOX.exe BLACKBOX_ARGUMENTS...
#
# STATE_DIR holds the prefix (made on first use, kept for later runs). BITS is wow64 for
# 32-bit programs and a 32-bit blackbox, which needs a host that runs 32-bit Wine (elsewhere
# the scenario is skipped, exit code 77), or 64 to run the same rig with the 64-bit twins.
# DRIVER.sys is the 64-bit driver, as a host path.
#
# Windows loads a kernel driver at the system's width, whatever the width of the program that
# creates its service. Wine does not: it records a driver service created by a 32-bit process
# as a WoW64 service and starts it in its 32-bit driver host, where the 64-bit driver fails to
# load (ERROR_DLL_INIT_FAILED, 1114). So the rig creates the service with 64-bit Wine's own
# sc.exe; blackbox then starts it and drives Tolvane and Ravelin through the loop.
set -u
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../cmake/wine-run
state=$1
bits=$2
driver=$3
blackbox=$4
shift 4

if [ "$bits" = wow64 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "wow64: this host cannot run 32-bit Wine (/usr/lib/wine/wine does not start); skipped." >&2
    exit 77
fi
windows_driver=$(printf 'Z:%s' "$(realpath "$driver")" | tr / '\\')

# A service left by a run that was cut short goes first (nothing runs it: every run ends by
# stopping the prefix).
"$run" "$state" 64 sc delete kelmor >/dev/null 2>&1
# A freshly booted service manager may answer 1055 or 1053 for a few seconds.
created=0
for _ in $(seq 1 20); do
    if output=$("$run" "$state" 64 sc create kelmor type= kernel start= demand error= ignore \
        binPath= "$windows_driver" DisplayName= "Virtual CD-ROM Device Driver" 2>&1); then
        created=1
        break
    fi
    sleep 1
done
if [ "$created" != 1 ]; then
    echo "wow64: 64-bit sc could not create the service: $output" >&2
    "$run" "$state" 64 --shutdown
    exit 1
fi
echo "wow64: service kelmor created by 64-bit sc for $windows_driver"

"$run" "$state" "$bits" "$blackbox" wow64 --driver "$windows_driver" "$@"
rc=$?
"$run" "$state" 64 sc delete kelmor >/dev/null 2>&1
"$run" "$state" 64 --shutdown
exit "$rc"
