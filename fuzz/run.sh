#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60)
# from a seed corpus written by make-sample. Any crash, sanitizer report or
# broken invariant fails the script; the findings stay in BUILD/crashes.
#   fuzz/run.sh [SECONDS] [BUILD]
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DTXD_FUZZ=ON -DTXD_BUILD_TESTS=OFF \
	-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target fuzz_walk fuzz_archive fuzz_undo make-sample txd-depth-fix >/dev/null

seeds="$build/seeds"
mkdir -p "$seeds" "$build/crashes"
"$build/make-sample" --corpus "$seeds"
# Undo records start from one the tool keeps of a sample's repair.
records="$build/seeds-undo"
rm -rf "$records" && mkdir -p "$records"
"$build/make-sample" "$records/a.img" >/dev/null
"$build/txd-depth-fix" -uq "$records/a.img" >/dev/null
rm "$records/a.img"

for target in fuzz_walk fuzz_archive fuzz_undo; do
	corpus="$build/corpus-$target"
	from=$seeds
	[ "$target" != fuzz_undo ] || from=$records
	mkdir -p "$corpus"
	log="$build/$target.log"
	if ! "$build/fuzz/$target" "$corpus" "$from" -dict="$root/fuzz/txd.dict" -max_total_time="$seconds" \
		-max_len=65536 -close_fd_mask=3 -artifact_prefix="$build/crashes/$target-" -print_final_stats=1 \
		>"$log" 2>&1; then
		tail -40 "$log"
		echo "$target: FAILED"
		exit 1
	fi
	runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
	echo "$target: ${runs:-?} runs in ${seconds}s, no crash"
done
