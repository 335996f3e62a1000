// What the command line asks for: the options and the operands, the help,
// and every usage error, said before anything is opened.
#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <getopt.h>

#include "platform/file_access.h"
#include "report/lines.h"
#include "usage.h"

enum { OPTION_TOTALS = 256, OPTION_CHECK, OPTION_RESTORE, OPTION_JSON, OPTION_NO_PRESERVE_ROOT, OPTION_WAIT };

// The most requests in flight any run may ask for.
static const unsigned MOST_JOBS = 256;

// The leading '-' returns operands in order, so options count wherever they
// stand before "--", whatever POSIXLY_CORRECT says; the ':' after it tells
// a missing argument from an unknown option.
static const char SHORT_OPTIONS[] = "-:bHnpqtuvxhVj:";
static const option LONG_OPTIONS[] = {
    {"backup", no_argument, nullptr, 'b'},
    {"check", no_argument, nullptr, OPTION_CHECK},
    {"dry-run", no_argument, nullptr, 'n'},
    {"help", no_argument, nullptr, 'h'},
    {"jobs", required_argument, nullptr, 'j'},
    {"json", no_argument, nullptr, OPTION_JSON},
    {"keep-undo", no_argument, nullptr, 'u'},
    {"no-preserve-root", no_argument, nullptr, OPTION_NO_PRESERVE_ROOT},
    {"one-file-system", no_argument, nullptr, 'x'},
    {"preserve", no_argument, nullptr, 'p'},
    {"quiet", no_argument, nullptr, 'q'},
    {"restore", no_argument, nullptr, OPTION_RESTORE},
    {"totals", no_argument, nullptr, OPTION_TOTALS},
    {"txd", no_argument, nullptr, 't'},
    {"verbose", no_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, 'V'},
    {"wait", required_argument, nullptr, OPTION_WAIT},
    {"with-filename", no_argument, nullptr, 'H'},
    {nullptr, 0, nullptr, 0},
};

// How many long options start with the name given in word ("--name[=x]").
static int long_options_matching(const char *word)
{
	std::size_t n = std::strcspn(word + 2, "=");
	int matches = 0;
	for (const option *o = LONG_OPTIONS; o->name != nullptr; o++)
		matches += std::strncmp(o->name, word + 2, n) == 0;
	return matches;
}

// Whether a and b (of n and m bytes) are one insertion, deletion or
// change apart.
static bool one_edit_apart(const char *a, std::size_t n, const char *b, std::size_t m)
{
	if (n > m)
		return one_edit_apart(b, m, a, n);
	if (m - n > 1)
		return false;
	std::size_t i = 0;
	while (i < n && a[i] == b[i])
		i++;
	if (n == m) // one changed, past the first difference all alike
		return i < n && std::strncmp(a + i + 1, b + i + 1, n - i - 1) == 0;
	return std::strncmp(a + i, b + i + 1, n - i) == 0; // one more in b
}

// The long option one edit from the name given in word ("--name[=x]"), or
// null.
static const char *meant_option(const char *word)
{
	std::size_t n = std::strcspn(word + 2, "=");
	for (const option *o = LONG_OPTIONS; o->name != nullptr; o++)
		if (one_edit_apart(word + 2, n, o->name, std::strlen(o->name)))
			return o->name;
	return nullptr;
}

// A usage error's words, as they are: the lines show them as their stream
// allows.
struct message {
	line_stream nowhere;
	line l;
};

static line &begin_message(message &m)
{
	m.nowhere = {nullptr, false, false, 0, false};
	m.l = {};
	start_line(m.l, m.nowhere);
	return m.l;
}

static int tell_usage_error(report &r, message &m)
{
	tell_usage(r, m.l.text != nullptr ? m.l.text : "not enough memory to say what is wrong with the options");
	release_line(m.l);
	return EXIT_USAGE;
}

// The letter getopt refused is the first of the bundle that is none of
// ours; a UTF-8 character is all its bytes. Returns where it starts.
static std::size_t refused_letter(const char *word, std::size_t *length)
{
	std::size_t at = 1 + std::strspn(word + 1, SHORT_OPTIONS + 2), n = 1;
	while ((static_cast<unsigned char>(word[at + n]) & 0xC0) == 0x80)
		n++;
	*length = n;
	return at;
}

// No option but -j takes an argument, so a long option that getopt refuses
// with a letter was given one; without, it is unknown or ambiguous. word is the
// argument that held it.
static int usage_error(report &r, const char *word)
{
	message m;
	line &l = begin_message(m);
	if (word[1] == '-') { // every word getopt refuses starts with '-'
		bool ambiguous = optopt == 0 && long_options_matching(word) > 1;
		const char *meant = optopt == 0 && !ambiguous ? meant_option(word) : nullptr;
		line_add(l, optopt != 0 || ambiguous ? "option '" : "unknown option '");
		line_add_shown_n(l, word, std::strcspn(word, "="));
		line_add(l, optopt != 0 ? "' takes no argument" : ambiguous ? "' is ambiguous" : "'");
		if (meant != nullptr) {
			line_add(l, "; did you mean '--");
			line_add(l, meant);
			line_add(l, "'?");
		}
	} else {
		std::size_t n, at = refused_letter(word, &n);
		bool dash = word[at] == '-'; // "-n-": the dash alone would read as "--"
		line_add(l, dash ? "unknown option '" : "unknown option '-");
		line_add_shown_n(l, word + at, n);
		line_add(l, "'");
		if (dash) {
			line_add(l, " in '");
			line_add_shown(l, word);
			line_add(l, "'");
		}
	}
	return tell_usage_error(r, m);
}

