// Keeping an undo record: one block appended and flushed per batch, in a
// record that only this run, which holds the file, may write meanwhile.
#include "ops/undo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

static const char RECORD[] = ".undo", TEMPORARY[] = ".und~";

static char *suffixed(const char *text, const char *suffix)
{
	std::size_t n = std::strlen(text);
	char *name = static_cast<char *>(std::malloc(n + std::strlen(suffix) + 1));
	if (name != nullptr)
		std::memcpy(name, text, n), std::strcpy(name + n, suffix);
	return name;
}

void undo_begin(undo_keeper &k, place where)
{
	k = {suffixed(where.name, RECORD), suffixed(where.beside != nullptr ? where.beside : where.shown, RECORD), NO_HANDLE, 0,
	     false, nullptr};
	if (k.name == nullptr || k.shown == nullptr) {
		std::free(k.name), std::free(k.shown);
		k.name = k.shown = nullptr;
	}
}

place undo_place(const undo_keeper &k, place where)
{
	return {where.folder, k.name, k.shown};
}

// Reads the whole of a record; null when it cannot be read or held.
static unsigned char *read_record(io_handle f, std::uint64_t size)
{
	unsigned char *bytes = size < SIZE_MAX ? static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(size) + 1)) : nullptr;
	std::size_t got = 0;
	if (bytes == nullptr)
		errno = ENOMEM;
	else if (read_at(f, 0, bytes, static_cast<std::size_t>(size), &got) == IO_FAILED || got != size)
		std::free(bytes), bytes = nullptr;
	return bytes;
}

record_verdict read_trusted_record(io_handle f, io_handle file, const file_facts &facts, undo_record &record, int *err)
{
	record = {nullptr, 0, nullptr, 0};
	if (!facts.regular)
		return RECORD_NOT_REGULAR;
	if (others_could_write(f, file))
		return RECORD_OTHERS_COULD_WRITE;
	if (facts.size > UNDO_LARGEST)
		return RECORD_TOO_LARGE;
	unsigned char *bytes = read_record(f, facts.size);
	if (bytes == nullptr)
		return *err = errno, RECORD_UNREADABLE;
	undo_reading reading = decode_undo_record(bytes, static_cast<std::size_t>(facts.size), record);
	std::free(bytes);
	return reading == UNDO_READ ? RECORD_READ : reading == UNDO_NO_MEMORY ? RECORD_NO_MEMORY : RECORD_NOT_OURS;
}

// Why the record earlier runs kept cannot be added to, or null; *whole
// where its whole blocks end.
static const char *unusable(io_handle f, io_handle file, const file_facts &facts, std::uint64_t *whole, int *err)
{
	undo_record r;
	record_verdict v = read_trusted_record(f, file, facts, r, err);
	*whole = r.whole;
	release_undo_record(r);
	switch (v) {
	case RECORD_READ: return nullptr;
	case RECORD_NOT_REGULAR: return "the undo record is not a regular file";
	case RECORD_OTHERS_COULD_WRITE: return "an undo record another user could change";
	case RECORD_TOO_LARGE: return "too large for an undo record";
	case RECORD_UNREADABLE: return "cannot read the undo record";
	case RECORD_NO_MEMORY: return "not enough memory for the undo record";
	case RECORD_NOT_OURS: return "not an undo record";
	}
	return nullptr;
}

// Opens the record earlier runs kept, for adding to it after its last
// whole block: a block a stopped run cut short was never acted on.
static bool open_kept(undo_keeper &k, place where, io_handle file, const char **what, int *err)
{
	place record = undo_place(k, where);
	io_handle f = open_file(record, false);
	file_facts facts;
	*what = "cannot open the undo record", *err = errno;
	if (f == NO_HANDLE)
		return false;
	if (!inspect_file(f, &facts)) {
		*err = errno;
		return close_file(f), false;
	}
	*err = 0;
	std::uint64_t whole = 0;
	const char *why = unusable(f, file, facts, &whole, err);
	if (why == nullptr && open_for_writing(&f, record, false) != WRITE_GRANTED)
		why = "cannot write the undo record", *err = errno;
	if (why != nullptr) {
		*what = why;
		return close_file(f), false;
	}
	k.f = f;
	k.end = whole;
	return true;
}

