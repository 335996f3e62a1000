// An undo record read from any bytes: never past its end, every change
// within its entry, what it holds as a record again reads the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "format/undo_record.h"

static void check(bool held)
{
	if (!held)
		std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	undo_record record;
	if (decode_undo_record(data, size, record) != UNDO_READ)
		return 0;
	check(record.whole >= UNDO_MAGIC_SIZE && record.whole <= size);
	for (std::size_t i = 0; i < record.count; i++) {
		const undo_entry &e = record.entries[i];
		for (std::size_t k = 0; k < e.count; k++) {
			check(e.changes[k].at >= e.start && e.changes[k].at - e.start < e.length);
			check(k == 0 || e.changes[k].at > e.changes[k - 1].at);
		}
	}
	byte_buffer again = {nullptr, 0, 0};
	if (encode_undo_block(record.entries, record.count, again)) {
		unsigned char *whole = static_cast<unsigned char *>(std::malloc(UNDO_MAGIC_SIZE + again.size));
		check(whole != nullptr);
		std::memcpy(whole, UNDO_MAGIC, UNDO_MAGIC_SIZE);
		std::memcpy(whole + UNDO_MAGIC_SIZE, again.bytes, again.size);
		undo_record read;
		check(decode_undo_record(whole, UNDO_MAGIC_SIZE + again.size, read) == UNDO_READ);
		check(read.count == record.count);
		for (std::size_t i = 0; i < read.count; i++) {
			const undo_entry &a = record.entries[i], &b = read.entries[i];
			check(a.start == b.start && a.length == b.length && a.checksum == b.checksum && a.count == b.count);
			for (std::size_t k = 0; k < a.count; k++)
				check(a.changes[k].at == b.changes[k].at && a.changes[k].was == b.changes[k].was);
		}
		release_undo_record(read);
		std::free(whole);
	}
	std::free(again.bytes);
	release_undo_record(record);
	return 0;
}
