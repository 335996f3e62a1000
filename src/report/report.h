// The report: the one room that counts what a run did, and hands each event
// on to the listeners attached to it (the text lines, JSON Lines, the drop
// window). The walk, the repair and the restore tell it; they print and
// count nothing of their own.
#ifndef TXD_DEPTH_FIX_REPORT_H
#define TXD_DEPTH_FIX_REPORT_H

#include <cstddef>
#include <cstdint>

#include "report/event.h"

constexpr std::size_t MOST_LISTENERS = 4;

struct report {
	report_totals totals;
	bool dry_run;
	listener listeners[MOST_LISTENERS];
	std::size_t count;
};

void report_begin(report &r);
void attach(report &r, listener l);

// Counts e, then hands it to every listener in the order attached.
void tell(report &r, const event &e);

// The events, each from its facts.
void tell_start(report &r, const run_asked &asked);
// "PATH: [ENTRY: ][WHAT][: why]": without ENTRY, WHAT or why (err 0) when
// they are null.
void tell_problem(report &r, const char *path, const char *entry, const char *what, int err, unsigned flags = 0);
// A problem that leaves the file alone for what another file (its backup)
// is: "PATH: left alone: WHY OTHER"; counted as both.
void tell_left_alone_problem(report &r, const char *path, const char *why, const char *other);
// "PATH: cannot write: in use by another run".
void tell_in_use(report &r, const char *path);
void tell_waiting(report &r, const char *path);
void tell_left_alone(report &r, const char *path, const char *why, unsigned flags = 0, const char *other = nullptr);
// A backup made; with FLAG_UNDO_RECORD an undo record kept, with
// FLAG_BACKUP_REMOVED one taken away, with FLAG_BACKUP_ALREADY none made.
void tell_backup(report &r, const char *path, const char *backup, unsigned flags = 0);
void tell_restored(report &r, const char *path, const char *backup);
void tell_usage(report &r, const char *message, unsigned flags = 0);
void tell_text(report &r, const char *text);
void tell_entries_done(report &r, const char *path);
void tell_file_done(report &r, const char *path, bool changed);
void tell_summary(report &r);
void tell_end(report &r);

// "T textures repaired in R of N files[, U still to repair][, A left
// alone][, P problems]", or for a restore "R files restored[, A left
// alone][, P problems]" ("to repair", "to restore" in a dry run), in text
// of at least TOTALS_ROOM bytes, which holds every count at 20 digits.
constexpr std::size_t TOTALS_ROOM = 200;
void totals_text(const report_totals &t, bool dry_run, bool restore, char *text, std::size_t room);

#endif
