// The VER2 archive's layout, without any I/O: its header and directory
// records, the txd name rule, and where the bytes of each selected entry
// lie in a file of a known size. The repair and the restore plan by it.
#ifndef TXD_DEPTH_FIX_ARCHIVE_H
#define TXD_DEPTH_FIX_ARCHIVE_H

#include <cstddef>
#include <cstdint>

constexpr std::uint32_t VER2_MAGIC = 0x32524556; // "VER2" read little-endian
constexpr std::uint64_t SECTOR_SIZE = 2048;
constexpr std::size_t HEADER_SIZE = 8; // the magic, then a signed 32-bit entry count
constexpr std::size_t DIR_ENTRY_SIZE = 32;
constexpr std::size_t NAME_SIZE = 24;

struct dir_entry {
	std::uint32_t first_sector;
	std::uint32_t sectors;
	char name[NAME_SIZE + 1]; // always NUL-terminated, even when the field is not
};

dir_entry decode_dir_entry(const unsigned char *record);

// 'A' to 'Z' as 'a' to 'z', every other byte as it is, whatever the locale.
inline int ascii_lower(unsigned char c)
{
	return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// Whether a name carries the txd extension: the text after its last dot
// starts with "txd" in any letter case.
bool has_txd_extension(const char *name);

// The entry count of a header of got bytes that starts with the magic.
// False, with why in problem (room bytes), when there is none to go on
// with: the header is cut short, or the count is negative.
bool entry_count_of(const unsigned char *head, std::size_t got, std::int32_t *count, char *problem, std::size_t room);

// How many of count records a file of file_size bytes holds whole: never
// more directory than the file holds, whatever the count claims.
std::size_t records_held(std::int32_t count, std::uint64_t file_size);

// After the last entry: false when the records read are all the count
// says, else true with why in problem (room bytes).
bool directory_cut_short(std::int32_t count, std::size_t records, char *problem, std::size_t room);

// The bytes of one texture dictionary in a file: a selected entry as its
// record lists it, or the whole of a loose file. present is how many of
// length the file holds from start.
struct span {
	const char *name;  // on its report line
	const char *label; // before its diagnostics; null for a loose file
	std::uint64_t start, length, present;
};

// Why a span of which only got bytes were read falls short.
const char *cut_short_problem(std::uint64_t got);

// A loose dictionary named name, size bytes long, as one span.
span whole_file_span(const char *name, std::uint64_t size);

// The selected entries of a directory of records read whole, in directory
// order, in a file of file_size bytes.
struct archive_plan {
	const unsigned char *directory;
	std::size_t records, next;
	std::uint64_t file_size;
	dir_entry entry; // the entry in hand, which its span names
};
archive_plan plan_archive(const unsigned char *directory, std::size_t records, std::uint64_t file_size);

// The next selected entry's span, valid until the next call; false after
// the last.
bool next_span(archive_plan &plan, span &s);

#endif
