#include "command_line.h"

#include <cerrno>
#include <cstring>
#include <getopt.h>

#include "patch_run.h"

static const char USAGE[] =
    "usage: txd-depth-fix [-n] [-v] [-t] [--] FILE...\n"
    "       txd-depth-fix -h | --help\n"
    "       txd-depth-fix -V | --version\n"
    "Sets to 16 the recorded depth of 16-bit textures that claim 8 or 4 bits\n"
    "per pixel, in the texture dictionaries of each VER2 archive FILE, in place.\n"
    "\n"
    "  -n, --dry-run  open every FILE read-only and write nothing\n"
    "  -v, --verbose  after each line, one line per depth changed\n"
    "  -t, --txd      each FILE is one loose texture dictionary, not an archive\n"
    "  -h, --help     print this help and exit\n"
    "  -V, --version  print the version and exit\n"
    "\n"
    "Exit status: 0 when nothing was reported, 1 when anything was,\n"
    "2 for a usage error.\n";

static const char SHORT_OPTIONS[] = "nvthV";
static const option LONG_OPTIONS[] = {
    {"dry-run", no_argument, nullptr, 'n'}, {"verbose", no_argument, nullptr, 'v'},
    {"txd", no_argument, nullptr, 't'},     {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'}, {nullptr, 0, nullptr, 0},
};

// No option takes an argument, so getopt's optopt tells the three errors
// apart: a letter of ours is a long option given an argument, 0 an unknown
// long option, any other letter an unknown short one. A long option is
// always the argument just passed.
static int usage_error(char *argv[], std::FILE *err)
{
	const char *given = argv[optind - 1];
	if (optopt == 0)
		std::fprintf(err, "txd-depth-fix: unknown option '%s'\n", given);
	else if (std::strchr(SHORT_OPTIONS, optopt) != nullptr)
		std::fprintf(err, "txd-depth-fix: option '%.*s' takes no argument\n",
		             static_cast<int>(std::strcspn(given, "=")), given);
	else
		std::fprintf(err, "txd-depth-fix: unknown option '-%c'\n", optopt);
	std::fputs("Try 'txd-depth-fix --help' for more information.\n", err);
	return EXIT_USAGE;
}

// A report lost to a full disk or a closed pipe is a failure, not a success.
static int flush_output(std::FILE *out, std::FILE *err, int status)
{
	int why = std::fflush(out) != 0 ? errno : 0;
	if (why == 0 && !std::ferror(out))
		return status;
	std::fprintf(err, "txd-depth-fix: standard output: %s\n", why != 0 ? std::strerror(why) : "write error");
	return status == EXIT_CLEAN ? EXIT_REPORTED : status;
}

// Returns -1 when the files are to be handled, else the exit status.
static int parse_options(int argc, char *argv[], std::FILE *out, std::FILE *err, run_options *options)
{
	opterr = 0;
	optind = 0; // a fresh scan, even when called again in one process
	for (int c; (c = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1;) {
		switch (c) {
		case 'n':
			options->dry_run = true;
			break;
		case 'v':
			options->verbose = true;
			break;
		case 't':
			options->loose = true;
			break;
		case 'h':
			std::fputs(USAGE, out);
			return EXIT_CLEAN;
		case 'V':
			std::fputs("txd-depth-fix " TXD_VERSION "\n", out);
			return EXIT_CLEAN;
		default:
			return usage_error(argv, err);
		}
	}
	return -1;
}

int txd_depth_fix(int argc, char *argv[], std::FILE *out, std::FILE *err)
{
	run_options options = {false, false, false};
	int status = parse_options(argc, argv, out, err, &options);
	if (status >= 0)
		return flush_output(out, err, status);
	// Lines of several archives say which archive they come from, as grep's
	// do; a loose dictionary's line names its file already.
	bool prefixed = !options.loose && argc - optind > 1;
	status = EXIT_CLEAN;
	for (int i = optind; i < argc; i++)
		if (!fix_file(argv[i], prefixed ? argv[i] : nullptr, options, out, err))
			status = EXIT_REPORTED;
	return flush_output(out, err, status);
}

bool console_closes_at_exit(unsigned long console_processes, bool stdin_is_console)
{
	return console_processes == 1 && stdin_is_console;
}
