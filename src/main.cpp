// txd-depth-fix: sets to 16 the recorded depth of 16-bit textures that claim
// 8 or 4 bits per pixel, in the texture dictionaries of VER2 archives, in place.
// This file starts the process: standard descriptors, signals, the command
// line in UTF-8, the exit status.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include "platform/file_access.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include "command_line.h"
#include "format/archive.h"
#include "options.h"
#include "platform/console_access.h"
#include "report/drop_window.h"

// Whether the n bytes at text are word, ASCII letters in any case: Windows
// finds a program whatever the case of its name.
static bool same_letters(const char *text, std::size_t n, const char *word)
{
	std::size_t i = 0;
	while (i < n && word[i] != '\0' && ascii_lower(static_cast<unsigned char>(text[i])) == word[i])
		i++;
	return i == n && word[i] == '\0';
}

// Under a name that ends in "-restore" (the Windows zip holds the program
// a second time as txd-depth-fix-restore.exe), the program restores: files
// dropped onto it are undone, with no option to give.
static bool named_to_restore(const char *program)
{
	static const char END[] = "-restore";
	const std::size_t end = sizeof END - 1;
	const char *name = program, *dot;
	for (const char *c = program; *c != '\0'; c++)
		if (*c == '/' || *c == '\\')
			name = c + 1;
	std::size_t n = std::strlen(name);
	if ((dot = std::strrchr(name, '.')) != nullptr && same_letters(dot, std::strlen(dot), ".exe"))
		n = static_cast<std::size_t>(dot - name);
	return n >= end && same_letters(name + n - end, end, END);
}

static int run(int argc, char *argv[])
{
	if (!open_standard_descriptors())
		return EXIT_REPORTED;
#ifndef _WIN32
	// A reader that goes away, or a file-size limit, must not stop the
	// repair half way: the failed write is reported and the run goes on.
	signal(SIGPIPE, SIG_IGN);
	signal(SIGXFSZ, SIG_IGN);
#endif
	// Each line is handed over whole, in one write, so that several runs
	// sharing a pipe never tear one another's lines.
	std::setvbuf(stdout, nullptr, _IONBF, 0);
	run_summary summary = {};
	summary.keep = console_window_closes_at_exit();
	summary.restore = argc > 0 && named_to_restore(argv[0]);
	char restore[] = "--restore";
	bool restoring = summary.restore && argc > 1; // with nothing to restore, as the program with nothing
	char **args = restoring ? static_cast<char **>(std::calloc(static_cast<std::size_t>(argc) + 2, sizeof *args)) : argv;
	if (args == nullptr) {
		std::fputs("txd-depth-fix: not enough memory for the arguments\n", stderr);
		return EXIT_REPORTED;
	}
	if (restoring) {
		args[0] = argv[0], args[1] = restore;
		std::memcpy(args + 2, argv + 1, static_cast<std::size_t>(argc - 1) * sizeof *args);
	}
	// A window that shows its problems again after the run keeps them; its
	// lines leave out what needs nothing, and its own hint says how to start.
	// A drop has no way to ask for a way back, and may be of the only copy:
	// it keeps an undo record.
	run_setup setup = {summary.keep ? drop_window_listener(summary) : listener{nullptr, nullptr}, summary.keep,
	                   !summary.keep, summary.keep};
	int status = txd_depth_fix(restoring ? argc + 1 : argc, args, stdout, stderr, &setup);
	if (restoring)
		std::free(args);
	bool already_reported = std::ferror(stdout) != 0;
	if (std::fclose(stdout) != 0 && !already_reported) {
		std::fprintf(stderr, "txd-depth-fix: standard output: %s\n", std::strerror(errno));
		status = EXIT_REPORTED;
	}
	if (summary.keep)
		hold_console_window(summary);
	release_summary(summary);
	return status;
}

#ifdef _WIN32
// The wide command line, so that paths outside the ANSI code page arrive
// whole; the tool carries them as UTF-8.
int wmain(int argc, wchar_t *wargv[])
{
	char **argv = static_cast<char **>(std::calloc(static_cast<std::size_t>(argc) + 1, sizeof *argv));
	for (int i = 0; argv != nullptr && i < argc; i++)
		if ((argv[i] = utf8_from_wide(wargv[i])) == nullptr)
			argv = nullptr;
	if (argv == nullptr) {
		std::fputs("txd-depth-fix: not enough memory for the arguments\n", stderr);
		return EXIT_REPORTED;
	}
	return run(argc, argv);
}
#else
int main(int argc, char *argv[])
{
	return run(argc, argv);
}
#endif
