#!/usr/bin/env bash
# Times txd-depth-fix against the I/O floor on a large archive, warm cache.
#   bench/run.sh [MIB=1024] [SEED=1] [RUNS=5]
# clean:  the tool on an archive with nothing to repair, against reading
#         every byte of it once (cat > /dev/null);
# broken: the tool on a fresh copy of an archive in which every txd entry
#         needs repair, against one read and one write of each txd entry.
# undo:   the broken run with -u beside the one without, the record's size,
#         peak memory, and --restore from the record against reading the
#         txd entries twice.
# Then peak memory next to the largest entry, and the walk's own speed.
set -euo pipefail
mib=${1:-1024} seed=${2:-1} runs=${3:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
data=$build/data
. "$root/bench/lib.sh"
bench_build
mkdir -p "$data"
tool=$build/txd-depth-fix

stats=$("$build/bench/make-bench-archive" "$mib" "$seed" clean "$data/clean.img")
"$build/bench/make-bench-archive" "$mib" "$seed" broken "$data/broken.img" >/dev/null
read -r _ entries _ txd _ largest _ directory _ bytes <<<"$stats"

fresh_copy() { cp "$data/broken.img" "$data/work.img" && cat "$data/work.img" >/dev/null && sync; }

cat "$data/clean.img" >/dev/null
clean_floor=$(for _ in $(seq "$runs"); do seconds cat "$data/clean.img"; done | median)
txd_floor=$(for _ in $(seq "$runs"); do seconds "$build/bench/rewrite-floor" --read "$data/clean.img"; done | median)
clean_tool=$(for _ in $(seq "$runs"); do seconds "$tool" "$data/clean.img"; done | median)
broken_floor=$(for _ in $(seq "$runs"); do fresh_copy; seconds "$build/bench/rewrite-floor" "$data/work.img"; sync; done | median)
broken_tool=$(for _ in $(seq "$runs"); do fresh_copy; seconds "$tool" "$data/work.img"; sync; done | median)
# Side by side with the run without it: each -u run right after a plain one.
undo_pairs=$(for _ in $(seq "$runs"); do
	fresh_copy; plain=$(seconds "$tool" "$data/work.img"); sync
	fresh_copy; rm -f "$data/work.img.undo"; echo "$plain $(seconds "$tool" -u "$data/work.img")"; sync
done)
undo_plain=$(cut -d' ' -f1 <<<"$undo_pairs" | median)
undo_tool=$(cut -d' ' -f2 <<<"$undo_pairs" | median)
record_bytes=$(stat -c %s "$data/work.img.undo")
restore_tool=$(for _ in $(seq "$runs"); do
	fresh_copy; rm -f "$data/work.img.undo"; "$tool" -u "$data/work.img" >/dev/null; sync
	seconds "$tool" --restore "$data/work.img"
done | median)
fresh_copy; rm -f "$data/work.img.undo"
undo_peak_kib=$(/usr/bin/time -f %M "$tool" -u "$data/work.img" 2>&1 >/dev/null | tail -1)
rm -f "$data/work.img.undo"
fresh_copy
peak_kib=$(/usr/bin/time -f %M "$tool" "$data/work.img" 2>&1 >/dev/null | tail -1)
fresh_copy
strace -o "$data/trace" -e trace=openat,read,write,pread64,pwrite64,close "$tool" "$data/work.img" >/dev/null
# Count the calls on the archive's descriptors while they are open: the
# read-only one, then the one opened for writing when a repair needs it.
calls() { # pread64|pwrite64
	awk -v call="$1" '
		/^openat\(.*work\.img", / { split($0, r, "= "); open[r[2] + 0] = 1; next }
		/^close\(/ { sub(/^close\(/, ""); delete open[$0 + 0]; next }
		index($0, call "(") == 1 { sub("^" call "\\(", ""); if (($0 + 0) in open) n++ }
		END { print n + 0 }' "$data/trace"
}
reads=$(calls pread64)
writes=$(calls pwrite64)
rm -f "$data/work.img" "$data/trace"

echo "archive: $((bytes >> 20)) MiB, $entries entries ($txd txd), largest entry $((largest >> 10)) KiB, seed $seed"
echo "machine: $(machine)"
printf '%-8s %10s %10s %8s\n' case "tool (s)" "floor (s)" ratio
printf '%-8s %10.3f %10.3f %8.3f   (floor: cat, every byte once)\n' clean "$clean_tool" "$clean_floor" "$(ratio "$clean_tool" "$clean_floor")"
printf '%-8s %10.3f %10.3f %8.3f   (floor: one read of each txd entry)\n' clean "$clean_tool" "$txd_floor" "$(ratio "$clean_tool" "$txd_floor")"
printf '%-8s %10.3f %10.3f %8.3f   (floor: one read and one write of each txd entry)\n' broken "$broken_tool" "$broken_floor" "$(ratio "$broken_tool" "$broken_floor")"
printf '%-8s %10.3f %10.3f %8.3f   (-u beside the run without it)\n' undo "$undo_tool" "$undo_plain" "$(ratio "$undo_tool" "$undo_plain")"
printf '%-8s %10.3f %10.3f %8.3f   (--restore from the record; floor: two reads of each txd entry)\n' restore "$restore_tool" \
	"$(awk -v t="$txd_floor" 'BEGIN { print 2 * t }')" "$(ratio "$restore_tool" "$(awk -v t="$txd_floor" 'BEGIN { print 2 * t }')")"
echo "undo record: $record_bytes bytes, 1/$((bytes / record_bytes)) of the archive; peak memory with -u: ${undo_peak_kib} KiB"
limit=$(( (largest + directory) / 1024 + 4096 ))
echo "peak memory: ${peak_kib} KiB; largest entry + directory + 4 MiB = ${limit} KiB"
echo "system calls on the archive: $reads reads (header, directory, $txd entries), $writes writes ($txd entries changed)"
"$build/bench/walk_bench" --benchmark_min_time=0.2 2>/dev/null | grep -E '^[A-Z]'