// "BEFORE SHOWN AFTER", shown being n bytes of the command line: an error
// in the options as a whole.
static int usage_error_about(report &r, const char *before, const char *shown, std::size_t n, const char *after)
{
	message m;
	line &l = begin_message(m);
	line_add(l, before);
	line_add_shown_n(l, shown, n);
	line_add(l, after);
	return tell_usage_error(r, m);
}

// -j or --jobs given without its number.
static int missing_number(report &r, const char *word)
{
	return usage_error_about(r, "option '", word, std::strcspn(word, "="), "' needs a number of jobs");
}

// The number of -j: decimal digits alone, 1 to MOST_JOBS.
static bool parse_jobs(const char *text, unsigned *jobs)
{
	unsigned long n = 0;
	for (const char *d = text; *d >= '0' && *d <= '9' && n <= MOST_JOBS; d++)
		n = n * 10 + static_cast<unsigned long>(*d - '0');
	*jobs = static_cast<unsigned>(n);
	return text[0] != '\0' && text[std::strspn(text, "0123456789")] == '\0' && n >= 1 && n <= MOST_JOBS;
}

// The seconds of --wait: decimal digits alone, 0 to a day.
static bool parse_wait(const char *text, unsigned *seconds)
{
	unsigned long n = 0;
	for (const char *d = text; *d >= '0' && *d <= '9' && n <= 86400; d++)
		n = n * 10 + static_cast<unsigned long>(*d - '0');
	*seconds = static_cast<unsigned>(n);
	return text[0] != '\0' && text[std::strspn(text, "0123456789")] == '\0' && n <= 86400;
}

static int bad_jobs(report &r, const char *text)
{
	return usage_error_about(r, "the number of jobs must be 1 to 256, not '", text, std::strlen(text), "'");
}

static int usage_error_text(report &r, const char *what)
{
	return usage_error_about(r, what, "", 0, "");
}

static bool set_option(command &c, int letter)
{
	switch (letter) {
	case 'b': c.run.backup = true; break;
	case 'H': c.with_filename = true; break;
	case 'n': c.run.dry_run = true; break;
	case 'p': c.run.preserve = true; break;
	case 'q': c.quiet = true; break;
	case 't': c.loose = true; break;
	case 'u': c.run.keep_undo = true; break;
	case 'v': c.verbose = true; break;
	case 'x': c.one_file_system = true; break;
	case OPTION_NO_PRESERVE_ROOT: c.no_preserve_root = true; break;
	case OPTION_TOTALS: c.totals = true; break;
	case OPTION_CHECK: c.check = c.run.dry_run = c.quiet = true; break;
	case OPTION_RESTORE: c.restore = true; break;
	case OPTION_JSON: c.json = true; break;
	default: return false;
	}
	return true;
}

