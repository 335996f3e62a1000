// The -u batch: planned spans, one block of the undo record for them,
// then their writes.
#include "ops/undo_batch.h"

#include <cstdlib>
#include <cstring>

#include "base/checksum.h"
#include "base/growth.h"
#include "format/texture_patch.h"

// Spans held for writing at most, in bytes, before the batch is written.
constexpr std::uint64_t BATCH_BYTES = 16 << 20;

bool overlaps_queue(const span_queue &q, const span &s)
{
	for (std::size_t i = 0; i < q.count; i++) {
		const span &o = q.items[i].s;
		if (q.items[i].ready && s.start < o.start + o.present && o.start < s.start + s.present)
			return true;
	}
	return false;
}

// The changes of a span to be written, in the file's positions.
static bool changes_of(const queued_span &q, undo_change *changes)
{
	for (std::size_t i = 0; i < q.d.repairs.count; i++)
		changes[i] = {q.s.start + q.d.repairs.items[i].native + DEPTH_OFFSET, q.d.repairs.items[i].old_depth};
	return !q.d.repairs.incomplete;
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
	bool whole = e != nullptr && c != nullptr;
	*what = "not enough memory for the undo record", *err = 0;
	std::size_t n = 0, used = 0;
	for (std::size_t i = 0; whole && i < q.count; i++) {
		const queued_span &item = q.items[i];
		if (item.ready) {
			whole = changes_of(item, c + used);
			e[n++] = {item.s.start, item.d.got, checksum64(item.d.bytes, item.d.got), c + used, item.d.repairs.count};
			used += item.d.repairs.count;
		}
	}
	bool kept = whole && (entries == 0 || keep_undo(*run.undo, run.t.where, run.t.f, e, entries, what, err));
	std::free(e);
	std::free(c);
	return kept;
}

void write_queue(file_run &run)
{
	span_queue &q = *run.queue;
	const char *what;
	int err;
	bool kept = record_queue(run, q, &what, &err);
	if (!kept) {
		tell_problem(run.r, run.undo->shown != nullptr ? run.undo->shown : run.t.where.shown, nullptr, what, err);
		tell_problem(run.r, run.t.where.shown, nullptr, "no undo record kept, so the file is left unchanged", 0);
		run.undo_failed = true;
	} else if (run.undo->kept && !run.undo_told) {
		tell_undo_kept(run.r, run.t.where.shown, run.undo->shown);
		run.undo_told = true;
	}
	for (std::size_t i = 0; i < q.count; i++) {
		queued_span &item = q.items[i];
		if (item.ready && !kept)
			none_reached(item.d), item.done = {0, item.d.count};
		else if (item.ready)
			item.done = write_ready(run, item.s, item.d);
		span_done(run, item.s, item.d, item.found, item.done);
	}
	q.count = 0, q.bytes = 0;
}

void queue_span(file_run &run, const span &s, entry_data &d, std::int32_t found)
{
	span_queue &q = *run.queue;
	if (!grow(q.items, q.room, q.count + 1)) {
		write_queue(run); // memory is short: what is planned goes, this one is written alone
		write_outcome done = found > 0 ? write_back(run, s, d) : write_outcome{0, 0};
		return span_done(run, s, d, found, done);
	}
	queued_span &item = q.items[q.count++];
	item = {s, {}, d, found, false, {0, 0}};
	if (s.label != nullptr) {
		std::memcpy(item.label, s.label, std::strlen(s.label) + 1);
		item.s.name = item.s.label = item.label;
	}
	item.ready = found > 0 && ready_to_write(run, s, item.d) && !item.d.repairs.incomplete;
	if (found > 0 && !item.ready)
		none_reached(item.d), item.done = {0, item.d.count};
	if (!item.ready && item.d.repairs.count == 0)
		std::free(item.d.bytes), item.d.bytes = nullptr;
	q.bytes += item.ready ? item.d.got : 0;
	if (q.bytes >= BATCH_BYTES)
		write_queue(run);
}

