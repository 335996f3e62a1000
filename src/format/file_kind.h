// What kind a file is by its first bytes and its name.
#ifndef TXD_DEPTH_FIX_FILE_KIND_H
#define TXD_DEPTH_FIX_FILE_KIND_H

#include <cstddef>
#include <cstdint>

#include "format/archive.h"

enum file_kind { KIND_NEITHER, KIND_ARCHIVE, KIND_DICTIONARY };

// Which kinds a file may be: an archive, or a dictionary under a txd name;
// or with -t a dictionary alone, under any name.
enum kind_rule { EITHER_KIND, DICTIONARIES_ONLY };

// The kind that got first bytes of a file (at least 4 to say anything) and
// its name (without folders) give under rule.
file_kind kind_of(const unsigned char *head, std::size_t got, const char *name, kind_rule rule);

#endif
