#!/usr/bin/env bash
# Times a dry folder run against its floor on a game-like tree, warm cache.
#   bench/folders.sh [SEED=1] [RUNS=7]
# The floor walks the tree in name order, opens every regular file, reads
# its first four bytes, and reads once what must be read of each archive and
# loose dictionary. Then system calls per file and peak memory.
set -euo pipefail
seed=${1:-1} runs=${2:-7}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
tree=$build/game
. "$root/bench/lib.sh"
bench_build
rm -rf "$tree"
stats=$("$build/bench/make-game-tree" "$seed" "$tree")
tool=$build/txd-depth-fix


"$build/bench/folder-floor" "$tree"
"$tool" -n "$tree" >/dev/null
floor=$(for _ in $(seq "$runs"); do seconds "$build/bench/folder-floor" "$tree"; done | median)
dry=$(for _ in $(seq "$runs"); do seconds "$tool" -nq "$tree"; done | median)
# The 1.1 way: find, once for archives and once for loose dictionaries.
one_one() { find "$tree" -name '*.img' -exec "$tool" -n {} + && find "$tree" -name '*.txd' -exec "$tool" -nt {} +; }
find_way=$(for _ in $(seq "$runs"); do seconds one_one; done | median)
peak_kib=$(/usr/bin/time -f %M "$tool" -n "$tree" 2>&1 >/dev/null | tail -1)
found=$(find "$tree" -type f | wc -l)
strace -c -o "$build/trace" "$tool" -nq "$tree" >/dev/null
# strace -c: the total line's fourth field is the number of calls.
calls=$(awk '$NF == "total" { print $4 }' "$build/trace")
strace -c -o "$build/floor-trace" "$build/bench/folder-floor" "$tree"
floor_calls=$(awk '$NF == "total" { print $4 }' "$build/floor-trace")

echo "tree: $stats, seed $seed; $(machine)"
printf '%-28s %8s %8s\n' case seconds "x floor"
printf '%-28s %8.3f %8.3f\n' "floor" "$floor" 1
printf '%-28s %8.3f %8.3f\n' "txd-depth-fix -nq TREE" "$dry" "$(ratio "$dry" "$floor")"
printf '%-28s %8.3f %8.3f\n' "find -exec, -n and -nt" "$find_way" "$(ratio "$find_way" "$floor")"
echo "system calls: tool $calls, floor $floor_calls, for $found files ($(awk -v a="$calls" -v b="$found" 'BEGIN { printf "%.2f", a / b }') and $(awk -v a="$floor_calls" -v b="$found" 'BEGIN { printf "%.2f", a / b }') a file)"
echo "peak memory: $peak_kib KiB (largest entry 64 KiB, directory 8 KiB)"
echo "calls by the tool, by name:"
awk '$NF ~ /^(openat|read|close|fstat|newfstatat|getdents64|fcntl|lseek|write)$/ { print "  " $NF ": " $4 }' "$build/trace" | sort
