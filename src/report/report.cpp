// Every line the run writes, whole, quoted for terminals; the counts and
// what a held window shows again.
#include "report/report.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/console_access.h"
#include "base/growth.h"
#include "format/little_endian.h"
#include "format/texture_patch.h"

void report_begin(report &r, std::FILE *out, std::FILE *err, run_summary *summary)
{
	r = {};
	r.out = out;
	r.err = err;
	r.summary = summary;
	r.out_terminal = is_terminal(out);
	r.err_terminal = is_terminal(err);
	r.out_console = is_console(out);
	r.err_console = is_console(err);
	// A pipe or a terminal has an identity too, which no file handled shares.
	io_handle stream = file_of_stream(out);
	r.out_known = stream != NO_HANDLE && inspect_file(stream, &r.out_facts);
}

void report_end(report &r)
{
	std::free(r.line);
}

bool is_standard_output(const report &r, const file_facts &f)
{
	return r.out_known && f.volume == r.out_facts.volume && f.index == r.out_facts.index;
}

// What the line holds so far goes out now, when it cannot grow.
static void spill(report &r, std::FILE *to)
{
	std::fwrite(r.line, 1, r.length, to);
	r.length = 0;
}

static void add_bytes(report &r, std::FILE *to, const char *bytes, std::size_t n)
{
	if (!grow(r.line, r.room, r.length + n)) {
		spill(r, to);
		std::fwrite(bytes, 1, n, to);
		return;
	}
	std::memcpy(r.line + r.length, bytes, n);
	r.length += n;
}

void line_add(report &r, std::FILE *to, const char *text)
{
	add_bytes(r, to, text, std::strlen(text));
}

// The bytes of the character that starts text (at most n of them), and
// whether a terminal must be shown '?' for it instead: a control (below
// 0x20, 0x7F, or U+0080 to U+009F, which some terminals obey as ESC
// sequences) or a byte that is no part of a well-formed UTF-8 character.
static std::size_t next_character(const unsigned char *text, std::size_t n, bool *unsafe)
{
	unsigned char c = text[0];
	std::size_t length = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
	bool formed = length > 0 && length <= n;
	for (std::size_t i = 1; formed && i < length; i++)
		formed = (text[i] & 0xC0) == 0x80;
	// Overlong forms, surrogates and values past U+10FFFF are malformed too.
	if (formed && length > 2) {
		unsigned char second = text[1];
		formed = !(c == 0xE0 && second < 0xA0) && !(c == 0xED && second >= 0xA0) && !(c == 0xF0 && second < 0x90) &&
		         !(c == 0xF4 && second >= 0x90);
	}
	*unsafe = !formed || c < 0x20 || c == 0x7F || (c == 0xC2 && text[1] <= 0x9F);
	return formed ? length : 1;
}

// On a terminal, control characters in a name or path could drive it, and
// malformed bytes could start one; they print as '?'. Anywhere else the
// bytes go out as they are.
void line_add_shown_n(report &r, std::FILE *to, const char *text, std::size_t n)
{
	bool terminal = to == r.out ? r.out_terminal : r.err_terminal;
	const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
	for (std::size_t i = 0, length; i < n; i += length) {
		bool unsafe = false;
		length = terminal ? next_character(bytes + i, n - i, &unsafe) : n - i;
		add_bytes(r, to, unsafe ? "?" : text + i, unsafe ? 1 : length);
	}
}

void line_add_shown(report &r, std::FILE *to, const char *text)
{
	line_add_shown_n(r, to, text, std::strlen(text));
}

void line_add_number(report &r, std::FILE *to, std::uint64_t n)
{
	char digits[24];
	std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(n));
	line_add(r, to, digits);
}

// One write per line: the stream is flushed before and after, so that an
// unbuffered or emptied stream hands the whole line to the system at once.
// A write to out that failed: a reader gone stops all later ones quietly.
static void out_failed(report &r)
{
	int err = errno != 0 ? errno : EIO;
	if (reader_gone(r.out, err))
		r.out_gone = true;
	else if (r.out_error == 0)
		r.out_error = err;
}

void line_end(report &r, std::FILE *to)
{
	add_bytes(r, to, "\n", 1);
	bool console = to == r.out ? r.out_console : r.err_console;
	bool skipped = to == r.out && r.out_gone;
	bool written =
	    skipped || (console && write_console(to, r.line, r.length)) || std::fwrite(r.line, 1, r.length, to) == r.length;
	if (!skipped && (std::fflush(to) != 0 || !written) && to == r.out)
		out_failed(r);
	r.length = 0;
}

// Whether a held window is to show again a line of k.
static bool keeping(const report &r)
{
	return r.summary != nullptr && r.summary->keep;
}

