// The undo record kept beside a file a run changes (PATH.undo), without
// any I/O: for every entry written, where it lies, a checksum of it as
// written, and each byte changed with the value it had.
//
// The record is "TXDUNDO1", then blocks, each one batch of entries written
// by one run, appended in the order they were written:
//   u32 length of the body, the body, u64 checksum64 of the body
// and the body, for each entry:
//   varint start, varint length, u64 checksum64 of the entry as written,
//   varint number of changes, then each change as a varint distance from
//   the previous one (the first from start) and the byte it held.
// Integers are little-endian, varints 7 bits a byte, low bits first. A
// block whose length or checksum does not hold is the last one, cut short
// by a run that stopped while writing it, before it wrote the entries:
// it and anything after it count for nothing.
#ifndef TXD_DEPTH_FIX_UNDO_RECORD_H
#define TXD_DEPTH_FIX_UNDO_RECORD_H

#include <cstddef>
#include <cstdint>

constexpr std::size_t UNDO_MAGIC_SIZE = 8;
// A record past this is none this tool wrote or would add to: tens of
// bytes an entry make a million entries' changes of a few MiB.
constexpr std::uint64_t UNDO_LARGEST = 64 << 20;
extern const unsigned char UNDO_MAGIC[UNDO_MAGIC_SIZE];

// A byte the repair changed: where it is in the file, and what it held.
struct undo_change {
	std::uint64_t at;
	unsigned char was;
};

// One entry as written; its changes lie within it, in ascending order.
struct undo_entry {
	std::uint64_t start, length, checksum;
	const undo_change *changes;
	std::size_t count;
};

// A growing buffer of bytes to write.
struct byte_buffer {
	unsigned char *bytes;
	std::size_t size, room;
};

// Appends one block holding the entries to out; false when memory is short.
bool encode_undo_block(const undo_entry *entries, std::size_t count, byte_buffer &out);

// Every entry of a record's whole blocks, in the order they were written;
// whole is how many bytes of it (the magic included) those blocks take,
// where the next block goes.
struct undo_record {
	undo_entry *entries;
	std::size_t count;
	undo_change *changes;
	std::uint64_t whole;
};

enum undo_reading { UNDO_READ, UNDO_NOT_A_RECORD, UNDO_NO_MEMORY };
undo_reading decode_undo_record(const unsigned char *data, std::size_t n, undo_record &record);
void release_undo_record(undo_record &record);

#endif
