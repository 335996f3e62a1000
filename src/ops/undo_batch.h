// With -u, the spans of a file planned and held in memory up to a bound,
// their changes added to the undo record in one block, flushed once, then
// written in order and told: a record of every byte on the disk before any
// of them changes, without a flush per entry.
#ifndef TXD_DEPTH_FIX_UNDO_BATCH_H
#define TXD_DEPTH_FIX_UNDO_BATCH_H

#include "ops/repair_run.h"

struct queued_span {
	span s;
	char label[NAME_SIZE + 1]; // the entry's name, which the plan's next entry takes over
	entry_data d;
	std::int32_t found;
	bool ready;         // to be written once the record holds it
	write_outcome done; // when not
};
struct span_queue {
	queued_span *items;
	std::size_t count, room;
	std::uint64_t bytes; // held for writing
};

// Whether the span shares bytes with one to be written: it must be read
// as the file holds them once that one is written.
bool overlaps_queue(const span_queue &q, const span &s);

// Plans a span read and walked for the queue: held, and backed up when
// asked, as for a write now; only its bytes to write, or to tell of, stay
// in memory. A full queue is written.
void queue_span(file_run &run, const span &s, entry_data &d, std::int32_t found);

// Records the queue, then writes and tells each of its spans in order;
// when the record cannot be kept nothing is written, and the file is left
// as it was from then on.
void write_queue(file_run &run);

#endif
