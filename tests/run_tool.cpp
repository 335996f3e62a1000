#include "run_tool.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "command_line.h"
#include "report/drop_window.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/prctl.h>
#endif
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

run_output run_in_process(const std::vector<std::string> &args, const std::string &out_path,
                          const std::string &err_path, run_summary *summary)
{
	std::vector<std::string> words{"txd-depth-fix"};
	words.insert(words.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (std::string &w : words)
		argv.push_back(&w[0]);
	argv.push_back(nullptr);
	std::FILE *out = std::fopen(out_path.c_str(), "w"), *err = std::fopen(err_path.c_str(), "w");
	run_output r;
	run_setup setup = {summary != nullptr ? drop_window_listener(*summary) : listener{nullptr, nullptr},
	                   summary != nullptr && summary->keep, summary == nullptr || !summary->keep,
	                   summary != nullptr && summary->keep};
	if (out != nullptr && err != nullptr)
		r.status = txd_depth_fix(static_cast<int>(words.size()), argv.data(), out, err, &setup);
	for (std::FILE *f : {out, err})
		if (f != nullptr)
			std::fclose(f);
	r.out = read_text(out_path);
	r.err = read_text(err_path);
	return r;
}

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

static std::wstring wide(const std::string &utf8)
{
	int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
	std::wstring w(n > 0 ? static_cast<std::size_t>(n) : 1, L'\0');
	MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &w[0], n);
	w.resize(w.size() - 1);
	return w;
}

// One argument as the C runtime splits a command line: quoted, with the
// backslashes before a quote, and the quotes, escaped.
static std::wstring quoted(const std::wstring &arg)
{
	std::wstring q = L"\"";
	std::size_t backslashes = 0;
	for (wchar_t c : arg) {
		if (c == L'\\') {
			backslashes++;
			continue;
		}
		q.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
		backslashes = 0;
		q += c;
	}
	q.append(2 * backslashes, L'\\');
	return q + L"\"";
}

static HANDLE inheritable_file(const std::string &path)
{
	SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
	return CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
	                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Started directly, without cmd.exe, whose own start-up failed under load.
run_output run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::string &out_path, const std::string &err_path, const run_limits &limits)
{
	std::wstring command = quoted(wide(windows_path(program)));
	for (const std::string &a : args)
		command += L" " + quoted(wide(a));
	run_output r;
	HANDLE out = inheritable_file(limits.stdout_path ? limits.stdout_path : out_path);
	HANDLE err = inheritable_file(err_path);
	SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
	HANDLE reader = INVALID_HANDLE_VALUE;
	if (limits.stdout_reader_gone && out != INVALID_HANDLE_VALUE) { // a pipe whose reader closed it first
		CloseHandle(out);
		if (!CreatePipe(&reader, &out, &inherit, 0))
			out = INVALID_HANDLE_VALUE;
		else
			CloseHandle(reader);
	}
	STARTUPINFOW start{};
	start.cb = sizeof start;
	start.dwFlags = STARTF_USESTDHANDLES;
	start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
	start.hStdOutput = out;
	start.hStdError = err;
	PROCESS_INFORMATION child{};
	DWORD code = 0;
	if (out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
	    CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child)) {
		WaitForSingleObject(child.hProcess, INFINITE);
		if (GetExitCodeProcess(child.hProcess, &code))
			r.status = static_cast<int>(code);
		CloseHandle(child.hProcess);
		CloseHandle(child.hThread);
	}
	for (HANDLE h : {out, err})
		if (h != INVALID_HANDLE_VALUE)
			CloseHandle(h);
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

// Root without CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER and
// CAP_CHOWN after the exec: file modes and owners then bind it as they
// bind any user,
// while it still reaches the build folders that the tests run from, which
// another user may not.
static bool drop_file_permission_override()
{
#ifdef __linux__
	return prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) == 0 &&
	       prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) == 0 && prctl(PR_CAPBSET_DROP, CAP_FOWNER, 0, 0, 0) == 0 &&
	       prctl(PR_CAPBSET_DROP, CAP_CHOWN, 0, 0, 0) == 0;
#else
	return setgid(65534) == 0 && setuid(65534) == 0;
#endif
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
	int out = open(limits.stdout_path ? limits.stdout_path : out_path.c_str(),
	               O_WRONLY | O_CREAT | (limits.stdout_append ? O_APPEND : O_TRUNC), 0600);
	int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
		_exit(126);
	int reader_gone[2];
	if (limits.stdout_reader_gone && (pipe(reader_gone) != 0 || dup2(reader_gone[1], 1) < 0 || close(reader_gone[0]) != 0))
		_exit(126);
	if (limits.closed_fd >= 0)
		close(limits.closed_fd);
	if (limits.unprivileged && getuid() == 0 && !drop_file_permission_override())
		_exit(126);
	// As a shell starts it: the tool must see to these itself.
	signal(SIGXFSZ, SIG_DFL);
	signal(SIGPIPE, SIG_DFL);
	if (limits.fault != nullptr) {
#ifdef TXD_FAULT_SHIM
		if (setenv("LD_PRELOAD", TXD_FAULT_SHIM, 1) != 0 || setenv("TXD_FAULT", limits.fault, 1) != 0)
			_exit(126);
#else
		_exit(125);
#endif
	}
	if (limits.seconds != 0)
		alarm(limits.seconds); // outlives the exec
	limit(RLIMIT_FSIZE, limits.file_size);
	limit(RLIMIT_AS, limits.address_space);
	limit(RLIMIT_NOFILE, limits.open_files);
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
	bool stopped = false;
	while (pid > 0 && waitpid(pid, &wstatus, WUNTRACED) == pid && WIFSTOPPED(wstatus)) {
		stopped = true;
		if (!limits.killed_when_stopped && limits.while_stopped)
			limits.while_stopped();
		kill(pid, limits.killed_when_stopped ? SIGKILL : SIGCONT);
	}
	if (stopped && limits.killed_when_stopped && limits.while_stopped)
		limits.while_stopped(); // once it is gone
	if (pid < 0 || !(WIFEXITED(wstatus) || WIFSIGNALED(wstatus)))
		return r;
	r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
	r.out = read_text(out_path);
	r.err = read_text(err_path);
	return r;
}

#endif
