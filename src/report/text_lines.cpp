// The text lines, as every earlier version printed them.
#include "report/text_lines.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/growth.h"
#include "report/report.h"

// "txd-depth-fix: PATH: [ENTRY: ]", the start of every problem.
static void add_problem_start(line &l, const char *path, const char *entry)
{
	line_add(l, "txd-depth-fix: ");
	line_add_shown(l, path);
	line_add(l, ": ");
	if (entry != nullptr) {
		line_add_shown(l, entry);
		line_add(l, ": ");
	}
}

// "WHAT: why", either alone.
static void add_problem_end(line &l, const char *what, int err)
{
	if (what != nullptr)
		line_add(l, what);
	if (what != nullptr && err != 0)
		line_add(l, ": ");
	if (err != 0)
		line_add(l, std::strerror(err));
}

// Whether a problem of an entry folds away: its kind has had three.
static bool folds_away(problem_fold &fold, const char *what, int err)
{
	std::size_t k = 0;
	while (k < fold.kinds && !(fold.what[k] == what && fold.err[k] == err))
		k++;
	if (k == fold.kinds && k < FOLD_KINDS)
		fold.what[k] = what, fold.err[k] = err, fold.count[k] = 0, fold.kinds++;
	return k < fold.kinds && ++fold.count[k] > FOLD_AFTER;
}

bool problem_line(line &l, problem_fold &fold, const event &e)
{
	if ((e.flags & FLAG_FOLDS) != 0 && folds_away(fold, e.what, e.err))
		return false;
	add_problem_start(l, e.path, e.entry);
	if ((e.flags & FLAG_ALSO_LEFT_ALONE) != 0) {
		line_add(l, "left alone: ");
		line_add(l, e.what);
		line_add(l, " ");
		line_add_shown(l, e.other);
	} else
		add_problem_end(l, e.what, e.err);
	return true;
}

void folded_lines(line &l, problem_fold &fold, const char *path, void (*each)(line &, void *), void *context)
{
	for (std::size_t k = 0; k < fold.kinds; k++) {
		if (fold.count[k] <= FOLD_AFTER)
			continue;
		add_problem_start(l, path, nullptr);
		line_add(l, "... and ");
		line_add_number(l, fold.count[k] - FOLD_AFTER);
		line_add(l, fold.count[k] - FOLD_AFTER == 1 ? " more entry: " : " more entries: ");
		add_problem_end(l, fold.what[k], fold.err[k]);
		each(l, context);
	}
	fold.kinds = 0;
}

void text_lines_begin(text_lines &t, line_stream &out, line_stream &err)
{
	t = {};
	t.out = &out;
	t.err = &err;
	t.report_lines = true;
	t.usage_hint = true;
}

void text_lines_end(text_lines &t)
{
	release_line(t.l);
	std::free(t.waiting);
	t.waiting = nullptr;
}

static line &on_out(text_lines &t)
{
	start_line(t.l, *t.out);
	return t.l;
}

static line &on_err(text_lines &t)
{
	start_line(t.l, *t.err);
	return t.l;
}

static void add_prefix(line &l, const char *prefix)
{
	if (prefix != nullptr) {
		line_add_shown(l, prefix);
		line_add(l, ": ");
	}
}

static bool quiet(const text_lines &t)
{
	return t.asked.quiet || t.leave_out_zero_lines;
}

// "[PREFIX: ]Checking NAME found N textures to repair" in a dry run; else
// "[PREFIX: ]Patching NAME patched K textures", then ", M still to repair"
// when found depths were not written.
static void count_line(text_lines &t, const char *prefix, const char *name, std::int32_t found, std::int32_t written,
                       std::int32_t still)
{
	bool dry = t.asked.dry_run;
	line &l = on_out(t);
	add_prefix(l, prefix);
	line_add(l, dry ? "Checking " : "Patching ");
	line_add_shown(l, name);
	line_add(l, dry ? " found " : " patched ");
	line_add_number(l, static_cast<std::uint64_t>(dry ? found : written));
	line_add(l, !dry ? " textures" : found == 1 ? " texture to repair" : " textures to repair");
	if (!dry && still > 0) {
		line_add(l, ", ");
		line_add_number(l, static_cast<std::uint64_t>(still));
		line_add(l, " still to repair");
	}
	line_end(l);
}

