// The -u batch: planned spans, one block of the undo record for them,
// then their changed bytes written.
#include "ops/undo_batch.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/checksum.h"
#include "base/growth.h"
#include "format/texture_patch.h"

// The bytes of spans to write a batch covers at most: a flush for every
// so many, whatever the spans' sizes.
constexpr std::uint64_t BATCH_BYTES = 64 << 20;

bool overlaps_queue(const span_queue &q, const span &s)
{
	for (std::size_t i = 0; i < q.count; i++) {
		const span &o = q.items[i].s;
		if (q.items[i].ready && s.start < o.start + o.present && o.start < s.start + s.present)
			return true;
	}
	return false;
}

static std::uint64_t position_of(const queued_span &q, std::size_t i)
{
	return q.s.start + q.d.repairs.items[i].native + DEPTH_OFFSET;
}

// One block of the record for every span of the queue to be written.
static bool record_queue(file_run &run, span_queue &q, const char **what, int *err)
{
	std::size_t entries = 0, changes = 0;
	for (std::size_t i = 0; i < q.count; i++)
		if (q.items[i].ready)
			entries++, changes += q.items[i].d.repairs.count;
	undo_entry *e = static_cast<undo_entry *>(std::malloc(entries * sizeof *e + 1));
	undo_change *c = static_cast<undo_change *>(std::malloc(changes * sizeof *c + 1));
	*what = "not enough memory for the undo record", *err = 0;
	bool kept = e != nullptr && c != nullptr;
	for (std::size_t i = 0, n = 0, used = 0; kept && i < q.count; i++) {
		const queued_span &item = q.items[i];
		if (!item.ready)
			continue;
		for (std::size_t k = 0; k < item.d.repairs.count; k++)
			c[used + k] = {position_of(item, k), item.d.repairs.items[k].old_depth};
		e[n++] = {item.s.start, item.d.got, item.checksum, c + used, item.d.repairs.count};
		used += item.d.repairs.count;
	}
	kept = kept && (entries == 0 || keep_undo(*run.undo, run.t.where, run.t.f, e, entries, what, err));
	std::free(e);
	std::free(c);
	return kept;
}

// Which of the span's depths hold 16 now, read back one by one after a
// write failed: only those reached the file.
static write_outcome read_back(file_run &run, queued_span &q)
{
	std::int32_t still = 0;
	for (std::size_t i = 0; i < q.d.repairs.count; i++) {
		unsigned char depth = 0;
		std::size_t got = 0;
		bool reached = read_at(run.t.f, position_of(q, i), &depth, 1, &got) == IO_WHOLE && depth == 16;
		q.d.repairs.items[i].reached = reached;
		if (q.notes != nullptr)
			q.notes[i].reached = reached;
		still += !reached;
	}
	return {q.d.count - still, still};
}

// Writes the changed bytes alone, each a 16: the rest of the span is as
// the file holds it already.
static write_outcome write_changes(file_run &run, queued_span &q)
{
	static const unsigned char SIXTEEN = 16;
	for (std::size_t i = 0; i < q.d.repairs.count; i++) {
		std::size_t put = 0;
		if (write_at(run.t.f, position_of(q, i), &SIXTEEN, 1, &put) != IO_WHOLE) {
			report_span(run, q.s, "write failed", errno);
			return read_back(run, q);
		}
	}
	return {q.d.count, 0};
}

static void not_written(queued_span &q)
{
	none_reached(q.d);
	for (std::size_t i = 0; q.notes != nullptr && i < q.d.repairs.count; i++)
		q.notes[i].reached = false;
	q.done = {0, q.d.count};
}

void write_queue(file_run &run)
{
	span_queue &q = *run.queue;
	const char *what;
	int err;
	bool kept = record_queue(run, q, &what, &err);
	if (!kept) {
		const char *at = run.undo->in_the_way != nullptr ? run.undo->in_the_way
		                 : run.undo->shown != nullptr     ? run.undo->shown
		                                                  : run.t.where.shown;
		tell_problem(run.r, at, nullptr, what, err);
		tell_problem(run.r, run.t.where.shown, nullptr, "no undo record kept, so the file is left unchanged", 0);
		run.undo_failed = true;
	} else if (run.undo->kept && !run.undo_told) {
		tell_backup(run.r, run.t.where.shown, run.undo->shown, FLAG_UNDO_RECORD);
		run.undo_told = true;
	}
	for (std::size_t i = 0; i < q.count; i++) {
		queued_span &item = q.items[i];
		if (item.ready && !kept)
			not_written(item);
		else if (item.ready)
			item.done = write_changes(run, item);
		span_done(run, item.s, item.d, item.found, item.done, item.notes);
		std::free(item.notes);
	}
	q.count = 0, q.bytes = 0;
}

void queue_span(file_run &run, const span &s, entry_data &d, std::int32_t found)
{
	span_queue &q = *run.queue;
	if (!grow(q.items, q.room, q.count + 1) && q.count > 0)
		write_queue(run); // memory is short: what is planned goes first, and makes room
	if (q.count == q.room) { // none at all: nothing is written that no record holds
		none_reached(d);
		report_span(run, s, "not enough memory to keep its undo record", 0);
		return span_done(run, s, d, found, {0, found});
	}
	queued_span &item = q.items[q.count++];
	item = {s, {}, d, found, false, {0, 0}, 0, nullptr};
	if (s.label != nullptr) {
		std::memcpy(item.label, s.label, std::strlen(s.label) + 1);
		item.s.name = item.s.label = item.label;
	}
	item.ready = found > 0 && ready_to_write(run, s, item.d) && !item.d.repairs.incomplete;
	if (item.ready)
		item.checksum = checksum64(item.d.bytes, item.d.got);
	if (run.options.note_textures)
		item.notes = notes_of(item.d);
	if (found > 0 && !item.ready)
		not_written(item);
	std::free(item.d.bytes);
	item.d.bytes = nullptr;
	q.bytes += item.ready ? item.d.got : 0;
	if (q.bytes >= BATCH_BYTES)
		write_queue(run);
}
