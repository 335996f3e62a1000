// The run on one file: a VER2 archive, whose texture dictionaries are
// repaired in place entry by entry, or one loose texture dictionary.
#ifndef TXD_DEPTH_FIX_PATCH_RUN_H
#define TXD_DEPTH_FIX_PATCH_RUN_H

#include <cstdint>
#include <cstdio>

#include "file_access.h"
#include "report.h"

constexpr std::uint32_t VER2_MAGIC = 0x32524556; // "VER2" read little-endian

struct run_options {
	bool dry_run;  // open read-only and write nothing
	bool verbose;  // list each depth changed after its entry's line
	bool loose;    // each FILE operand is one texture dictionary, not an archive
	bool backup;   // copy a file whole to PATH.bak before its first write
	bool preserve; // a written file keeps its access and modification times
};

// 'A' to 'Z' as 'a' to 'z', every other byte as it is, whatever the locale.
inline int ascii_lower(unsigned char c)
{
	return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// Whether a name carries the txd extension: the text after its last dot
// starts with "txd" in any letter case.
bool has_txd_extension(const char *name);

// A FILE operand that is not a folder (UTF-8 on every host): anything but a
// regular file is refused before it is opened. Lines go out with prefix and
// ": " before them when prefix is not null. Under -v, a file of neither
// kind says that it was left alone.
void fix_file(report &r, const char *path, const char *prefix, const run_options &options);

// A file found in a folder, whose first bytes say it is an archive (loose
// false) or a loose dictionary (loose true); opened without following a
// link, for update unless -n.
void fix_found_file(report &r, place where, const char *path, const char *prefix, bool loose,
                    const run_options &options);

#endif