// Printable ASCII stands for itself; every other byte, and the backslash
// that would make the escapes ambiguous, as \xHH.
static void add_texture_name(line &l, const unsigned char *name)
{
	for (std::size_t i = 0; i < TEXTURE_NAME_ROOM && name[i] != 0; i++) {
		char text[5] = {static_cast<char>(name[i]), '\0'};
		if (name[i] < 0x20 || name[i] > 0x7E || name[i] == '\\')
			std::snprintf(text, sizeof text, "\\x%02x", name[i]);
		line_add(l, text);
	}
}

// One line per depth that reached the file (under -n, per depth to
// change): "[PREFIX: ]  NAME: FORMAT, depth OLD -> 16".
static void listing(text_lines &t, const event &e)
{
	for (std::size_t i = 0; i < e.texture_count; i++) {
		const texture_note &n = e.textures[i];
		if (!n.reached)
			continue;
		line &l = on_out(t);
		add_prefix(l, e.prefix);
		line_add(l, "  ");
		add_texture_name(l, n.name);
		char rest[48];
		std::snprintf(rest, sizeof rest, ": %s, depth %u -> 16", n.format, static_cast<unsigned>(n.old_depth));
		line_add(l, rest);
		line_end(l);
	}
}

// Under -bv the line that names the backup comes before the file's first
// line: the lines of an archive's entries with nothing to repair wait while
// a backup may still be made.
static bool waits_for_backup(const text_lines &t, const event &e)
{
	return e.found == 0 && e.entry != nullptr && t.asked.verbose && t.asked.backup && !t.asked.dry_run && !t.backup_named;
}

// Keeps a line to print later; false when memory cannot hold it.
static bool wait_with(text_lines &t, const event &e)
{
	const char *prefix = e.prefix != nullptr ? e.prefix : "";
	std::size_t p = t.waiting_count == 0 ? std::strlen(prefix) + 1 : 0, n = std::strlen(e.entry) + 1;
	if (!grow(t.waiting, t.waiting_room, t.waiting_used + p + n))
		return false;
	std::memcpy(t.waiting + t.waiting_used, prefix, p);
	std::memcpy(t.waiting + t.waiting_used + p, e.entry, n);
	t.waiting_used += p + n;
	t.waiting_count++;
	return true;
}

static void print_waiting(text_lines &t)
{
	const char *prefix = t.waiting, *name = prefix != nullptr ? prefix + std::strlen(prefix) + 1 : nullptr;
	for (std::size_t i = 0; i < t.waiting_count; i++, name += std::strlen(name) + 1)
		count_line(t, prefix[0] != '\0' ? prefix : nullptr, name, 0, 0, 0);
	t.waiting_count = t.waiting_used = 0;
}

static void entry(text_lines &t, const event &e)
{
	if (quiet(t) && e.found == 0)
		return;
	if (waits_for_backup(t, e) && wait_with(t, e))
		return;
	print_waiting(t);
	t.backup_named = t.backup_named || e.found > 0;
	count_line(t, e.prefix, e.entry != nullptr ? e.entry : e.path, e.found, e.written, e.still);
	listing(t, e);
}

static void write_line(line &l, void *)
{
	line_end(l);
}

static void problem(text_lines &t, const event &e)
{
	line &l = on_err(t);
	if (problem_line(l, t.fold, e))
		line_end(l);
}

// "PATH: left alone: WHY".
static void left_alone(text_lines &t, const event &e)
{
	line &l = on_out(t);
	line_add_shown(l, e.path);
	line_add(l, ": left alone: ");
	line_add(l, e.what);
	if (e.other != nullptr) {
		line_add(l, " ");
		line_add_shown(l, e.other);
	}
	line_end(l);
}

