# What the benchmark scripts share; sourced, not run.
#   . bench/lib.sh; bench_build; seconds CMD...; ... | median; ratio A B

# The tools in $build (set by the caller), needing /usr/bin/time and strace.
bench_build() {
	local need
	for need in /usr/bin/time strace; do
		command -v "$need" >/dev/null || { echo "$(basename "$0"): needs $need (apt-get install time strace)" >&2; exit 1; }
	done
	cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTXD_BENCH=ON -DTXD_BUILD_TESTS=OFF >/dev/null
	cmake --build "$build" -j "$(nproc)" >/dev/null
}

# Seconds taken by a command, output discarded.
seconds() {
	local start=$EPOCHREALTIME
	"$@" >/dev/null
	awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { print a / b }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
machine() { echo "$(nproc) cores, $(sed -n 's/^model name\t: //p' /proc/cpuinfo | head -1)"; }
