// The run on one file: a VER2 archive, whose texture dictionaries are
// repaired in place entry by entry, or one loose texture dictionary.
#ifndef TXD_DEPTH_FIX_PATCH_RUN_H
#define TXD_DEPTH_FIX_PATCH_RUN_H

#include <cstdio>

struct run_options {
	bool dry_run; // open read-only and write nothing
	bool verbose; // list each depth changed after its entry's line
	bool loose;   // the file is one texture dictionary, not an archive
};

// Repairs the file at path (UTF-8 on every host). Report lines go to out,
// each preceded by prefix and ": " when prefix is not null; diagnostics go
// to err. Returns true when nothing was reported.
bool fix_file(const char *path, const char *prefix, const run_options &options, std::FILE *out, std::FILE *err);

#endif
