#!/usr/bin/env bash
# Builds the release packages into dist/: a .deb for this Linux host, which
# must pass Debian's lintian --pedantic with no error or warning, and a .zip
# holding txd-depth-fix.exe for Windows x64 (checked for its version
# resource and manifest), with the same as txd-depth-fix-restore.exe, README.txt, README.md and
# LICENSE.txt. Ends with one line per package built: its path and size.
#   tools/package.sh
# The man page must pass mandoc -T lint first, without a message. Installs
# the Windows cross compiler, lintian and mandoc with apt-get when missing.
# Otherwise quiet when all is well: each step's output is kept aside and
# shown only when that step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Runs a step with its output kept aside: shown, with the step's name,
# only when the step fails, and the script stops then.
quietly() { # what, command...
	local what=$1
	shift
	if ! "$@" >"$log" 2>&1; then
		cat "$log" >&2
		echo "package.sh: $what failed" >&2
		exit 1
	fi
}

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v lintian >/dev/null || need+=(lintian)
command -v mandoc >/dev/null || need+=(mandoc)
if [ ${#need[@]} -gt 0 ]; then
	quietly "apt-get update" apt-get update
	quietly "installing ${need[*]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}"
fi

# mandoc -T lint says nothing of a clean page; any message is a fault.
quietly "mandoc -T lint txd-depth-fix.1" mandoc -T lint "$root/txd-depth-fix.1"
if [ -s "$log" ]; then
	cat "$log" >&2
	echo "package.sh: mandoc -T lint has something to say about txd-depth-fix.1" >&2
	exit 1
fi

rm -rf "$root/dist"
mkdir -p "$root/dist"
package() { # name, build folder, cmake arguments...
	local name=$1 dir=$2
	shift 2
	quietly "configuring the $name build" cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTXD_BUILD_TESTS=OFF "$@"
	quietly "the $name build" cmake --build "$dir" -j "$(nproc)"
	quietly "cpack for the $name package" cpack --config "$dir/CPackConfig.cmake" -B "$root/dist"
}
package Linux "$root/build-package-linux"
package Windows "$root/build-package-windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake"
rm -rf "$root/dist/_CPack_Packages"

# The .exe must carry its version where Explorer reads it (the UTF-16
# strings of its resources), and the zip its Windows papers with CRLF
# endings and the program a second time, under the name that restores.
version=$(sed -n 's/^project(txd-depth-fix VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
resources=$(mktemp)
x86_64-w64-mingw32-objcopy -O binary --only-section=.rsrc "$root/build-package-windows/txd-depth-fix.exe" "$resources"
if ! strings -el "$resources" | grep -qx "$version" || ! strings -a "$resources" | grep -q longPathAware; then
	rm -f "$resources"
	echo "package.sh: txd-depth-fix.exe carries no version $version resource or no manifest" >&2
	exit 1
fi
rm -f "$resources"
python3 - "$root/dist/txd-depth-fix-$version-win64.zip" <<'PY'
import sys, zipfile
names = {n.split("/")[-1]: n for n in zipfile.ZipFile(sys.argv[1]).namelist()}
z = zipfile.ZipFile(sys.argv[1])
for want in ("txd-depth-fix.exe", "txd-depth-fix-restore.exe", "README.txt", "README.md", "LICENSE.txt"):
    if want not in names:
        sys.exit(f"package.sh: the zip lacks {want}")
for text in ("README.txt", "LICENSE.txt"):
    lines = z.read(names[text]).split(b"\n")[:-1]
    if not all(l.endswith(b"\r") for l in lines):
        sys.exit(f"package.sh: {text} in the zip has lines without CRLF")
if z.read(names["txd-depth-fix-restore.exe"]) != z.read(names["txd-depth-fix.exe"]):
    sys.exit("package.sh: txd-depth-fix-restore.exe in the zip is not txd-depth-fix.exe")
if len(lines := z.read(names["README.txt"]).split(b"\n")) > 62:
    sys.exit("package.sh: README.txt is longer than about 60 lines")
PY

# Errors and warnings fail the build, and so does lintian failing to run;
# then the whole report shows. Pedantic notes and information alone are no
# failure, and stay quiet.
status=0
report=$(lintian --pedantic --info "$root"/dist/*.deb 2>&1) || status=$?
if [ "$status" -ne 0 ] || printf '%s\n' "$report" | grep -q '^[EW]: '; then
	printf '%s\n' "$report" >&2
	echo "package.sh: lintian failed, or found errors or warnings" >&2
	exit 1
fi

# The .deb holds the shell completions where bash, zsh and fish look.
contents=$(dpkg-deb -c "$root"/dist/*.deb)
for want in bash-completion/completions/txd-depth-fix zsh/vendor-completions/_txd-depth-fix \
	fish/vendor_completions.d/txd-depth-fix.fish; do
	if ! printf '%s\n' "$contents" | grep -q " \./usr/share/$want\$"; then
		echo "package.sh: the .deb lacks /usr/share/$want" >&2
		exit 1
	fi
done

for built in "$root"/dist/*.deb "$root"/dist/*.zip; do
	echo "package.sh: built ${built#"$root"/} ($((($(stat -c %s "$built") + 1023) / 1024)) KiB)"
done
