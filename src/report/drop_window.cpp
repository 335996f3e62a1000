// The console window held open after a run started from Explorer: when,
// what it keeps of the run, and what it shows.
#include "report/drop_window.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/console_access.h"

static const char *const HINTS[] = {
    "",
    "The options given are not right; txd-depth-fix /? lists them.\n",
    ("Drop archives, .txd files or folders onto txd-depth-fix.exe: it repairs them in place, and keeps the way "
     "back in FILE.undo beside each file it changes.\n"),
    "Each problem above names its file and what went wrong.\n",
    "Nothing dropped could be repaired: each file left alone is listed above with why.\n",
    "Nothing in what was dropped was a VER2 archive or a texture dictionary.\n",
    "Nothing in what was dropped had an undo record or a backup to restore from.\n",
    "Nothing needed repair.\n",
    "Nothing dropped could be restored: each file left alone is listed above with why.\n",
    ("Drop repaired archives, .txd files or folders onto it: each goes back to what it was before it was "
     "repaired, by its undo record or its backup.\n"),
};
// After a repair that kept undo records.
static const char UNDO_STEP[] = "Undo: drop the same files onto txd-depth-fix-restore.exe\n";
// The next step for what the problems were.
static const char IN_USE_STEP[] = "A file in use: close the game or editor that has it open, then try again.\n";
static const char DENIED_STEP[] = "Access denied: clear the file's read-only attribute, or copy the folder out of "
                                  "Program Files and repair the copy.\n";
static const char PROMPT[] = "Press Enter to close this window.";

bool console_closes_at_exit(unsigned long console_processes, bool stdin_is_console)
{
	return console_processes == 1 && stdin_is_console;
}

bool console_window_closes_at_exit()
{
	return console_closes_at_exit(console_processes(), standard_input_is_console());
}

// Keeps a line while there is room; counted either way.
static void keep(kept_lines &k, const char *text, std::size_t n)
{
	char *copy = k.kept < KEPT_LINES ? static_cast<char *>(std::malloc(n + 1)) : nullptr;
	k.all++;
	if (copy == nullptr)
		return;
	std::memcpy(copy, text, n);
	copy[n] = '\0';
	k.lines[k.kept++] = copy;
}

void release_summary(run_summary &s)
{
	for (kept_lines *k : {&s.problems, &s.left_alone, &s.restored})
		while (k->kept > 0)
			std::free(k->lines[--k->kept]);
	release_line(s.l);
}

// What a hint can name a next step for: a file another program has open,
// or access denied.
static unsigned kind_of_problem(int err)
{
	if (err == EBUSY || err == ETXTBSY)
		return SEEN_IN_USE;
	return err == EACCES || err == EPERM || err == EROFS ? SEEN_DENIED : 0;
}

static void keep_problem_line(line &l, void *context)
{
	keep(static_cast<run_summary *>(context)->problems, l.text, l.length);
	l.length = 0;
}

// The window is a terminal: its lines are built as one shows them, and
// kept instead of written.
static line &window_line(run_summary &s)
{
	s.shown = {nullptr, true, false, 0, false};
	start_line(s.l, s.shown);
	return s.l;
}

static void problem(run_summary &s, const event &e)
{
	if (problem_line(window_line(s), s.fold, e))
		keep_problem_line(s.l, &s);
	s.seen |= kind_of_problem(e.err) | ((e.flags & FLAG_IN_USE) != 0 ? SEEN_IN_USE : 0);
}

static void left_alone(run_summary &s, const event &e)
{
	if ((e.flags & FLAG_FOUND_IN_SEARCH) != 0 && std::strcmp(e.what, "a backup") == 0)
		return;
	line &l = window_line(s);
	line_add_shown(l, e.path);
	line_add(l, ": left alone: ");
	line_add(l, e.what);
	if (e.other != nullptr) {
		line_add(l, " ");
		line_add_shown(l, e.other);
	}
	keep(s.left_alone, l.text, l.length);
}

// "Restored PATH from BACKUP", for the window to list the files restored.
static void restored(run_summary &s, const event &e)
{
	line &l = window_line(s);
	line_add(l, s.dry_run ? "Would restore " : "Restored ");
	line_add_shown(l, e.path);
	line_add(l, " from ");
	line_add_shown(l, e.what);
	keep(s.restored, l.text, l.length);
}

