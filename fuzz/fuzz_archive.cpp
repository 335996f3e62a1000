// The whole run on arbitrary files, in process, as an archive and as a loose
// dictionary, both with the listing: each must change and print exactly what
// an independent walk says, with status 1 exactly when stderr is not empty.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "command_line.h"
#include "invariant.h"

// Runs the tool with option on a file holding data; why it went wrong, or "".
static std::string check_run(const std::string &path, const invariant::bytes &data, const char *option)
{
	std::ofstream(path, std::ios::binary | std::ios::trunc)
	    .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
	char *out = nullptr, *err = nullptr;
	std::size_t out_size = 0, err_size = 0;
	std::FILE *out_file = open_memstream(&out, &out_size), *err_file = open_memstream(&err, &err_size);
	char prog[] = "txd-depth-fix", *argv[] = {prog, const_cast<char *>(option), const_cast<char *>(path.c_str()), nullptr};
	int status = txd_depth_fix(3, argv, out_file, err_file);
	std::fclose(out_file);
	std::fclose(err_file);
	std::string printed(out, out_size), diagnostics(err, err_size);
	std::free(out);
	std::free(err);

	std::ifstream in(path, std::ios::binary);
	invariant::bytes after{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
	bool loose = option[1] == 't';
	invariant::outcome expected = loose ? invariant::reference_loose_run(data, path, true) : invariant::reference_run(data, true, path);
	std::string why = loose ? "" : invariant::archive_violation(data, after);
	if (why.empty() && after != expected.image)
		why = "the file is not as the reference run leaves it";
	if (why.empty() && printed != expected.out)
		why = "stdout differs from the reference: \"" + printed + "\"";
	if (why.empty() && status != (diagnostics.empty() ? 0 : 1))
		why = "status " + std::to_string(status) + " with stderr \"" + diagnostics + "\"";
	return why.empty() ? "" : std::string(option) + ": " + why;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static const std::string path = "/tmp/txd-fuzz-" + std::to_string(getpid()) + ".img";
	invariant::bytes before(data, data + size);
	std::string why = check_run(path, before, "-v");
	if (why.empty())
		why = check_run(path, before, "-tv");
	if (!why.empty()) {
		std::fprintf(stderr, "invariant broken: %s\n", why.c_str());
		std::abort();
	}
	return 0;
}
