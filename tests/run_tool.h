// Runs the tool in process, or as a child process on any host: fork and
// exec on POSIX (behind the cross-build emulator when there is one),
// CreateProcessW on Windows.
#ifndef TXD_DEPTH_FIX_RUN_TOOL_H
#define TXD_DEPTH_FIX_RUN_TOOL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct run_limits {
	std::uint64_t file_size = 0;       // RLIMIT_FSIZE in bytes, 0 for none (POSIX)
	std::uint64_t address_space = 0;   // RLIMIT_AS in bytes, 0 for none (POSIX)
	std::uint64_t open_files = 0;      // RLIMIT_NOFILE, 0 for none (POSIX)
	const char *stdout_path = nullptr; // where stdout goes; default: captured
	bool stdout_append = false;        // stdout_path opened as ">>" does (POSIX)
	const char *fault = nullptr;       // the call the preloaded fault shim fails (TXD_FAULT)
	int closed_fd = -1;                // a standard descriptor to start closed (POSIX)
	bool stdout_reader_gone = false;   // stdout a pipe with no reader (POSIX)
	bool unprivileged = false;         // bound by file modes even when run as root (POSIX)
	unsigned seconds = 0;              // killed after this long, as a run that hangs (POSIX); 0 for never
	std::function<void()> while_stopped; // when the shim stops it ("stop ..."): run meanwhile, then resume it (POSIX)
	bool killed_when_stopped = false;    // or kill it there, and run while_stopped once it is gone
};

struct run_output {
	std::string out, err; // line endings as "\n" on every host
	int status = -1;      // exit status, -1 when killed by a signal
};

// Runs program with args; stdout and stderr go through the files out_path
// and err_path, never a pipe that could block.
run_output run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::string &out_path, const std::string &err_path, const run_limits &limits);

struct run_summary;

// Calls the run with args after the program's name, its output going
// through the files out_path and err_path; summary as the held window has
// it, when given.
run_output run_in_process(const std::vector<std::string> &args, const std::string &out_path,
                          const std::string &err_path, run_summary *summary = nullptr);

// The tests run through qemu or wine, which reserve address space of their
// own: RLIMIT_AS then starves the emulator, not the tool.
bool under_emulator();

#endif
