// What the walk, the repair and the restore tell the report, as plain
// records: they print nothing and count nothing themselves. Every pointer
// in an event is valid for the call that hands it on, no longer.
#ifndef TXD_DEPTH_FIX_EVENT_H
#define TXD_DEPTH_FIX_EVENT_H

#include <cstddef>
#include <cstdint>

// What was written counts as repaired; under -n, what a real run would
// write. What was found but could not be written is still to repair.
struct report_totals {
	std::uint64_t textures;   // depths written, or under -n to be written
	std::uint64_t files;      // files read as an archive or a loose dictionary
	std::uint64_t repaired;   // those written to, or under -n to be written to
	std::uint64_t still;      // depths found but not written: refused, in use, a backup or a write failed
	std::uint64_t left_alone; // FILE operands left alone, and what a search passed over
	std::uint64_t problems;   // problems met, each folded one too
	std::uint64_t restored;   // files restored, or under -n to be restored
};

enum event_kind {
	EVENT_START,        // the options are read; the operands are handled next
	EVENT_ENTRY,        // an archive's entry or a loose dictionary, checked or repaired
	EVENT_ENTRIES_DONE, // the last entry of an archive is done
	EVENT_FILE_DONE,    // a file read as an archive or a loose dictionary is done
	EVENT_LEFT_ALONE,   // a file left alone, and why
	EVENT_BACKUP,       // a backup made, or an undo record kept
	EVENT_RESTORED,     // a file restored, or under -n to be restored
	EVENT_PROBLEM,      // a problem with a file, or with one of its entries
	EVENT_WAITING,      // another run holds the file: this one waits for it
	EVENT_USAGE,        // the command line cannot be used as given
	EVENT_TEXT,         // text asked for on standard output: the help, the version
	EVENT_SUMMARY,      // the operands are done, with the totals
	EVENT_END           // the run is over, nothing follows: the totals are final
};

// What the options ask of the lines (EVENT_START).
struct run_asked {
	bool dry_run, check, restore, backup;
	bool quiet;   // no line for an entry with nothing to repair
	bool verbose; // the listing, why a file was left alone, where a backup went
	bool totals;  // a line of totals at the end
	int operands;
	bool keep_undo; // an undo record kept of each file changed
};

// A texture found to repair: its name as the dictionary holds it (32 bytes
// at most), its pixel format's name, the depth it had, and whether the
// repair reached the file (under -n, whether it would).
constexpr std::size_t TEXTURE_NAME_ROOM = 33;
struct texture_note {
	unsigned char name[TEXTURE_NAME_ROOM];
	const char *format;
	std::uint8_t old_depth;
	bool reached;
};

enum event_flag : unsigned {
	FLAG_IN_USE = 1,            // a problem: another run holds the file
	FLAG_ALSO_LEFT_ALONE = 2,   // a problem that leaves the file alone: "left alone: WHAT OTHER"
	FLAG_FOLDS = 4,             // a problem of an entry, which lines fold after three of a kind
	FLAG_FOUND_IN_SEARCH = 8,   // left alone: met in a folder, not named
	FLAG_NONE_GIVEN = 16,       // usage: options, but no FILE or FOLDER
	FLAG_BARE_START = 32,       // usage: no argument at all, which is no error
	FLAG_TEXTURES_CUT = 64,     // an entry: memory ran out before every texture was noted
	FLAG_UNDO_RECORD = 128,     // a backup: the undo record kept, not a copy
	FLAG_BACKUP_REMOVED = 256,  // a backup: one newer than the one restored from, taken away
	FLAG_BACKUP_ALREADY = 512   // a backup: none made, the newest holds the file already
};

struct event {
	event_kind kind;
	unsigned flags;
	const char *path;   // the file as shown; for a problem, what it concerns
	const char *entry;  // an archive's entry, or null (a loose dictionary, the file as a whole)
	const char *prefix; // lines of an archive start with it ("PATH: "), or null
	const char *what;   // why left alone; a problem's what; the backup; the usage error; the text
	const char *other;  // the path a problem ends with ("changed since OTHER"), or null
	int err;            // the errno behind a problem, or 0
	std::int32_t found, written, still; // an entry's depths: found, written (0 under -n), not written
	const texture_note *textures;       // an entry's, texture_count of them
	std::size_t texture_count;
	bool changed;                 // a file done: a depth reached it (under -n, would)
	const run_asked *asked;       // EVENT_START
	const report_totals *totals;  // EVENT_SUMMARY, EVENT_END
};

// Told of each event once the report has counted it.
struct listener {
	void (*heard)(void *context, const event &e);
	void *context;
};

#endif
