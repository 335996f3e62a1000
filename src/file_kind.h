// What the formats say: the VER2 archive's header and directory records,
// the txd name rule, backups' names, and what kind a file is by its first
// bytes and its name.
#ifndef TXD_DEPTH_FIX_FILE_KIND_H
#define TXD_DEPTH_FIX_FILE_KIND_H

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

// Whether a name (of n bytes) ends in ".bak" in any letter case: a backup,
// of this tool or another's.
bool is_backup_name(const char *name, std::size_t n);
bool is_backup_name(const char *name);

enum file_kind { KIND_NEITHER, KIND_ARCHIVE, KIND_DICTIONARY };

// Which kinds a file may be: an archive, or a dictionary under a txd name;
// or with -t a dictionary alone, under any name.
enum kind_rule { EITHER_KIND, DICTIONARIES_ONLY };

// The kind that got first bytes of a file (at least 4 to say anything) and
// its name (without folders) give under rule.
file_kind kind_of(const unsigned char *head, std::size_t got, const char *name, kind_rule rule);

#endif