// "PATH: backed up to BACKUP", "PATH: backed up already in BACKUP",
// "PATH: undo kept in RECORD", "PATH: removed BACKUP, made part way
// through its repairs".
static void backed_up(text_lines &t, const event &e)
{
	line &l = on_out(t);
	line_add_shown(l, e.path);
	line_add(l, (e.flags & FLAG_UNDO_RECORD) != 0      ? ": undo kept in "
	            : (e.flags & FLAG_BACKUP_REMOVED) != 0 ? ": removed "
	            : (e.flags & FLAG_BACKUP_ALREADY) != 0 ? ": backed up already in "
	                                                   : ": backed up to ");
	line_add_shown(l, e.what);
	if ((e.flags & FLAG_BACKUP_REMOVED) != 0)
		line_add(l, ", made part way through its repairs");
	line_end(l);
}

// "PATH: waiting for another run", once a file.
static void waiting(text_lines &t, const event &e)
{
	line &l = on_out(t);
	line_add_shown(l, e.path);
	line_add(l, ": waiting for another run");
	line_end(l);
}

static void restored(text_lines &t, const event &e)
{
	line &l = on_out(t);
	line_add(l, t.asked.dry_run ? "Would restore " : "Restored ");
	line_add_shown(l, e.path);
	line_add(l, " from ");
	line_add_shown(l, e.what);
	line_end(l);
}

// A usage error, then the hint; with no argument at all, the hint alone,
// which is no error.
static void usage(text_lines &t, const event &e)
{
	if ((e.flags & FLAG_BARE_START) != 0 && !t.usage_hint)
		return;
	line &l = on_err(t);
	line_add(l, "txd-depth-fix: ");
	line_add_shown(l, e.what);
	line_end(l);
	if ((e.flags & FLAG_BARE_START) != 0 || !t.usage_hint)
		return;
	line_add(on_err(t), "Try 'txd-depth-fix --help' for more information.");
	line_end(t.l);
}

static void summary(text_lines &t, const event &e)
{
	char text[TOTALS_ROOM];
	totals_text(*e.totals, t.asked.dry_run, t.asked.restore, text, sizeof text);
	line_add(on_out(t), text);
	line_end(t.l);
}

// Standard output carries the lines asked for; problems and usage errors
// go to standard error whatever else does.
static void heard(void *context, const event &e)
{
	text_lines &t = *static_cast<text_lines *>(context);
	bool out = t.report_lines;
	switch (e.kind) {
	case EVENT_START: t.asked = *e.asked; break;
	case EVENT_ENTRY: if (out) entry(t, e); break;
	case EVENT_ENTRIES_DONE:
		if (out)
			print_waiting(t);
		folded_lines(on_err(t), t.fold, e.path, write_line, nullptr);
		break;
	case EVENT_FILE_DONE:
		if (out)
			print_waiting(t);
		t.fold.kinds = 0;
		t.backup_named = false;
		break;
	case EVENT_LEFT_ALONE: if (out && t.asked.verbose) left_alone(t, e); break;
	case EVENT_BACKUP:
		if (out && t.asked.verbose)
			backed_up(t, e);
		if (out)
			print_waiting(t);
		t.backup_named = true;
		break;
	case EVENT_RESTORED: if (out && !quiet(t)) restored(t, e); break;
	case EVENT_WAITING:
		if (out)
			waiting(t, e);
		break;
	case EVENT_PROBLEM: problem(t, e); break;
	case EVENT_USAGE: usage(t, e); break;
	case EVENT_TEXT: write_text(*t.out, e.what); break;
	case EVENT_SUMMARY: if (out && t.asked.totals) summary(t, e); break;
	case EVENT_END: break;
	}
}

listener text_listener(text_lines &t)
{
	return {heard, &t};
}
