// Undo records written and read, with every length checked against what
// is left, so that no record, however cut or forged, reads past its end.
#include "format/undo_record.h"

#include <cstdlib>
#include <cstring>

#include "base/checksum.h"
#include "base/growth.h"
#include "format/little_endian.h"

const unsigned char UNDO_MAGIC[UNDO_MAGIC_SIZE] = {'T', 'X', 'D', 'U', 'N', 'D', 'O', '1'};

static bool put_bytes(byte_buffer &out, const unsigned char *bytes, std::size_t n)
{
	if (!grow(out.bytes, out.room, out.size + n))
		return false;
	std::memcpy(out.bytes + out.size, bytes, n);
	out.size += n;
	return true;
}

static bool put_le(byte_buffer &out, std::uint64_t value, int bytes)
{
	unsigned char le[8];
	for (int i = 0; i < bytes; i++)
		le[i] = static_cast<unsigned char>(value >> (8 * i));
	return put_bytes(out, le, static_cast<std::size_t>(bytes));
}

static bool put_varint(byte_buffer &out, std::uint64_t value)
{
	unsigned char v[10];
	std::size_t n = 0;
	for (; value >= 0x80; value >>= 7)
		v[n++] = static_cast<unsigned char>(value | 0x80);
	v[n++] = static_cast<unsigned char>(value);
	return put_bytes(out, v, n);
}

static bool put_entry(byte_buffer &out, const undo_entry &e)
{
	bool put = put_varint(out, e.start) && put_varint(out, e.length) && put_le(out, e.checksum, 8) &&
	           put_varint(out, e.count);
	std::uint64_t from = e.start;
	for (std::size_t i = 0; put && i < e.count; from = e.changes[i++].at)
		put = put_varint(out, e.changes[i].at - from) && put_bytes(out, &e.changes[i].was, 1);
	return put;
}

bool encode_undo_block(const undo_entry *entries, std::size_t count, byte_buffer &out)
{
	std::size_t at = out.size;
	bool put = put_le(out, 0, 4);
	for (std::size_t i = 0; put && i < count; i++)
		put = put_entry(out, entries[i]);
	std::size_t body = out.size - at - 4;
	if (!put || body > UINT32_MAX)
		return out.size = at, false;
	for (int i = 0; i < 4; i++)
		out.bytes[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(body >> (8 * i));
	if (!put_le(out, checksum64(out.bytes + at + 4, body), 8))
		return out.size = at, false;
	return true;
}

// A reader of one block's body; short is set when memory ran out.
struct reader {
	const unsigned char *p;
	std::size_t left;
	bool ok, short_of_memory;
};

template <class T> static bool grown(reader &r, T *&block, std::size_t &room, std::size_t need)
{
	if (!grow(block, room, need))
		r.ok = false, r.short_of_memory = true;
	return r.ok;
}

static std::uint64_t get_varint(reader &r)
{
	std::uint64_t value = 0;
	for (int shift = 0; r.ok; shift += 7) {
		if (r.left == 0 || shift > 63)
			return r.ok = false, 0;
		unsigned char b = *r.p++;
		r.left--;
		value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
		if ((b & 0x80) == 0)
			break;
	}
	return value;
}

static std::uint64_t get64le(reader &r)
{
	std::uint64_t value = 0;
	if (r.left < 8)
		return r.ok = false, 0;
	for (int i = 7; i >= 0; i--)
		value = value << 8 | r.p[i];
	r.p += 8, r.left -= 8;
	return value;
}

// Reads one entry, its changes appended to record's, where they follow
// those of the entry before; they are pointed to once every entry is
// read, since the array may move until then.
static bool get_entry(reader &r, undo_record &record, std::size_t &change_room, std::size_t &changes, undo_entry &e)
{
	e.start = get_varint(r);
	e.length = get_varint(r);
	e.checksum = get64le(r);
	e.count = static_cast<std::size_t>(get_varint(r));
	e.changes = nullptr;
	r.ok = r.ok && e.length <= UINT64_MAX - e.start;
	// Each change takes two bytes at least: a count past that is forged.
	if (!r.ok || e.count > r.left / 2 || !grown(r, record.changes, change_room, changes + e.count))
		return r.ok = false;
	std::uint64_t at = e.start;
	for (std::size_t i = 0; i < e.count && r.ok; i++) {
		std::uint64_t step = get_varint(r);
		r.ok = r.ok && r.left >= 1 && step <= e.start + e.length - at && (i == 0 || step > 0);
		if (r.ok)
			at += step, record.changes[changes++] = {at, *r.p++}, r.left--;
	}
	return r.ok && at - e.start < e.length + (e.count == 0);
}

// Reads one block's entries; false when it does not hold together, and
// record is as it was before it then.
static bool get_block(reader &r, undo_record &record, std::size_t &entry_room, std::size_t &change_room,
                      std::size_t &changes)
{
	std::size_t entries = record.count, changes_before = changes;
	while (r.ok && r.left > 0) {
		undo_entry e;
		r.ok = get_entry(r, record, change_room, changes, e) && grown(r, record.entries, entry_room, entries + 1);
		if (r.ok)
			record.entries[entries++] = e;
	}
	if (!r.ok) {
		changes = changes_before;
		return false;
	}
	record.count = entries;
	return true;
}

undo_reading decode_undo_record(const unsigned char *data, std::size_t n, undo_record &record)
{
	record = {nullptr, 0, nullptr, UNDO_MAGIC_SIZE};
	if (n < UNDO_MAGIC_SIZE || std::memcmp(data, UNDO_MAGIC, UNDO_MAGIC_SIZE) != 0)
		return UNDO_NOT_A_RECORD;
	std::size_t at = UNDO_MAGIC_SIZE, entry_room = 0, change_room = 0, changes = 0;
	while (n - at >= 4) {
		std::size_t body = get32le(data + at);
		if (body > n - at - 4 || n - at - 4 - body < 8)
			break;
		const unsigned char *start = data + at + 4;
		reader seal = {start + body, 8, true, false}, r = {start, body, true, false};
		if (get64le(seal) != checksum64(start, body) || !get_block(r, record, entry_room, change_room, changes)) {
			if (r.short_of_memory)
				return release_undo_record(record), UNDO_NO_MEMORY;
			break;
		}
		at += 4 + body + 8;
		record.whole = at;
	}
	const undo_change *next = record.changes; // each entry's changes follow the last one's
	for (std::size_t i = 0; i < record.count; next += record.entries[i++].count)
		record.entries[i].changes = next;
	return UNDO_READ;
}

void release_undo_record(undo_record &record)
{
	std::free(record.entries);
	std::free(record.changes);
	record = {nullptr, 0, nullptr, 0};
}
