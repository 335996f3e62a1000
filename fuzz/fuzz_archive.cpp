// The whole run on arbitrary archive files, in process: the archive changes
// and prints exactly what an independent walk says it must, and the status
// is 1 exactly when something went to stderr.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "invariant.h"
#include "command_line.h"

static std::string run(const std::string &path, int *status, std::string *err)
{
	char *out_text = nullptr, *err_text = nullptr;
	std::size_t out_size = 0, err_size = 0;
	std::FILE *out = open_memstream(&out_text, &out_size), *errs = open_memstream(&err_text, &err_size);
	char prog[] = "txd-depth-fix";
	char *argv[] = {prog, const_cast<char *>(path.c_str()), nullptr};
	*status = txd_depth_fix(2, argv, out, errs);
	std::fclose(out);
	std::fclose(errs);
	std::string text(out_text, out_size);
	err->assign(err_text, err_size);
	std::free(out_text);
	std::free(err_text);
	return text;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static const std::string path = "/tmp/txd-fuzz-" + std::to_string(getpid()) + ".img";
	invariant::bytes before(data, data + size);
	std::ofstream(path, std::ios::binary | std::ios::trunc)
	    .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));

	int status;
	std::string err, out = run(path, &status, &err);

	std::ifstream in(path, std::ios::binary);
	invariant::bytes after{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
	std::string why = invariant::archive_violation(before, after);
	if (why.empty() && status != (err.empty() ? 0 : 1))
		why = "status " + std::to_string(status) + " with stderr \"" + err + "\"";
	if (why.empty() && out != invariant::reference_run(before).out)
		why = "stdout differs from the report lines expected: \"" + out + "\"";
	if (!why.empty()) {
		std::fprintf(stderr, "archive invariant broken: %s\n", why.c_str());
		std::abort();
	}
	return 0;
}
