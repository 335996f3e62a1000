// What the repair of one file shares between its rooms: the run of the
// file, the bytes of one span in memory, and the steps a span goes
// through (read, walked, held and backed up, written, told).
#ifndef TXD_DEPTH_FIX_REPAIR_RUN_H
#define TXD_DEPTH_FIX_REPAIR_RUN_H

#include <cstddef>
#include <cstdint>

#include "format/archive.h"
#include "ops/run_options.h"
#include "ops/target.h"
#include "ops/undo.h"
#include "report/report.h"

struct span_queue;

// One file's repair: what it was asked, and what it did.
struct file_run {
	report &r;
	target t;
	const char *prefix; // before every stdout line, or null
	const run_options &options;
	bool backed_up;     // or no backup was asked for
	bool backup_failed; // and was told
	bool wrote;         // a depth reached the file
	std::uint64_t found;
	undo_keeper *undo;  // with -u, the record kept beside the file
	span_queue *queue;  // with -u, the entries planned but not yet written
	bool undo_failed;   // a record could not be kept, and that was told
	bool undo_told;     // the record kept was told of
};

// The repairs of one dictionary: where each texture native starts in the
// buffer, the depth it had, and whether it reached the file.
struct repair {
	std::size_t native;
	std::uint8_t old_depth;
	bool reached;
};
struct repair_list {
	repair *items;
	std::size_t count, room;
	bool incomplete; // memory ran out before the last repair
};

// The part of a span that lies within the file, as read into memory, and
// what its walk repaired.
struct entry_data {
	unsigned char *bytes;
	std::size_t got;     // bytes read
	const char *problem; // why not all of the span was read, or null
	int err;             // errno behind the problem, or 0
	std::int32_t count;  // depths the walk set to 16
	repair_list repairs; // which, when they are to be told
};

// What became of the depths a span needed: written, and still to repair.
// Those that another run repaired meanwhile are neither.
struct write_outcome {
	std::int32_t written, still;
};

void report_span(file_run &run, const span &s, const char *what, int err);

// Reads the bytes of a span the file holds; a problem is kept in d.
void read_span(io_handle f, const span &s, entry_data &d);

// Walks the span's bytes, setting each wrong depth to 16.
void patch(file_run &run, entry_data &d);

// None of the span's repairs reached the file.
void none_reached(entry_data &d);

// Whether the span may be written: the file held, and backed up when
// asked. Until it was held, another run may have repaired the span: it is
// read and walked again under the hold, and only what it still needs is
// written.
bool ready_to_write(file_run &run, const span &s, entry_data &d);

// Writes a span ready to be written back over the bytes it was read from.
write_outcome write_ready(file_run &run, const span &s, entry_data &d);

// Readies the span and writes it, or tells why not.
write_outcome write_back(file_run &run, const span &s, entry_data &d);

// The textures of the repairs, as the report tells them: each name and
// format read from the buffer the walk repaired, which changed only depth
// bytes. Null when there are none or memory is short.
texture_note *notes_of(const entry_data &d);

// Tells what became of a span, with its textures as noted already when
// notes is not null, and lets go of what it held.
void span_done(file_run &run, const span &s, entry_data &d, std::int32_t found, write_outcome done,
               texture_note *notes = nullptr);

#endif
