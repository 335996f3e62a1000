// The counts of a run, and each event handed on to the listeners.
#include "report/report.h"

#include <cstdio>

void report_begin(report &r)
{
	r = {};
}

void attach(report &r, listener l)
{
	if (r.count < MOST_LISTENERS)
		r.listeners[r.count++] = l;
}

// What each event adds to the totals: under -n, what was found counts as
// what a real run would write.
static void count(report &r, const event &e)
{
	report_totals &t = r.totals;
	switch (e.kind) {
	case EVENT_START: r.dry_run = e.asked->dry_run; break;
	case EVENT_ENTRY:
		t.textures += static_cast<std::uint64_t>(r.dry_run ? e.found : e.written);
		t.still += static_cast<std::uint64_t>(e.still);
		break;
	case EVENT_FILE_DONE:
		t.files++;
		t.repaired += e.changed;
		break;
	case EVENT_LEFT_ALONE: t.left_alone++; break;
	case EVENT_RESTORED: t.restored++; break;
	case EVENT_PROBLEM:
		t.problems++;
		t.left_alone += (e.flags & FLAG_ALSO_LEFT_ALONE) != 0;
		break;
	default: break;
	}
}

void tell(report &r, const event &e)
{
	count(r, e);
	for (std::size_t i = 0; i < r.count; i++)
		r.listeners[i].heard(r.listeners[i].context, e);
}

// An event of kind about path, the rest to be filled in.
static event about(event_kind kind, const char *path)
{
	event e = {};
	e.kind = kind;
	e.path = path;
	return e;
}

void tell_start(report &r, const run_asked &asked)
{
	event e = about(EVENT_START, nullptr);
	e.asked = &asked;
	tell(r, e);
}

void tell_problem(report &r, const char *path, const char *entry, const char *what, int err, unsigned flags)
{
	event e = about(EVENT_PROBLEM, path);
	e.entry = entry, e.what = what, e.err = err, e.flags = flags;
	tell(r, e);
}

void tell_left_alone_problem(report &r, const char *path, const char *why, const char *other)
{
	event e = about(EVENT_PROBLEM, path);
	e.what = why, e.other = other, e.flags = FLAG_ALSO_LEFT_ALONE;
	tell(r, e);
}

void tell_in_use(report &r, const char *path)
{
	tell_problem(r, path, nullptr, "cannot write: in use by another run", 0, FLAG_IN_USE);
}

void tell_waiting(report &r, const char *path)
{
	tell(r, about(EVENT_WAITING, path));
}

void tell_left_alone(report &r, const char *path, const char *why, unsigned flags, const char *other)
{
	event e = about(EVENT_LEFT_ALONE, path);
	e.what = why, e.flags = flags, e.other = other;
	tell(r, e);
}

void tell_backup(report &r, const char *path, const char *backup, unsigned flags)
{
	event e = about(EVENT_BACKUP, path);
	e.what = backup, e.flags = flags;
	tell(r, e);
}

void tell_restored(report &r, const char *path, const char *backup)
{
	event e = about(EVENT_RESTORED, path);
	e.what = backup;
	tell(r, e);
}

void tell_usage(report &r, const char *message, unsigned flags)
{
	event e = about(EVENT_USAGE, nullptr);
	e.what = message, e.flags = flags;
	tell(r, e);
}

void tell_text(report &r, const char *text)
{
	event e = about(EVENT_TEXT, nullptr);
	e.what = text;
	tell(r, e);
}

void tell_entries_done(report &r, const char *path)
{
	tell(r, about(EVENT_ENTRIES_DONE, path));
}

void tell_file_done(report &r, const char *path, bool changed)
{
	event e = about(EVENT_FILE_DONE, path);
	e.changed = changed;
	tell(r, e);
}

void tell_summary(report &r)
{
	event e = about(EVENT_SUMMARY, nullptr);
	e.totals = &r.totals;
	tell(r, e);
}

void tell_end(report &r)
{
	event e = about(EVENT_END, nullptr);
	e.totals = &r.totals;
	tell(r, e);
}

// The words of a count: "1 file", "2 files".
static int add_count(char *text, std::size_t room, std::uint64_t n, const char *word)
{
	return std::snprintf(text, room, "%llu %s%s", static_cast<unsigned long long>(n), word, n == 1 ? "" : "s");
}

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