static bool is_ascii_letter(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "/n", "/nv", "/?": what a Windows user writes for an option.
static bool reads_as_windows_option(const char *word)
{
	const char *end = word + std::strlen(word);
	return word[0] == '/' && (std::strcmp(word, "/?") == 0 || (end - word >= 2 && std::all_of(word + 1, end, is_ascii_letter)));
}

// The option a Windows-style word stands for here, without its '/':
// "-h" for "?", "-nv" when each letter is an option, "--totals" for a
// long option's name; empty when none.
static void add_meant_option(line &l, const char *letters)
{
	bool all_short = std::all_of(letters, letters + std::strlen(letters),
	                             [](char c) { return c != ':' && std::strchr(SHORT_OPTIONS + 2, c) != nullptr; });
	bool long_name = std::any_of(LONG_OPTIONS, LONG_OPTIONS + sizeof LONG_OPTIONS / sizeof *LONG_OPTIONS - 1,
	                             [&](const option &o) { return std::strcmp(o.name, letters) == 0; });
	if (std::strcmp(letters, "?") != 0 && !all_short && !long_name)
		return;
	line_add(l, " (did you mean ");
	line_add(l, std::strcmp(letters, "?") == 0 ? "-h" : all_short ? "-" : "--");
	line_add(l, std::strcmp(letters, "?") == 0 ? "" : letters);
	line_add(l, "?)");
}

// On POSIX "/n" is a path, but one that names nothing was surely meant as
// an option: going on would repair the other FILEs without it.
static int windows_option_here(report &r, const char *word)
{
	message m;
	line &l = begin_message(m);
	line_add_shown(l, word);
	line_add(l, ": no such file; options start with '-' here");
	add_meant_option(l, word + 1);
	return tell_usage_error(r, m);
}

static bool names_nothing(const char *path)
{
	return kind_of_path(path) == PATH_MISSING && errno == ENOENT;
}

// What no operand may be, told before anything is opened: an empty name
// (an unset variable), the root of the system unless asked for (an unset
// variable before a '/'), and on POSIX a Windows-style option naming
// nothing.
static int check_operands(report &r, const command &c)
{
	for (int i = 0; i < c.count; i++)
		if (c.operands[i][0] == '\0')
			return usage_error_text(r, "an empty name was given");
	for (int i = 0; i < c.count; i++) {
		const char *operand = c.operands[i];
		if (!WINDOWS_COMMAND_LINE && i < c.before_double_dash && reads_as_windows_option(operand) && names_nothing(operand))
			return windows_option_here(r, operand);
		if (!c.no_preserve_root && is_system_root(operand))
			return usage_error_about(r, "refusing to search '", operand, std::strlen(operand),
			                         "' (use --no-preserve-root to search it)");
	}
	return -1;
}

// Reads every option and gathers the operands; -1 when the files are to
// be handled, else the exit status. An operand is moved only towards the
// front, over arguments getopt has already read.
static int parse_options(int argc, char *argv[], report &r, command &c)
{
	c.operands = argv + 1;
	opterr = 0;
	optind = 0; // a fresh scan, even when called again in one process
	for (;;) {
		int word = std::max(optind, 1);
		int letter = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS, nullptr);
		if (letter == -1)
			break;
		if (letter == 1)
			c.operands[c.count++] = optarg;
		else if (letter == 'h')
			return tell_text(r, USAGE), EXIT_CLEAN;
		else if (letter == 'V')
			return tell_text(r, "txd-depth-fix " TXD_VERSION "\n"), EXIT_CLEAN;
		else if (letter == ':' && optopt == 'j')
			return missing_number(r, argv[word]);
		else if (letter == ':' && optopt == OPTION_WAIT)
			return usage_error_about(r, "option '", argv[word], std::strcspn(argv[word], "="), "' needs a number of seconds");
		else if (letter == ':') // some getopts say so of an argument given to an option that takes none
			return usage_error(r, argv[word]);
		else if (letter == 'j' && !parse_jobs(optarg, &c.jobs))
			return bad_jobs(r, optarg);
		else if (letter == OPTION_WAIT && !parse_wait(optarg, &c.run.wait))
			return usage_error_about(r, "the seconds to wait must be 0 to 86400, not '", optarg, std::strlen(optarg), "'");
		else if (letter != 'j' && letter != OPTION_WAIT && !set_option(c, letter))
			return usage_error(r, argv[word]);
	}
	c.before_double_dash = c.count;
	for (int i = optind; i < argc; i++)
		c.operands[c.count++] = argv[i];
	if (c.restore && (c.run.backup || c.run.keep_undo || c.loose || c.check))
		return usage_error_text(r, c.check ? "--restore cannot be combined with --check"
		                           : c.run.backup ? "--restore cannot be combined with -b"
		                           : c.run.keep_undo ? "--restore cannot be combined with -u"
		                                          : "--restore cannot be combined with -t");
	return check_operands(r, c);
}


// "/?" cannot name a file on Windows, and is how its programs are asked
// for help; elsewhere it is a path like any other.
static bool asks_for_windows_help(int argc, char *argv[])
{
	for (int i = 1; WINDOWS_COMMAND_LINE && i < argc && std::strcmp(argv[i], "--") != 0; i++)
		if (std::strcmp(argv[i], "/?") == 0)
			return true;
	return false;
}

// A Windows user who writes "/n" means an option, not the file n at the
// root of the drive: an argument of '/' and letters alone is refused
// before anything is opened. Returns it, or null.
static const char *windows_style_option(int argc, char *argv[])
{
	for (int i = 1; WINDOWS_COMMAND_LINE && i < argc && std::strcmp(argv[i], "--") != 0; i++) {
		const char *a = argv[i], *end = a + std::strlen(a);
		if (a[0] == '/' && end - a >= 2 && std::all_of(a + 1, end, is_ascii_letter))
			return a;
	}
	return nullptr;
}

static int refuse_windows_style_option(report &r, const char *word)
{
	return usage_error_about(r, "unknown option '", word, std::strlen(word), "' (options start with '-')");
}

int read_options(int argc, char *argv[], report &r, command &c)
{
	c.jobs = DEFAULT_JOBS;
	c.run.wait = DEFAULT_WAIT;
	if (asks_for_windows_help(argc, argv))
		return tell_text(r, USAGE), EXIT_CLEAN;
	if (const char *word = windows_style_option(argc, argv))
		return refuse_windows_style_option(r, word);
	return parse_options(argc, argv, r, c);
}
