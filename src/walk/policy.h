// The walk's rules, in one place: which names are backups, what a folder
// search passes over unopened, and how an operand is handled. The walk,
// the wildcards and the read-ahead all ask here, so that a helper never
// opens what the walk would leave alone.
#ifndef TXD_DEPTH_FIX_POLICY_H
#define TXD_DEPTH_FIX_POLICY_H

#include <cstddef>

#include "platform/file_access.h"

// Whether a name (of n bytes) is a backup's: it ends in ".bak" in any
// letter case (of this tool or another's) or ".bak.N", or in ".ba~" or
// ".ba~N", a copy this tool was making when it was stopped.
bool is_backup_name(const char *name, std::size_t n);
bool is_backup_name(const char *name);

// Whether a name is an undo record's: it ends in ".undo" in any letter
// case, or in ".und~", a record this tool was making when it was stopped.
bool is_undo_record_name(const char *name);

// The path of the file a backup or undo record named path belongs to, in
// memory of its own: "a.img" for "a.img.bak", "a.img.bak.3", "a.img.undo"
// and, where no file "a.img.3" stands, for "a.img.3.bak" as earlier
// versions named backups. Null for a copy in the making, or memory short.
char *file_of_backup(const char *path);

// Why a search passes over the entry unopened: "a link", "not a regular
// file" (a FIFO, socket or device), "a backup" or "an undo record"; null
// when it does not.
const char *passed_over_because(const folder_entry &e);

// Opens and lists a folder a search enters, unless it is left alone
// unlisted: a view the system gives of itself ("a system folder", never
// entered, not even named as the folder to search) or, with
// one_file_system, a folder on another file system than the folder it
// is in, of facts inside ("another file system"; null for the folder the search
// starts from). False, *why null and errno set, when it cannot be listed;
// false with *why saying why when it is left alone.
bool list_folder_to_enter(place where, bool follow, const folder_facts *inside, bool one_file_system,
                          folder_listing *listing, const char **why);

// How an operand is handled, decided before it is opened: opening some
// devices has effects of its own (a tape rewinds), and a backup, or a link
// to one, is never opened at all.
enum operand_kind {
	OPERAND_FOLDER,         // searched
	OPERAND_MISSING,        // a problem, errno in err
	OPERAND_BACKUP,         // left alone: "a backup"; with --restore, its file restored
	OPERAND_RECORD,         // left alone: "an undo record"; with --restore, its file restored
	OPERAND_LINK_TO_BACKUP, // left alone: "a link to a backup"
	OPERAND_NOT_REGULAR,    // a problem: "not a regular file"
	OPERAND_FILE            // opened, and repaired or restored
};
struct operand_plan {
	operand_kind kind;
	int err;
	char *target; // for a FILE that is a link, the file it leads to, in memory of its own; else null
};
operand_plan plan_operand(const char *operand);
void release_operand_plan(operand_plan &plan);

#endif
