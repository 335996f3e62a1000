#!/usr/bin/env bash
# Builds and runs the whole test suite natively, on 32-bit x86 (where size_t
# has 32 bits; run natively, or under qemu where the kernel cannot), on big-endian s390x (qemu) and on Windows x64
# (mingw-w64, wine), checks the Windows build's output on a console, then
# prints one line per target.
#   tools/cross-check.sh [BUILD_ROOT]
# Installs the cross compilers and emulators it needs with apt-get.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
builds=${1:-$root/build-cross}
mkdir -p "$builds"

need=()
# The i686 cross compiler, not g++-multilib, which Debian will not install
# beside the s390x one.
command -v i686-linux-gnu-g++ >/dev/null || need+=(g++-i686-linux-gnu)
command -v s390x-linux-gnu-g++ >/dev/null || need+=(g++-s390x-linux-gnu)
command -v qemu-s390x >/dev/null || need+=(qemu-user)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || need+=(wine64 wine)
[ -d /usr/src/googletest/googletest ] || need+=(googletest)
if [ ${#need[@]} -gt 0 ]; then
	apt-get update
	DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}"
fi

# Wine keeps its prefix in a temp folder made once per run, and one server
# for all the tests: without it every start pays for a new one.
export WINEPREFIX=$(mktemp -d) WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
wineserver -p
wine cmd /c exit 2>/dev/null

summary=()
failed=0
check() { # name, cmake arguments...
	local name=$1 dir=$builds/$1 start=$SECONDS log
	shift
	log=$dir.log
	if cmake -S "$root" -B "$dir" -DTXD_WERROR=ON "$@" >"$log" 2>&1 &&
		cmake --build "$dir" -j "$(nproc)" >>"$log" 2>&1 &&
		ctest --test-dir "$dir" -j "$(nproc)" --output-on-failure >>"$log" 2>&1; then
		summary+=("$(printf '%-8s ok      %s (%ss)' "$name" "$(grep -o '[0-9]* tests failed out of [0-9]*' "$log" | sed 's/.* of /tests: /')" $((SECONDS - start)))")
	else
		tail -30 "$log"
		summary+=("$(printf '%-8s FAILED  see %s' "$name" "$log")")
		failed=1
	fi
}

# The Windows build on a console (wine on a pseudo-terminal, through
# script): paths in Cyrillic and CJK must read as themselves, not as UTF-8
# bytes in the console's code page.
console_check() {
	local dir out
	dir=$(mktemp -d)
	mkdir -p "$dir/Моды/图像"
	"$builds/native/make-sample" "$dir/Моды/图像/архив.img"
	# Its input redirected, the program does not hold the console's window
	# (as it would, alone on it, waiting for Enter).
	out=$(cd "$dir" && LANG=C.UTF-8 timeout 120 script -qec "wine '$builds/windows/txd-depth-fix.exe' -nq Моды </dev/null" \
		/dev/null </dev/null | tr -d '\r' || true)
	rm -rf "$dir"
	if grep -qF 'Моды\图像\архив.img: Checking player.txd found 2 textures to repair' <<<"$out"; then
		summary+=("$(printf '%-8s ok      Cyrillic and CJK paths on a wine console' console)")
	else
		printf '%s\n' "$out" | tail -5
		summary+=("$(printf '%-8s FAILED  the console did not show the paths as written' console)")
		failed=1
	fi
}

# A kernel built without 32-bit support refuses i386 programs ("Exec format
# error"): there they run under qemu-i386, from the same qemu-user.
i386_emulator=()
probe=$(mktemp -d)
printf 'int main(void) { return 0; }\n' >"$probe/probe.c"
if i686-linux-gnu-gcc -static "$probe/probe.c" -o "$probe/probe" && ! "$probe/probe" 2>/dev/null; then
	i386_emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386)
fi
rm -rf "$probe"

check native
check i386 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-linux-gnu.cmake" "${i386_emulator[@]}"
check s390x -DCMAKE_TOOLCHAIN_FILE="$root/cmake/s390x-linux-gnu.cmake"
check windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake"
console_check
printf '%s\n' "${summary[@]}"
exit $failed
