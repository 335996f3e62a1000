// With -u, the spans of a file are planned in batches: each read, walked,
// held and backed up as for a write, its checksum and changes noted and
// its bytes let go; then the batch's changes go to the undo record in one
// block, flushed once, and only then are the changed bytes written and the
// spans told, in order. A record of every byte is on the disk before any
// of them changes, without a flush per entry, and the batch holds little
// more than its changes in memory.
#ifndef TXD_DEPTH_FIX_UNDO_BATCH_H
#define TXD_DEPTH_FIX_UNDO_BATCH_H

#include "format/undo_record.h"
#include "ops/repair_run.h"

struct queued_span {
	span s;
	char label[NAME_SIZE + 1]; // the entry's name, which the plan's next entry takes over
	entry_data d;              // its repairs and problem; no bytes
	std::int32_t found;
	bool ready;            // to be written once the record holds it
	write_outcome done;    // when not
	std::uint64_t checksum; // of the span as it will be written
	texture_note *notes;   // when they are to be told
};
struct span_queue {
	queued_span *items;
	std::size_t count, room;
	std::uint64_t bytes; // of the spans to be written
};

// Whether the span shares bytes with one to be written: it must be read
// as the file holds them once that one is written.
bool overlaps_queue(const span_queue &q, const span &s);

// Plans a span read and walked for the queue; a queue that covers enough
// is written.
void queue_span(file_run &run, const span &s, entry_data &d, std::int32_t found);

// Records the queue, then writes and tells each of its spans in order;
// when the record cannot be kept nothing is written, and the file is left
// as it was from then on.
void write_queue(file_run &run);

#endif
