// What kind a file is by its first bytes and its name.
#include "format/file_kind.h"

#include "format/little_endian.h"
#include "format/texture_patch.h"

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
