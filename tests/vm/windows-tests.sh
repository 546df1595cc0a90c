#!/usr/bin/env bash
# The windows preset's tests as `./dev test-i386` runs them inside the virtual machine:
#
#   windows-tests.sh [CTEST_ARGUMENTS...]
#
# The tests' Wine prefixes are made first. On the software CPU a new prefix takes minutes,
# longer than the test that would make it is given; once made, a prefix is kept in the build
# tree like any other. Every prefix's session is ended at the end, so that its registry is
# written out before the machine powers off.
set -u
cd "$(dirname "$0")/../.."
run=cmake/wine-run
"$run" build/windows/wine 32 cmd /c exit
WINE_RUN_DPI=144 "$run" build/windows/wine-144dpi 32 cmd /c exit
"$run" build/windows/wine-wow64 64 cmd /c exit
rc=0
ctest --preset windows "$@" || rc=$?
"$run" build/windows/wine 32 --shutdown
"$run" build/windows/wine-144dpi 32 --shutdown
"$run" build/windows/wine-wow64 64 --shutdown
exit "$rc"
