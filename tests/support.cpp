#include "support.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "report/drop_window.h"

#ifdef _WIN32
#include <process.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

std::string scratch_path(const std::string &leaf)
{
	const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
	std::string name = std::string(info->test_suite_name()) + "." + info->name();
	for (char &c : name)
		if (c == '/')
			c = '_';
#ifdef _WIN32
	int pid = _getpid();
#else
	int pid = static_cast<int>(getpid());
#endif
	return ::testing::TempDir() + "txd-" + std::to_string(pid) + "-" + name + "-" + leaf;
}

bytes read_file(const std::string &path)
{
	std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
	return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const bytes &data)
{
	std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
	out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
	ASSERT_TRUE(out.good()) << path;
}

// A run started while another is stopped has files of its own.
static std::string output_path(const char *stream)
{
	static int runs = 0;
	return scratch_path(stream + std::to_string(++runs));
}

run_result run_tool(const std::vector<std::string> &args, const run_limits *limits)
{
	std::string out_path = output_path("stdout"), err_path = output_path("stderr");
	run_result r;
	static_cast<run_output &>(r) = limits != nullptr ? run_program(TXD_DEPTH_FIX, args, out_path, err_path, *limits)
	                                                 : run_in_process(args, out_path, err_path);
	std::remove(out_path.c_str());
	std::remove(err_path.c_str());
	return r;
}

run_result run_held(const std::vector<std::string> &args, run_summary &summary)
{
	std::string out_path = scratch_path("stdout"), err_path = scratch_path("stderr");
	run_result r;
	summary.keep = true;
	static_cast<run_output &>(r) = run_in_process(args, out_path, err_path, &summary);
	std::remove(out_path.c_str());
	std::remove(err_path.c_str());
	return r;
}

run_result run_tool_program(const std::string &program, const std::vector<std::string> &args)
{
	std::string out_path = scratch_path("stdout"), err_path = scratch_path("stderr");
	run_result r;
	static_cast<run_output &>(r) = run_program(program, args, out_path, err_path, run_limits{});
	std::remove(out_path.c_str());
	std::remove(err_path.c_str());
	return r;
}

run_result run_on(const bytes &image, const run_limits *limits, std::string *path_out, std::vector<std::string> args)
{
	std::string path = scratch_path("archive.img");
	write_file(path, image);
	args.push_back(path);
	run_result r = run_tool(args, limits);
	r.after = read_file(path);
	std::remove(path.c_str());
	if (path_out != nullptr)
		*path_out = path;
	return r;
}

const std::string file_letters = "abdocktesv";

std::string json_text(const std::string &path)
{
	return std::regex_replace(path, std::regex(R"(\\)"), R"(\\)");
}

std::string expand(const std::string &templ, const std::string &stem)
{
	std::string out;
	for (std::size_t i = 0; i < templ.size(); i++) {
		char f = i + 1 < templ.size() ? templ[i + 1] : '\0';
		if (templ[i] != '@')
			out += templ[i];
		else if (f == '\0' || file_letters.find(f) == std::string::npos)
			out += stem;
		else {
			out += stem + f + (std::strchr("tesv", f) != nullptr ? ".txd" : f == 'k' ? ".img.bak" : ".img");
			i++;
		}
	}
	return out;
}

std::string as_checked(const std::string &lines)
{
	static const std::regex line("Patching (.*) patched ([0-9]+) textures");
	std::string checked = std::regex_replace(lines, line, "Checking $1 found $2 textures to repair");
	return std::regex_replace(checked, std::regex(" found 1 textures"), " found 1 texture");
}

bytes whole_sector(bytes data)
{
	data.resize(2048, 0);
	return data;
}

static bool seek64(std::FILE *f, std::uint64_t pos)
{
#ifdef _WIN32
	return _fseeki64(f, static_cast<long long>(pos), SEEK_SET) == 0;
#else
	return fseeko(f, static_cast<off_t>(pos), SEEK_SET) == 0;
#endif
}

void write_sparse(const std::string &path, std::uint64_t size, const std::vector<std::pair<std::uint64_t, bytes>> &parts)
{
	std::FILE *f = std::fopen(path.c_str(), "wb");
	ASSERT_NE(f, nullptr);
	for (const auto &[pos, b] : parts)
		ASSERT_TRUE(seek64(f, pos) && std::fwrite(b.data(), 1, b.size(), f) == b.size());
	ASSERT_EQ(std::fclose(f), 0);
	std::filesystem::resize_file(path, size);
}

bytes read_at(const std::string &path, std::uint64_t pos, std::size_t n)
{
	bytes b(n);
	std::FILE *in = std::fopen(path.c_str(), "rb");
	EXPECT_TRUE(in != nullptr && seek64(in, pos) && std::fread(b.data(), 1, n, in) == n);
	if (in != nullptr)
		std::fclose(in);
	return b;
}

#ifdef _WIN32
const bool posix = false;
bool make_fifo(const std::string &, unsigned) { return false; }
bool make_symlink(const std::string &, const std::string &) { return false; }
bool set_mode(const std::string &, unsigned) { return false; }
bool set_environment(const char *, const char *) { return false; }
void give_away(const std::string &) {}
bool running_as_root() { return false; }
#else
const bool posix = true;

bool make_fifo(const std::string &path, unsigned mode)
{
	return mkfifo(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

bool make_symlink(const std::string &target, const std::string &path)
{
	return symlink(target.c_str(), path.c_str()) == 0;
}

bool set_mode(const std::string &path, unsigned mode)
{
	return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

bool set_environment(const char *name, const char *value)
{
	return value != nullptr ? setenv(name, value, 1) == 0 : unsetenv(name) == 0;
}

bool running_as_root()
{
	return getuid() == 0;
}

void give_away(const std::string &path)
{
	if (getuid() == 0) {
		EXPECT_EQ(chown(path.c_str(), 65534, 65534), 0) << path;
	}
}
#endif

bool plain_allocator()
{
#ifdef TXD_SANITIZED
	return false;
#else
	return !under_emulator();
#endif
}

bool have_fault_shim()
{
#ifdef TXD_FAULT_SHIM
	return true;
#else
	return false;
#endif
}
