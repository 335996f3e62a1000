// The read-ahead's stack of batches, which the walk and the helpers share
// under the crew's lock: a folder's names, or the operands, in the order
// the walk will take them, the walk's innermost folder and the folders
// below it that helpers have listed ahead of it on top. Every batch is
// freed by whoever last can reach it: the walk, or its last helper.
#ifndef TXD_DEPTH_FIX_READ_AHEAD_STACK_H
#define TXD_DEPTH_FIX_READ_AHEAD_STACK_H

#include <cstddef>
#include <cstdint>

#include "platform/file_access.h"
#include "platform/threads.h"

// What a helper asks for of each file: its first bytes, an archive's
// directory, a loose dictionary whole, up to a cap, never the whole of a
// big file.
constexpr std::uint64_t FILE_CAP = 256 << 10;
// Folders listed ahead of the walk, each held open, at most, and the most
// names one may have; the names a helper takes at a time.
constexpr unsigned FOLDERS_AHEAD = 16;
constexpr std::size_t NAMES_AHEAD = 4096, NAMES_AT_ONCE = 8;
// Files whose first bytes are looked for in the cache before helpers go on,
// and how many of them found there make a warm run, which helpers leave to
// the walk alone: it would only pay for their work. After so many folders
// more they look again: a tree can be warm at its start only.
constexpr unsigned SAMPLE = 8, FOUND_WARM = 6, FOLDERS_WARM = 256;
// Descriptors a helper holds at most: a folder, its listing's, a file.
constexpr unsigned HELD_BY_A_HELPER = 3, HELD_BY_THE_WALK_BESIDE = 32;

// One name to read ahead; an operand, to be looked at first, is ENTRY_OTHER.
struct ahead_name {
	const char *name;
	entry_kind kind;
	std::uint64_t index;
};

// The names of a folder, or the operands (folder and key null).
struct ahead_batch {
	const open_folder *key; // the walk's hold on the folder once it entered it, else null
	std::uint64_t index;    // where the file system keeps the folder, 0 where unknown
	open_folder *folder;    // the hold of the helper that listed it ahead, else null
	folder_listing listing; // its names as that helper listed them, or none: then the walk's
	folder_facts facts;     // of the folder, as whoever listed it found them
	ahead_name *names;
	std::size_t count, next;
	bool left;      // off the stack: the walk is done with it
	unsigned users; // helpers reading ahead of one of its names
};

struct read_ahead {
	helper_crew *crew;
	ahead_batch **batches; // the walk's outermost folder first
	std::size_t count, room;
	unsigned helpers, busy;        // helpers started, and at work
	unsigned ahead;                // batches of folders the walk has not entered yet
	std::uint64_t descriptors;     // the most the process may hold
	unsigned sampled, cached;      // files looked for in the cache, and found there
	unsigned entered;              // folders the walk entered since the last look
	std::uint64_t depth;           // folders the walk is in, each held open
	std::uint64_t cold_after;      // tests: folders entered before the cache turns cold, or 0
	bool stopping, rotational;
	bool one_file_system;
	bool warm;    // the cache holds what the walk reads: helpers stand aside
	bool starved; // the walk ran short of descriptors: helpers hold none from then on
};

// Set in the helpers' threads: what they open never asks them to give
// descriptors back.
extern thread_local bool in_helper;

// A helper's hold on a folder the walk has entered: the walk's own serves
// from now on, and a deep tree must not take two descriptors a level.
void drop_hold(ahead_batch *b);

void release_batch(ahead_batch *b);

// The names worth reading ahead: those the walk does not pass over; on a
// disk that rotates, in the order it keeps them. They point
// into the listing, which outlives the batch.
bool take_names(ahead_batch *b, const folder_listing &listing, bool rotational);

// Puts b on the stack just above the batch at, or on top for at past the
// end; the names of a folder come right after the folder's own name.
// False, b released, when memory is short.
bool insert_batch(read_ahead &ra, ahead_batch *b, std::size_t at);

std::size_t place_of(const read_ahead &ra, const ahead_batch *b);

// Whether the folder kept at index has a batch already: the walk entered it
// while a helper was listing it, or another helper listed it too.
bool on_the_stack(const read_ahead &ra, std::uint64_t index);

// Whether b's names point into a listing of the walk's own, which the walk
// releases once it has left the folder.
bool names_in_walks_listing(const ahead_batch *b);

// A hold given up while the walk has not entered the folder: no helper
// takes a name of it again, since they open below that hold.
void give_up_hold(ahead_batch *b);

// A helper's life: takes names of the topmost batches and reads ahead of
// them until the read-ahead stops.
void helper(void *context);

#endif