static bool write_flushed(io_handle f, std::uint64_t at, const byte_buffer &b)
{
	std::size_t put = 0;
	return write_at(f, at, b.bytes, b.size, &put) == IO_WHOLE && flush_to_disk(f);
}

// Whether what stands under the temporary name is a record a stopped run
// was making: a regular file that starts as a record does, or is cut
// within its first bytes. Anything else is not this tool's to take away.
static bool leftover_record(place made_as)
{
	io_handle f = open_file(made_as, false);
	file_facts facts;
	unsigned char head[UNDO_MAGIC_SIZE];
	std::size_t got = 0;
	bool ours = f != NO_HANDLE && inspect_file(f, &facts) && facts.regular &&
	            read_at(f, 0, head, sizeof head, &got) != IO_FAILED && std::memcmp(head, UNDO_MAGIC, got) == 0;
	if (f != NO_HANDLE)
		close_file(f);
	return ours;
}

// Makes the record, named only once it holds its first block: a run
// stopped before leaves no record that is not one. Where a file without a
// name cannot be made, it is made under PATH.und~, clearing one a stopped
// run left.
static bool make_record(undo_keeper &k, place where, io_handle file, const byte_buffer &block, const char **what, int *err)
{
	char *temporary = suffixed(where.name, TEMPORARY);
	place made_as = {where.folder, temporary, temporary};
	new_copy copy = {NO_HANDLE, false};
	std::size_t put = 0;
	bool made = temporary != nullptr && create_copy(made_as, file, kind_of_name(made_as) == NAME_FILE && leftover_record(made_as), &copy);
	if (!made && temporary != nullptr && errno == EEXIST) // another file stands in the way: it is named
		k.in_the_way = suffixed(where.beside != nullptr ? where.beside : where.shown, TEMPORARY);
	bool named = made && write_at(copy.f, 0, UNDO_MAGIC, UNDO_MAGIC_SIZE, &put) == IO_WHOLE &&
	             write_flushed(copy.f, UNDO_MAGIC_SIZE, block) && name_copy(copy, made_as, undo_place(k, where));
	*what = "cannot make the undo record", *err = temporary == nullptr ? ENOMEM : errno;
	if (made && !named)
		discard_copy(copy, made_as);
	std::free(temporary);
	if (!named)
		return false;
	k.f = copy.f;
	k.end = UNDO_MAGIC_SIZE + block.size;
	return true;
}

// The first block: into the record earlier runs kept, or a new one.
static bool open_or_make(undo_keeper &k, place where, io_handle file, const byte_buffer &block, const char **what,
                         int *err)
{
	name_kind kind = kind_of_name(undo_place(k, where));
	if (kind == NAME_FREE)
		return make_record(k, where, file, block, what, err);
	if (kind == NAME_UNKNOWN)
		return *what = "cannot look for the undo record", *err = errno, false;
	if (!open_kept(k, where, file, what, err))
		return false;
	if (k.end + block.size > UNDO_LARGEST)
		return *what = "the undo record is full", false;
	if (!write_flushed(k.f, k.end, block))
		return *what = "cannot write the undo record", *err = errno, false;
	k.end += block.size;
	return true;
}

bool keep_undo(undo_keeper &k, place where, io_handle file, const undo_entry *entries, std::size_t count,
               const char **what, int *err)
{
	byte_buffer block = {nullptr, 0, 0};
	*what = "not enough memory for the undo record", *err = 0;
	bool kept = k.name != nullptr && encode_undo_block(entries, count, block);
	if (kept && k.end + block.size > UNDO_LARGEST) // what a restore would refuse is never added to
		kept = false, *what = "the undo record is full";
	if (kept && k.f == NO_HANDLE)
		kept = open_or_make(k, where, file, block, what, err);
	else if (kept && !write_flushed(k.f, k.end, block))
		kept = false, *what = "cannot write the undo record", *err = errno;
	else if (kept)
		k.end += block.size;
	std::free(block.bytes);
	k.kept = k.kept || kept;
	return kept;
}

void undo_end(undo_keeper &k)
{
	if (k.f != NO_HANDLE)
		close_file(k.f);
	std::free(k.name);
	std::free(k.shown);
	std::free(k.in_the_way);
	k = {nullptr, nullptr, NO_HANDLE, 0, false, nullptr};
}
