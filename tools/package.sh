#!/usr/bin/env bash
# Builds the release packages into dist/: a .deb for this Linux host and a
# .zip holding txd-depth-fix.exe for Windows x64, with README and licence.
#   tools/package.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || {
	apt-get update
	DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends g++-mingw-w64-x86-64-posix
}
mkdir -p "$root/dist"
package() { # build folder, cmake arguments...
	local dir=$1
	shift
	cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTXD_BUILD_TESTS=OFF "$@" >/dev/null
	cmake --build "$dir" -j "$(nproc)" --target txd-depth-fix >/dev/null
	(cd "$dir" && cpack -B "$root/dist" >/dev/null)
}
package "$root/build-package-linux"
package "$root/build-package-windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32.cmake"
rm -rf "$root/dist/_CPack_Packages"
ls -1 "$root/dist"