static void heard(void *context, const event &e)
{
	run_summary &s = *static_cast<run_summary *>(context);
	switch (e.kind) {
	case EVENT_START:
		s.keep = s.keep && !e.asked->check; // a check is a script's, and never waits
		s.restore = e.asked->restore;
		s.dry_run = e.asked->dry_run;
		s.operands = e.asked->operands;
		s.keep_undo = e.asked->keep_undo;
		break;
	case EVENT_RESTORED: restored(s, e); break;
	case EVENT_PROBLEM: problem(s, e); break;
	case EVENT_LEFT_ALONE: left_alone(s, e); break;
	case EVENT_ENTRIES_DONE: folded_lines(window_line(s), s.fold, e.path, keep_problem_line, &s); break;
	case EVENT_FILE_DONE: s.fold.kinds = 0; break;
	case EVENT_USAGE: s.usage_error = (e.flags & (FLAG_NONE_GIVEN | FLAG_BARE_START)) == 0; break;
	case EVENT_END:
		s.totals = *e.totals;
		totals_text(s.totals, s.dry_run, s.restore, s.totals_line, sizeof s.totals_line);
		break;
	default: break;
	}
}

listener drop_window_listener(run_summary &s)
{
	return {heard, &s};
}

held_window_hint held_window_hint_for(const run_summary &summary)
{
	if (summary.usage_error)
		return HINT_USAGE;
	if (summary.operands == 0)
		return summary.restore ? HINT_DROP_TO_RESTORE : HINT_DROP_SOMETHING;
	const report_totals &t = summary.totals;
	if (t.problems > 0)
		return HINT_PROBLEMS;
	if (summary.restore ? t.restored > 0 : t.files > 0)
		return summary.restore || t.textures > 0 || t.still > 0 ? HINT_NONE : HINT_NOTHING_NEEDED;
	if (t.left_alone > 0)
		return summary.restore ? HINT_NOT_RESTORED : HINT_LEFT_ALONE;
	return summary.restore ? HINT_NO_BACKUP : HINT_NOTHING_FOUND;
}

// Room for the kept lines of k and the line that counts the rest.
static std::size_t room_for(const kept_lines &k)
{
	std::size_t room = 64;
	for (std::size_t i = 0; i < k.kept; i++)
		room += std::strlen(k.lines[i]) + 1;
	return room;
}

// Appends the kept lines of k at text + *n, then "and N more WHAT".
static void add_lines(char *text, std::size_t *n, std::size_t room, const kept_lines &k, const char *what)
{
	for (std::size_t i = 0; i < k.kept; i++)
		*n += static_cast<std::size_t>(std::snprintf(text + *n, room - *n, "%s\n", k.lines[i]));
	if (k.all > k.kept)
		*n += static_cast<std::size_t>(std::snprintf(text + *n, room - *n, "and %llu more %s\n",
		                                             static_cast<unsigned long long>(k.all - k.kept), what));
}

char *held_window_text(const run_summary &summary)
{
	held_window_hint which = held_window_hint_for(summary);
	const char *hint = HINTS[which];
	const char *in_use = which == HINT_PROBLEMS && (summary.seen & SEEN_IN_USE) ? IN_USE_STEP : "";
	const char *denied = which == HINT_PROBLEMS && (summary.seen & SEEN_DENIED) ? DENIED_STEP : "";
	const char *undo = summary.keep_undo && !summary.dry_run && summary.totals.textures > 0 ? UNDO_STEP : "";
	std::size_t room = room_for(summary.problems) + room_for(summary.left_alone) + room_for(summary.restored) + TOTALS_ROOM +
	                   std::strlen(hint) + sizeof IN_USE_STEP + sizeof DENIED_STEP + sizeof UNDO_STEP + sizeof PROMPT + 4;
	char *text = static_cast<char *>(std::malloc(room));
	if (text == nullptr)
		return nullptr;
	std::size_t n = static_cast<std::size_t>(std::snprintf(text, room, "\n"));
	if (which != HINT_USAGE && which != HINT_DROP_SOMETHING && which != HINT_DROP_TO_RESTORE) { // the run's own
		add_lines(text, &n, room, summary.problems, summary.problems.all - summary.problems.kept == 1 ? "problem" : "problems");
		add_lines(text, &n, room, summary.restored, "restored");
		add_lines(text, &n, room, summary.left_alone, "left alone");
		n += static_cast<std::size_t>(std::snprintf(text + n, room - n, "%s\n", summary.totals_line));
	}
	std::snprintf(text + n, room - n, "%s%s%s%s%s", hint, in_use, denied, undo, PROMPT);
	return text;
}

void hold_console_window(const run_summary &summary)
{
	char *text = held_window_text(summary);
	show_on_console_and_wait(text != nullptr ? text : PROMPT);
	std::free(text);
}
