// The VER2 format's records, the txd and backup name rules, and what
// kind a file is by its first bytes.
#include "file_kind.h"

#include <cstring>

#include "little_endian.h"
#include "texture_patch.h"

dir_entry decode_dir_entry(const unsigned char *record)
{
	dir_entry e;
	e.first_sector = get32le(record);
	e.sectors = get32le(record + 4);
	std::memcpy(e.name, record + 8, NAME_SIZE);
	e.name[NAME_SIZE] = '\0';
	return e;
}

// The last dot decides; only the three characters after it are compared.
// A name that ends sooner fails at its NUL, which matches no letter.
bool has_txd_extension(const char *name)
{
	const char *dot = std::strrchr(name, '.');
	if (dot == nullptr)
		return false;
	const unsigned char *ext = reinterpret_cast<const unsigned char *>(dot + 1);
	return ascii_lower(ext[0]) == 't' && ascii_lower(ext[1]) == 'x' && ascii_lower(ext[2]) == 'd';
}

bool is_backup_name(const char *name)
{
	return is_backup_name(name, std::strlen(name));
}

bool is_backup_name(const char *name, std::size_t n)
{
	const unsigned char *end = reinterpret_cast<const unsigned char *>(name + n);
	return n >= 4 && end[-4] == '.' && ascii_lower(end[-3]) == 'b' && ascii_lower(end[-2]) == 'a' &&
	       ascii_lower(end[-1]) == 'k';
}

file_kind kind_of(const unsigned char *head, std::size_t got, const char *name, kind_rule rule)
{
	std::uint32_t first = got >= 4 ? get32le(head) : 0;
	if (first == VER2_MAGIC && rule != DICTIONARIES_ONLY)
		return KIND_ARCHIVE;
	bool dictionary_name = rule == DICTIONARIES_ONLY || (rule == EITHER_KIND && has_txd_extension(name));
	if (first == CHUNK_TEXTURE_DICTIONARY && dictionary_name)
		return KIND_DICTIONARY;
	return KIND_NEITHER;
}
