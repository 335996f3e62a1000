#!/usr/bin/env bash
# Line and branch coverage of src/ by the whole test suite (gcovr).
#   tests/coverage.sh [BUILD]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-coverage}
command -v gcovr >/dev/null || { echo "coverage.sh: needs gcovr (apt-get install gcovr)" >&2; exit 1; }

CXX=g++ cmake -S "$root" -B "$build" -DTXD_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
find "$build" -name '*.gcda' -delete
# A tool started under a file-size limit may be unable to write its
# coverage data, and say so on the stderr those tests compare: they may
# fail here, no other test may.
limited='FailedWrite|NothingToRepair|FullDiskBackup|TornWrite'
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure -E "$limited" >/dev/null
ctest --test-dir "$build" -j "$(nproc)" -R "$limited" >/dev/null ||
	echo "coverage.sh: a test under a file-size limit failed, as coverage data can make it" >&2
# Branches the compiler adds for exceptions are not the code's own.
gcovr --root "$root" --filter "$root/src/" --exclude-throw-branches --exclude-unreachable-branches \
	--branches --txt - "$build"
gcovr --root "$root" --filter "$root/src/" --exclude-throw-branches --exclude-unreachable-branches \
	--txt - "$build"
