#!/usr/bin/env bash
# Times a dry folder run against its floor on a game-like tree, warm cache,
# and the same run with --json beside it.
#   bench/folders.sh [SEED=1] [RUNS=7] [cold]
# The floor walks the tree in name order, opens every regular file, reads
# its first four bytes, and reads once what must be read of each archive and
# loose dictionary. Then system calls per file and peak memory. With cold
# (as root), every cache is dropped before each run, and the tool runs with
# its read-ahead (the default -j) and without (-j 1), next to each way a
# read-ahead could ask for the files (bench/read_ahead_ways.cpp).
set -euo pipefail
seed=${1:-1} runs=${2:-7} cold=${3:-}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
tree=$build/game
. "$root/bench/lib.sh"
bench_build
rm -rf "$tree"
stats=$("$build/bench/make-game-tree" "$seed" "$tree")
tool=$build/txd-depth-fix


if [ "$cold" = cold ]; then
	drop() { sync && echo 3 >/proc/sys/vm/drop_caches; }
	cold_seconds() { drop; seconds "$@"; }
	floor=$(for _ in $(seq "$runs"); do cold_seconds "$build/bench/folder-floor" "$tree"; done | median)
	ahead=$(for _ in $(seq "$runs"); do cold_seconds "$tool" -nq "$tree"; done | median)
	serial=$(for _ in $(seq "$runs"); do cold_seconds "$tool" -nq -j 1 "$tree"; done | median)
	echo "tree: $stats, seed $seed; $(machine); every cache dropped before each run"
	printf '%-28s %8s %8s\n' case seconds "x floor"
	printf '%-28s %8.3f %8.3f\n' "floor, serial" "$floor" 1
	printf '%-28s %8.3f %8.3f\n' "txd-depth-fix -nq TREE" "$ahead" "$(ratio "$ahead" "$floor")"
	printf '%-28s %8.3f %8.3f\n' "txd-depth-fix -nq -j 1 TREE" "$serial" "$(ratio "$serial" "$floor")"
	peak_kib=$(drop && /usr/bin/time -f %M "$tool" -nq "$tree" 2>&1 >/dev/null | tail -1)
	echo "peak memory, cold: $peak_kib KiB"
	"$build/bench/read-ahead-ways" "$tree" 2 "$runs"
	exit 0
fi

"$build/bench/folder-floor" "$tree"
"$tool" -n "$tree" >/dev/null
floor=$(for _ in $(seq "$runs"); do seconds "$build/bench/folder-floor" "$tree"; done | median)
# Text and JSON Lines taken in turn, so that both meet the same machine.
both=$(for _ in $(seq "$runs"); do echo "$(seconds "$tool" -nq "$tree") $(seconds "$tool" -nq --json "$tree")"; done)
dry=$(awk '{ print $1 }' <<<"$both" | median)
json=$(awk '{ print $2 }' <<<"$both" | median)
alone=$(for _ in $(seq "$runs"); do seconds "$tool" -nq -j 1 "$tree"; done | median)
# The 1.1 way: find, once for archives and once for loose dictionaries.
one_one() { find "$tree" -name '*.img' -exec "$tool" -n {} + && find "$tree" -name '*.txd' -exec "$tool" -nt {} +; }
find_way=$(for _ in $(seq "$runs"); do seconds one_one; done | median)
peak_kib=$(/usr/bin/time -f %M "$tool" -n "$tree" 2>&1 >/dev/null | tail -1)
json_kib=$(/usr/bin/time -f %M "$tool" -n --json "$tree" 2>&1 >/dev/null | tail -1)
found=$(find "$tree" -type f | wc -l)
strace -c -o "$build/trace" "$tool" -nq -j 1 "$tree" >/dev/null # the walk's own calls
# strace -c: the total line's fourth field is the number of calls.
calls=$(awk '$NF == "total" { print $4 }' "$build/trace")
strace -c -o "$build/floor-trace" "$build/bench/folder-floor" "$tree"
floor_calls=$(awk '$NF == "total" { print $4 }' "$build/floor-trace")

echo "tree: $stats, seed $seed; $(machine)"
printf '%-28s %8s %8s\n' case seconds "x floor"
printf '%-28s %8.3f %8.3f\n' "floor" "$floor" 1
printf '%-28s %8.3f %8.3f\n' "txd-depth-fix -nq TREE" "$dry" "$(ratio "$dry" "$floor")"
printf '%-28s %8.3f %8.3f\n' "txd-depth-fix -nq --json TREE" "$json" "$(ratio "$json" "$floor")"
printf '%-28s %8.3f %8.3f\n' "txd-depth-fix -nq -j 1 TREE" "$alone" "$(ratio "$alone" "$floor")"
printf '%-28s %8.3f %8.3f\n' "find -exec, -n and -nt" "$find_way" "$(ratio "$find_way" "$floor")"
echo "--json: $(ratio "$json" "$dry") x the text run"
echo "system calls: tool $calls, floor $floor_calls, for $found files ($(awk -v a="$calls" -v b="$found" 'BEGIN { printf "%.2f", a / b }') and $(awk -v a="$floor_calls" -v b="$found" 'BEGIN { printf "%.2f", a / b }') a file)"
echo "peak memory: $peak_kib KiB, with --json $json_kib KiB (largest entry 64 KiB, directory 8 KiB)"
echo "calls by the tool, by name:"
awk '$NF ~ /^(openat|read|close|fstat|newfstatat|getdents64|fcntl|lseek|write)$/ { print "  " $NF ": " $4 }' "$build/trace" | sort
