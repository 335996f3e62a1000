// The whole run on arbitrary archive files, in process: the archive may
// change only in qualifying depth bytes of selected entries.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "invariant.h"

int txd_depth_fix_main(int argc, char *argv[]); // the tool's main, renamed

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static const std::string path = "/tmp/txd-fuzz-" + std::to_string(getpid()) + ".img";
	invariant::bytes before(data, data + size);
	std::ofstream(path, std::ios::binary | std::ios::trunc)
	    .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));

	stdout = std::fopen("/dev/null", "w"); // the run closes stdout as it ends
	char prog[] = "txd-depth-fix";
	char *argv[] = {prog, const_cast<char *>(path.c_str()), nullptr};
	txd_depth_fix_main(2, argv);

	std::ifstream in(path, std::ios::binary);
	invariant::bytes after{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
	std::string why = invariant::archive_violation(before, after);
	if (!why.empty()) {
		std::fprintf(stderr, "archive invariant broken: %s\n", why.c_str());
		std::abort();
	}
	return 0;
}