// Keeps n bytes of head, shown as on a terminal (the held window is one),
// and then tail, as one line for the held window while there is room;
// counted either way.
static void keep(kept_lines &k, const char *head, std::size_t n, const char *tail)
{
	std::size_t tail_n = std::strlen(tail), out = 0;
	char *line = k.kept < KEPT_LINES ? static_cast<char *>(std::malloc(n + tail_n + 1)) : nullptr;
	k.all++;
	if (line == nullptr)
		return;
	const unsigned char *bytes = reinterpret_cast<const unsigned char *>(head);
	for (std::size_t i = 0, length; i < n; i += length) {
		bool unsafe;
		length = next_character(bytes + i, n - i, &unsafe);
		std::memcpy(line + out, unsafe ? "?" : head + i, unsafe ? 1 : length);
		out += unsafe ? 1 : length;
	}
	std::memcpy(line + out, tail, tail_n + 1);
	k.lines[k.kept++] = line;
}

void release_summary(run_summary &s)
{
	for (kept_lines *k : {&s.problems, &s.left_alone})
		while (k->kept > 0)
			std::free(k->lines[--k->kept]);
}

void line_end_kept(report &r)
{
	if (keeping(r))
		keep(r.summary->problems, r.line, r.length, "");
	line_end(r, r.err);
}

void print_text(report &r, const char *text)
{
	if (std::fputs(text, r.out) == EOF || std::fflush(r.out) != 0)
		out_failed(r);
}

// What a held window's hint can name a next step for: a file another
// program has open, or access denied.
static unsigned kind_of_problem(int err)
{
	if (err == EBUSY || err == ETXTBSY)
		return SEEN_IN_USE;
	return err == EACCES || err == EPERM || err == EROFS ? SEEN_DENIED : 0;
}

// "txd-depth-fix: PATH: [NAME: ]", the start of every problem.
static void add_problem_start(report &r, const char *path, const char *name)
{
	line_add(r, r.err, "txd-depth-fix: ");
	line_add_shown(r, r.err, path);
	line_add(r, r.err, ": ");
	if (name != nullptr) {
		line_add_shown(r, r.err, name);
		line_add(r, r.err, ": ");
	}
}

// "WHAT: why", either alone, and the end of the line.
static void add_problem_end(report &r, const char *what, int err)
{
	if (what != nullptr)
		line_add(r, r.err, what);
	if (what != nullptr && err != 0)
		line_add(r, r.err, ": ");
	if (err != 0)
		line_add(r, r.err, std::strerror(err));
	line_end_kept(r);
	r.seen |= kind_of_problem(err);
}

void print_problem(report &r, const char *path, const char *name, const char *what, int err)
{
	add_problem_start(r, path, name);
	add_problem_end(r, what, err);
	r.totals.problems++;
}

void print_left_alone_problem(report &r, const char *path, const char *why, const char *other)
{
	add_problem_start(r, path, nullptr);
	line_add(r, r.err, "left alone: ");
	line_add(r, r.err, why);
	line_add(r, r.err, " ");
	line_add_shown(r, r.err, other);
	add_problem_end(r, nullptr, 0);
	r.totals.problems++;
	r.totals.left_alone++;
}

void print_in_use(report &r, const char *path)
{
	print_problem(r, path, nullptr, "cannot write: in use by another run", 0);
	r.seen |= SEEN_IN_USE;
}

void print_entry_problem(report &r, problem_fold &fold, const char *path, const char *name, const char *what, int err)
{
	std::size_t k = 0;
	while (k < fold.kinds && !(fold.what[k] == what && fold.err[k] == err))
		k++;
	if (k == fold.kinds && k < FOLD_KINDS)
		fold.what[k] = what, fold.err[k] = err, fold.count[k] = 0, fold.kinds++;
	if (k < fold.kinds && ++fold.count[k] > FOLD_AFTER)
		r.totals.problems++;
	else
		print_problem(r, path, name, what, err);
}

void print_folded(report &r, const problem_fold &fold, const char *path)
{
	for (std::size_t k = 0; k < fold.kinds; k++) {
		if (fold.count[k] <= FOLD_AFTER)
			continue;
		add_problem_start(r, path, nullptr);
		line_add(r, r.err, "... and ");
		line_add_number(r, r.err, fold.count[k] - FOLD_AFTER);
		line_add(r, r.err, fold.count[k] - FOLD_AFTER == 1 ? " more entry: " : " more entries: ");
		add_problem_end(r, fold.what[k], fold.err[k]);
	}
}

static void add_prefix(report &r, const char *prefix)
{
	if (prefix != nullptr) {
		line_add_shown(r, r.out, prefix);
		line_add(r, r.out, ": ");
	}
}

bool print_count_line(report &r, const char *prefix, const char *name, std::int32_t found, std::int32_t written,
                      std::int32_t still)
{
	if (r.quiet && found == 0)
		return false;
	add_prefix(r, prefix);
	line_add(r, r.out, r.dry_run ? "Checking " : "Patching ");
	line_add_shown(r, r.out, name);
	line_add(r, r.out, r.dry_run ? " found " : " patched ");
	line_add_number(r, r.out, static_cast<std::uint64_t>(r.dry_run ? found : written));
	line_add(r, r.out, !r.dry_run ? " textures" : found == 1 ? " texture to repair" : " textures to repair");
	if (!r.dry_run && still > 0) {
		line_add(r, r.out, ", ");
		line_add_number(r, r.out, static_cast<std::uint64_t>(still));
		line_add(r, r.out, " still to repair");
	}
	line_end(r, r.out);
	return true;
}

