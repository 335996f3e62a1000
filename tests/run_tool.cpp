#include "run_tool.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

std::string read_text(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::string s{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
	std::string out;
	for (std::size_t i = 0; i < s.size(); i++)
		if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
			out += s[i];
	return out;
}

} // namespace

#ifdef _WIN32

bool under_emulator()
{
	return true;
}

// A host path of the cross build (/tmp/...) as wine sees it (Z:\tmp\...).
static std::string windows_path(std::string path)
{
	if (!path.empty() && path[0] == '/')
		path = "Z:" + path;
	for (char &c : path)
		if (c == '/')
			c = '\\';
	return path;
}

static std::string quoted(const std::string &s)
{
	return "\"" + s + "\"";
}

run_output run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::string &out_path, const std::string &err_path, const run_limits &limits)
{
	std::string command = quoted(windows_path(program));
	for (const std::string &a : args)
		command += " " + quoted(a);
	command += " >" + quoted(limits.stdout_path ? limits.stdout_path : out_path) + " 2>" + quoted(err_path);
	std::fflush(nullptr);
	run_output r;
	// cmd.exe /c strips one outer pair of quotes.
	r.status = std::system(quoted(command).c_str());
	r.out = read_text(out_path);
	r.err = read_text(err_path);
	return r;
}

#else

// The emulator, as words separated by blanks, e.g. "qemu-s390x -L /usr/...".
static std::vector<std::string> emulator()
{
	std::vector<std::string> words;
	const char *e = std::getenv("TXD_EMULATOR");
	std::istringstream in(e != nullptr ? e : "");
	for (std::string w; in >> w;)
		words.push_back(w);
	return words;
}

bool under_emulator()
{
	return !emulator().empty();
}

static void limit(int resource, std::uint64_t bytes)
{
	rlimit r{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
	if (bytes != 0 && setrlimit(resource, &r) != 0)
		_exit(126);
}

// In the child: files in place of stdout and stderr, limits, then exec.
[[noreturn]] static void exec_child(std::vector<std::string> words, const std::string &out_path,
                                    const std::string &err_path, const run_limits &limits)
{
	int out = open(limits.stdout_path ? limits.stdout_path : out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
		_exit(126);
	signal(SIGXFSZ, SIG_IGN); // an oversized write then fails with EFBIG
	if (limits.fault != nullptr) {
#ifdef TXD_FAULT_SHIM
		if (setenv("LD_PRELOAD", TXD_FAULT_SHIM, 1) != 0 || setenv("TXD_FAULT", limits.fault, 1) != 0)
			_exit(126);
#else
		_exit(125);
#endif
	}
	limit(RLIMIT_FSIZE, limits.file_size);
	limit(RLIMIT_AS, limits.address_space);
	std::vector<char *> argv;
	for (std::string &w : words)
		argv.push_back(&w[0]);
	argv.push_back(nullptr);
	execvp(argv[0], argv.data());
	_exit(127);
}

run_output run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::string &out_path, const std::string &err_path, const run_limits &limits)
{
	std::vector<std::string> words = emulator();
	words.push_back(program);
	words.insert(words.end(), args.begin(), args.end());
	std::fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0)
		exec_child(words, out_path, err_path, limits);
	run_output r;
	int wstatus = 0;
	if (pid < 0 || waitpid(pid, &wstatus, 0) != pid)
		return r;
	r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
	r.out = read_text(out_path);
	r.err = read_text(err_path);
	return r;
}

#endif
