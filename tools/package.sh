#!/usr/bin/env bash
# Builds the release packages into dist/: a .deb for this Linux host, which
# must pass Debian's lintian --pedantic with no error or warning, and a .zip
# holding txd-depth-fix.exe for Windows x64 (checked for its version
# resource and manifest), with README.txt, README.md and LICENSE.txt.
#   tools/package.sh
# The man page must pass mandoc -T lint first. Installs the Windows cross
# compiler, lintian and mandoc with apt-get when missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v lintian >/dev/null || need+=(lintian)
command -v mandoc >/dev/null || need+=(mandoc)
if [ ${#need[@]} -gt 0 ]; then
	apt-get update
	DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}"
fi
mandoc -T lint "$root/txd-depth-fix.1"
rm -rf "$root/dist"
mkdir -p "$root/dist"
package() { # build folder, cmake arguments...
	local dir=$1
	shift
	cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTXD_BUILD_TESTS=OFF "$@" >/dev/null
	cmake --build "$dir" -j "$(nproc)" >/dev/null
	(cd "$dir" && cpack -B "$root/dist" >/dev/null)
}
package "$root/build-package-linux"
package "$root/build-package-windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake"
rm -rf "$root/dist/_CPack_Packages"

# The .exe must carry its version where Explorer reads it (the UTF-16
# strings of its resources), and the zip Windows papers with CRLF endings.
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
for want in ("txd-depth-fix.exe", "README.txt", "README.md", "LICENSE.txt"):
    if want not in names:
        sys.exit(f"package.sh: the zip lacks {want}")
for text in ("README.txt", "LICENSE.txt"):
    lines = z.read(names[text]).split(b"\n")[:-1]
    if not all(l.endswith(b"\r") for l in lines):
        sys.exit(f"package.sh: {text} in the zip has lines without CRLF")
if len(lines := z.read(names["README.txt"]).split(b"\n")) > 62:
    sys.exit("package.sh: README.txt is longer than about 60 lines")
PY

# Errors and warnings fail the build; pedantic notes and information show.
report=$(lintian --pedantic --info "$root"/dist/*.deb 2>&1 || true)
[ -n "$report" ] && printf '%s\n' "$report"
if printf '%s\n' "$report" | grep -q '^[EW]: '; then
	echo "package.sh: lintian found errors or warnings" >&2
	exit 1
fi
ls -1 "$root/dist"