static void print_listing_line(report &r, const char *prefix, const char *text)
{
	add_prefix(r, prefix);
	line_add(r, r.out, "  ");
	line_add(r, r.out, text);
	line_end(r, r.out);
}

void note_repair(std::size_t native, std::uint8_t old_depth, void *context)
{
	repair_list &list = *static_cast<repair_list *>(context);
	if (!list.incomplete && !grow(list.items, list.room, list.count + 1))
		list.incomplete = true;
	if (!list.incomplete)
		list.items[list.count++] = {native, old_depth};
}

// Printable ASCII stands for itself; every other byte, and the backslash
// that would make the escapes ambiguous, as \xHH. Room: 4 bytes a byte.
static void texture_name_text(const unsigned char *field, char *text)
{
	for (std::size_t i = 0; i < TEXTURE_NAME_SIZE && field[i] != 0; i++) {
		if (field[i] >= 0x20 && field[i] <= 0x7E && field[i] != '\\')
			*text++ = static_cast<char>(field[i]);
		else
			text += std::snprintf(text, 5, "\\x%02x", field[i]);
	}
	*text = '\0';
}

void print_listing(report &r, const char *prefix, const unsigned char *buffer, const repair_list &list)
{
	char text[4 * TEXTURE_NAME_SIZE + 40];
	for (std::size_t i = 0; i < list.count; i++) {
		const unsigned char *native = buffer + list.items[i].native;
		texture_name_text(native + TEXTURE_NAME_OFFSET, text);
		std::size_t n = std::strlen(text);
		std::snprintf(text + n, sizeof text - n, ": %s, depth %u -> 16",
		              pixel_format_name(get32le(native + RASTER_FORMAT_OFFSET)),
		              static_cast<unsigned>(list.items[i].old_depth));
		print_listing_line(r, prefix, text);
	}
}

void print_backed_up(report &r, const char *path, const char *backup)
{
	if (!r.verbose)
		return;
	line_add_shown(r, r.out, path);
	line_add(r, r.out, ": backed up to ");
	line_add_shown(r, r.out, backup);
	line_end(r, r.out);
}

void print_restored(report &r, const char *path, const char *backup)
{
	r.totals.restored++;
	if (r.quiet)
		return;
	line_add(r, r.out, r.dry_run ? "Would restore " : "Restored ");
	line_add_shown(r, r.out, path);
	line_add(r, r.out, " from ");
	line_add_shown(r, r.out, backup);
	line_end(r, r.out);
}

void print_left_alone(report &r, const char *path, const char *why, bool kept)
{
	r.totals.left_alone++;
	if (kept && keeping(r)) {
		char tail[64];
		std::snprintf(tail, sizeof tail, ": left alone: %s", why);
		keep(r.summary->left_alone, path, std::strlen(path), tail);
	}
	if (!r.verbose)
		return;
	line_add_shown(r, r.out, path);
	line_add(r, r.out, ": left alone: ");
	line_add(r, r.out, why);
	line_end(r, r.out);
}

// The words of a count: "1 file", "2 files".
static int add_count(char *text, std::size_t room, std::uint64_t n, const char *word)
{
	return std::snprintf(text, room, "%llu %s%s", static_cast<unsigned long long>(n), word, n == 1 ? "" : "s");
}

// TOTALS_ROOM holds the longest line, every count at its 20 digits, so no
// part is ever cut.
void totals_text(const report_totals &t, bool dry_run, bool restore, char *text, std::size_t room)
{
	std::size_t n = 0;
	auto more = [&](int written) { n += static_cast<std::size_t>(written); };
	if (restore) {
		more(add_count(text, room, t.restored, "file"));
		more(std::snprintf(text + n, room - n, dry_run ? " to restore" : " restored"));
	} else {
		more(add_count(text, room, t.textures, "texture"));
		more(std::snprintf(text + n, room - n, " %s in %llu of ", dry_run ? "to repair" : "repaired",
		                   static_cast<unsigned long long>(t.repaired)));
		more(add_count(text + n, room - n, t.files, "file"));
		if (t.still > 0)
			more(std::snprintf(text + n, room - n, ", %llu still to repair", static_cast<unsigned long long>(t.still)));
	}
	if (t.left_alone > 0)
		more(std::snprintf(text + n, room - n, ", %llu left alone", static_cast<unsigned long long>(t.left_alone)));
	if (t.problems > 0) {
		more(std::snprintf(text + n, room - n, ", "));
		more(add_count(text + n, room - n, t.problems, "problem"));
	}
}

void print_totals(report &r, bool restore)
{
	char text[TOTALS_ROOM];
	totals_text(r.totals, r.dry_run, restore, text, sizeof text);
	line_add(r, r.out, text);
	line_end(r, r.out);
}

void check_output(report &r)
{
	if (!r.out_gone && std::fflush(r.out) != 0)
		out_failed(r);
	if (r.out_error == 0 && !r.out_gone && std::ferror(r.out))
		r.out_error = EIO;
	if (r.out_error != 0)
		print_problem(r, "standard output", nullptr, std::strerror(r.out_error), 0);
}
