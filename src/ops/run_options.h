// What every repair and restore of a run is asked, from the command line.
#ifndef TXD_DEPTH_FIX_RUN_OPTIONS_H
#define TXD_DEPTH_FIX_RUN_OPTIONS_H

#include "base/file_set.h"
#include "platform/file_access.h"

struct run_options {
	bool dry_run;        // open read-only and write nothing
	bool note_textures;  // tell each texture repaired, for the listing and JSON Lines
	bool backup;         // copy a file whole to PATH.bak before its first write
	bool keep_undo;      // record each change in PATH.undo before it is written
	bool preserve;       // a written file keeps its access and modification times
	unsigned wait;       // seconds to wait for a file another run holds; 0 for none
	bool output_known;   // standard output is a file, output its identity:
	file_facts output;   // never handled, as it would be read while written
	file_set *seen;      // the files met so far, or null
};

#endif
