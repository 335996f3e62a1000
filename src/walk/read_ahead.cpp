// The read-ahead: a stack of folders in the order the walk will take
// their names, the walk's innermost folder and the folders below it that
// helpers have listed ahead of it on top. Helpers take the names of the
// topmost folder that has any left, so they run ahead in the walk's order.
#include "walk/read_ahead.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "walk/policy.h"
#include "base/growth.h"
#include "platform/threads.h"

// What a helper asks for of each file: its first bytes, an archive's
// directory, a loose dictionary whole, up to a cap, never the whole of a
// big file.
static const std::uint64_t FILE_CAP = 256 << 10;
// Folders listed ahead of the walk, each held open, at most, and the most
// names one may have; the names a helper takes at a time.
static const unsigned FOLDERS_AHEAD = 16;
static const std::size_t NAMES_AHEAD = 4096, NAMES_AT_ONCE = 8;
// Files whose first bytes are looked for in the cache before helpers go on,
// and how many of them found there make a warm run, which helpers leave to
// the walk alone: it would only pay for their work. After so many folders
// more they look again: a tree can be warm at its start only.
static const unsigned SAMPLE = 8, FOUND_WARM = 6, FOLDERS_WARM = 256;
// Descriptors a helper holds at most: a folder, its listing's, a file.
static const unsigned HELD_BY_A_HELPER = 3, HELD_BY_THE_WALK_BESIDE = 32;

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
	bool warm;    // the cache holds what the walk reads: helpers stand aside
	bool starved; // the walk ran short of descriptors: helpers hold none from then on
};

// Set in the helpers' threads: what they open never asks them to give
// descriptors back.
static thread_local bool in_helper = false;

// A helper's hold on a folder the walk has entered: the walk's own serves
// from now on, and a deep tree must not take two descriptors a level.
static void drop_hold(ahead_batch *b)
{
	if (b->folder != nullptr)
		close_folder(b->folder);
	b->folder = b->listing.folder = nullptr;
}

static void release_batch(ahead_batch *b)
{
	drop_hold(b);
	std::free(b->listing.entries); // the listing's names, if a helper listed it
	std::free(b->listing.names);
	std::free(b->names);
	std::free(b);
}

// Notes what a sample of the cache said; enough of them decide.
static void note_sample(read_ahead &ra, cache_state state)
{
	if (state == CACHE_UNKNOWN)
		return;
	lock_crew(ra.crew);
	ra.cached += state == CACHE_WARM;
	if (++ra.sampled == SAMPLE)
		ra.warm = ra.cached >= FOUND_WARM, ra.entered = 0;
	unlock_crew(ra.crew);
}

// Opens the file as the walk will, with the same flags, and asks for what
// a repair reads of it without waiting for it, leaving its access time as
// it was; while the cache is being sampled, looks first whether it holds
// the file already.
static void read_file_ahead(read_ahead &ra, place where, bool sampling)
{
	if (sampling)
		note_sample(ra, first_bytes_cached(where));
	io_handle f = open_file(where, where.folder == nullptr);
	if (f == NO_HANDLE)
		return;
	advise_reading(f, 0, FILE_CAP);
	close_file(f);
}

// The names worth reading ahead: folders, and files that are not
// backups; on a disk that rotates, in the order it keeps them. They point
// into the listing, which outlives the batch.
static bool take_names(ahead_batch *b, const folder_listing &listing, bool rotational)
{
	b->names = static_cast<ahead_name *>(std::malloc(listing.count * sizeof *b->names + 1));
	if (b->names == nullptr)
		return false;
	for (std::size_t i = 0; i < listing.count; i++) {
		const folder_entry &e = listing.entries[i];
		if (e.kind == ENTRY_FOLDER || (e.kind == ENTRY_FILE && !is_backup_name(e.name)))
			b->names[b->count++] = {e.name, e.kind, e.index};
	}
	if (rotational)
		std::sort(b->names, b->names + b->count, [](const ahead_name &x, const ahead_name &y) { return x.index < y.index; });
	return true;
}

// Puts b on the stack just above the batch at, or on top for at past the
// end; the names of a folder come right after the folder's own name.
// False, b released, when memory is short.
static bool insert_batch(read_ahead &ra, ahead_batch *b, std::size_t at)
{
	if (!grow(ra.batches, ra.room, ra.count + 1)) {
		release_batch(b);
		return false;
	}
	at = std::min(at, ra.count);
	std::memmove(ra.batches + at + 1, ra.batches + at, (ra.count - at) * sizeof *ra.batches);
	ra.batches[at] = b;
	ra.count++;
	wake_crew(ra.crew);
	return true;
}

static std::size_t place_of(const read_ahead &ra, const ahead_batch *b)
{
	std::size_t i = 0;
	while (i < ra.count && ra.batches[i] != b)
		i++;
	return i;
}

// Whether the folder kept at index has a batch already: the walk entered it
// while a helper was listing it, or another helper listed it too.
static bool on_the_stack(const read_ahead &ra, std::uint64_t index)
{
	for (std::size_t i = 0; i < ra.count && index != 0; i++)
		if (ra.batches[i]->index == index)
			return true;
	return false;
}

// Lists a folder the walk will enter, as it will list it, in the order it
// will take its names; while few folders are ahead of the walk, keeps the
// listing as a batch of its own for helpers to go on with. Takes the lock.
static void read_folder_ahead(read_ahead &ra, place where, std::uint64_t index, const ahead_batch *parent)
{
	folder_listing listing;
	if (!list_folder(where, false, &listing)) {
		lock_crew(ra.crew);
		return;
	}
	sort_by_name(listing);
	ahead_batch *b = listing.count <= NAMES_AHEAD ? static_cast<ahead_batch *>(std::calloc(1, sizeof *b)) : nullptr;
	bool kept = b != nullptr && take_names(b, listing, ra.rotational);
	lock_crew(ra.crew);
	if (!kept || ra.starved || ra.ahead >= FOLDERS_AHEAD || parent->left || on_the_stack(ra, index)) {
		if (b != nullptr)
			std::free(b->names), std::free(b);
		release_listing(&listing);
		return;
	}
	b->index = index;
	b->listing = listing;
	b->folder = listing.folder;
	if (insert_batch(ra, b, place_of(ra, parent) + 1))
		ra.ahead++;
}

// The topmost batch with names left that no helper works in, else the
// topmost with names left; null when none has. Helpers spread over
// folders: files side by side wait on the same blocks of the disk.
static ahead_batch *next_batch(read_ahead &ra)
{
	ahead_batch *busy = nullptr;
	for (std::size_t i = ra.count; i > 0; i--) {
		ahead_batch *b = ra.batches[i - 1];
		if (b->next < b->count && b->users == 0)
			return b;
		if (b->next < b->count && busy == nullptr)
			busy = b;
	}
	return busy;
}

// Whether a helper may take names now: not on a warm cache; on a disk that
// rotates, two at a time, so that it can take them in its own order; and
// never with a descriptor the walk may need: one for each folder it is in,
// those it holds beside them, and all that helpers may hold.
static bool may_go_on(const read_ahead &ra)
{
	std::uint64_t held = ra.depth + FOLDERS_AHEAD + HELD_BY_A_HELPER * ra.helpers + HELD_BY_THE_WALK_BESIDE;
	return !ra.warm && !ra.starved && (!ra.rotational || ra.busy < 2) && held < ra.descriptors;
}

// Reads ahead of one name of b in folder (null for an operand) without the
// lock; takes it again after. An operand is read ahead only as the walk
// will handle it: a folder listed, a regular file that is no backup
// opened; nothing else is ever opened.
static void read_name_ahead(read_ahead &ra, ahead_batch *b, const open_folder *folder, const ahead_name &n,
                            bool sampling)
{
	place where = {folder, n.name, n.name};
	entry_kind kind = n.kind;
	if (kind == ENTRY_OTHER) {
		operand_plan plan = plan_operand(n.name);
		kind = plan.kind == OPERAND_FOLDER ? ENTRY_FOLDER : plan.kind == OPERAND_FILE ? ENTRY_FILE : ENTRY_OTHER;
		release_operand_plan(plan);
	}
	if (kind == ENTRY_FOLDER && folder != nullptr)
		return read_folder_ahead(ra, where, n.index, b);
	folder_listing listing;
	if (kind == ENTRY_FOLDER && list_folder(where, true, &listing))
		release_listing(&listing);
	else if (kind == ENTRY_FILE)
		read_file_ahead(ra, where, sampling);
	lock_crew(ra.crew);
}

// Whether b's names point into a listing of the walk's own, which the walk
// releases once it has left the folder.
static bool names_in_walks_listing(const ahead_batch *b)
{
	return b->listing.entries == nullptr && b->key != nullptr;
}

// A hold given up while the walk has not entered the folder: no helper
// takes a name of it again, since they open below that hold.
static void give_up_hold(ahead_batch *b)
{
	drop_hold(b);
	if (b->key == nullptr)
		b->next = b->count;
}

// A helper is done with b: the last one out of a batch the walk has
// entered lets go of its own hold on the folder; out of one the walk has
// left, releases it, or tells the walk that waits to release it.
static void done_with(read_ahead &ra, ahead_batch *b)
{
	if (ra.starved)
		wake_crew(ra.crew); // the walk waits for the helpers' descriptors
	if (--b->users > 0)
		return;
	if (!b->left && b->key != nullptr)
		drop_hold(b); // the walk has entered it since
	else if (!b->left && ra.starved)
		give_up_hold(b);
	if (!b->left)
		return;
	if (names_in_walks_listing(b))
		wake_crew(ra.crew); // the walk waits to release it
	else
		release_batch(b);
}

// Takes the next few names under the lock, reads ahead of them without:
// a helper takes the lock once for several names. In a folder the walk is
// in, a hold of its own on the folder, made while the walk's is sure to be
// open, serves for them.
static void helper(void *context)
{
	read_ahead &ra = *static_cast<read_ahead *>(context);
	in_helper = true;
	lock_crew(ra.crew);
	while (!ra.stopping) {
		ahead_batch *b = may_go_on(ra) ? next_batch(ra) : nullptr;
		if (b == nullptr) {
			wait_in_crew(ra.crew);
			continue;
		}
		std::size_t first = b->next, last = std::min(b->count, first + (ra.rotational ? 1 : NAMES_AT_ONCE));
		b->next = last;
		open_folder *held = b->folder == nullptr && b->key != nullptr ? hold_folder_again(b->key) : nullptr;
		const open_folder *folder = b->folder != nullptr ? b->folder : held;
		b->users++, ra.busy++;
		for (std::size_t i = first; i < last && !b->left && (folder != nullptr || b->key == nullptr); i++) {
			bool sampling = ra.sampled < SAMPLE; // a few more than SAMPLE do no harm
			unlock_crew(ra.crew);
			read_name_ahead(ra, b, folder, b->names[i], sampling);
		}
		if (held != nullptr)
			close_folder(held);
		ra.busy--;
		done_with(ra, b);
		if (ra.rotational)
			wake_crew(ra.crew); // a turn is free
	}
	unlock_crew(ra.crew);
}

// The walk's open failed for want of a descriptor: helpers stand aside
// from now on, let go of every hold and finish what they are reading, so
// that the walk has all the process may open, as when it runs alone. The
// open is worth trying again even when they hold none by now: they may
// have held one when it failed.
static bool give_back_descriptors(void *context)
{
	if (in_helper)
		return false;
	read_ahead &ra = *static_cast<read_ahead *>(context);
	lock_crew(ra.crew);
	ra.starved = true;
	for (std::size_t i = 0; i < ra.count; i++)
		if (ra.batches[i]->users == 0 && ra.batches[i]->folder != nullptr)
			give_up_hold(ra.batches[i]);
	while (ra.busy > 0)
		wait_in_crew(ra.crew);
	unlock_crew(ra.crew);
	return true;
}

// For the tests: helpers that take the cache for a cold one, so that they
// run beside the walk on any machine as on a cold disk: from the start
// ("1"), or warm for the first N folders the walk enters and cold after
// them ("N"), as a tree cached at its start only.
static void force_cold_cache(read_ahead &ra)
{
	const char *forced = std::getenv("TXD_TEST_COLD_CACHE");
	unsigned long after = forced != nullptr ? std::strtoul(forced, nullptr, 10) : 0;
	if (after == 1)
		ra.sampled = SAMPLE; // never sampled: never warm
	else if (after > 1)
		ra.warm = true, ra.sampled = SAMPLE, ra.cold_after = after;
}

// The walk is one of the jobs: the helpers are the rest.
read_ahead *start_read_ahead(unsigned jobs, bool rotational)
{
	unsigned helpers = jobs > 1 ? jobs - 1 : 0;
	std::uint64_t descriptors = descriptor_limit();
	if (helpers == 0 || HELD_BY_A_HELPER * helpers + FOLDERS_AHEAD + HELD_BY_THE_WALK_BESIDE >= descriptors / 2)
		return nullptr;
	read_ahead *ra = static_cast<read_ahead *>(std::calloc(1, sizeof *ra));
	if (ra == nullptr)
		return nullptr;
	ra->rotational = rotational;
	ra->helpers = helpers;
	ra->descriptors = descriptors;
	force_cold_cache(*ra);
	ra->crew = new_crew(helpers);
	if (ra->crew != nullptr && start_crew(ra->crew, helper, ra)) {
		set_descriptors_hook(give_back_descriptors, ra);
		return ra;
	}
	if (ra->crew != nullptr)
		join_crew(ra->crew);
	std::free(ra);
	return nullptr;
}

// The batch helpers listed ahead for the folder the walk enters, or null.
static ahead_batch *listed_ahead(read_ahead &ra, std::uint64_t index)
{
	for (std::size_t i = ra.count; i > 0 && index != 0; i--)
		if (ra.batches[i - 1]->key == nullptr && ra.batches[i - 1]->index == index)
			return ra.batches[i - 1];
	return nullptr;
}

// On a warm cache, after many folders, helpers look at the cache again.
// A test's cache turns cold when it says.
static void count_folder(read_ahead &ra)
{
	ra.depth++;
	if (ra.cold_after > 0 && --ra.cold_after == 0) {
		ra.warm = false, ra.sampled = SAMPLE;
		wake_crew(ra.crew);
	}
	if (ra.warm && ++ra.entered == FOLDERS_WARM) {
		ra.warm = false;
		ra.sampled = ra.cached = 0;
		wake_crew(ra.crew);
	}
}

// A folder the walk enters: the batch a helper listed ahead for it, which
// the walk takes over, or one of the walk's own listing, whose names the
// batch points into until the walk leaves it.
void read_ahead_folder(read_ahead *ra, const folder_listing &listing, std::uint64_t index)
{
	if (ra == nullptr)
		return;
	lock_crew(ra->crew);
	count_folder(*ra);
	ahead_batch *b = listed_ahead(*ra, index);
	if (b != nullptr) {
		b->key = listing.folder, ra->ahead--;
		if (b->users == 0)
			drop_hold(b);
	}
	bool done = b != nullptr || ra->warm;
	unlock_crew(ra->crew);
	if (done || (b = static_cast<ahead_batch *>(std::calloc(1, sizeof *b))) == nullptr)
		return;
	b->key = listing.folder;
	b->index = index;
	if (!take_names(b, listing, ra->rotational)) {
		release_batch(b);
		return;
	}
	lock_crew(ra->crew);
	insert_batch(*ra, b, ra->count);
	unlock_crew(ra->crew);
}

// The folder's batch goes, and all above it: what helpers listed ahead
// inside it. They leave the stack first, so that no helper takes a name of
// theirs any more. A batch no helper is in goes at once; one of the walk's
// own names, once no helper reads ahead of one of them, since the walk
// releases its listing after this; any other, by its last helper, which
// may be at any moment from now on: the walk keeps no pointer to it.
void left_folder(read_ahead *ra, const folder_listing &listing)
{
	if (ra == nullptr)
		return;
	lock_crew(ra->crew);
	ra->depth--;
	std::size_t at = ra->count;
	while (at > 0 && ra->batches[at - 1]->key != listing.folder)
		at--;
	ahead_batch *own = nullptr; // the walk's names of this folder, while a helper reads ahead of them
	for (std::size_t i = at > 0 ? at - 1 : ra->count; i < ra->count; i++) {
		ahead_batch *b = ra->batches[i];
		if (b->key == nullptr && b->listing.entries != nullptr)
			ra->ahead--; // listed ahead, never entered
		b->left = true;
		if (b->users == 0)
			release_batch(b);
		else if (names_in_walks_listing(b))
			own = b;
	}
	ra->count = at > 0 ? at - 1 : ra->count;
	while (own != nullptr && own->users > 0)
		wait_in_crew(ra->crew);
	if (own != nullptr)
		release_batch(own);
	unlock_crew(ra->crew);
}

void read_ahead_paths(read_ahead *ra, const char *const *paths, std::size_t count)
{
	ahead_batch *b = ra != nullptr ? static_cast<ahead_batch *>(std::calloc(1, sizeof *b)) : nullptr;
	if (b == nullptr)
		return;
	b->names = static_cast<ahead_name *>(std::malloc(count * sizeof *b->names + 1));
	if (b->names == nullptr) {
		std::free(b);
		return;
	}
	for (std::size_t i = 0; i < count; i++)
		b->names[i] = {paths[i], ENTRY_OTHER, 0};
	b->count = count;
	lock_crew(ra->crew);
	insert_batch(*ra, b, 0); // under every folder to come
	unlock_crew(ra->crew);
}

void stop_read_ahead(read_ahead *ra)
{
	if (ra == nullptr)
		return;
	set_descriptors_hook(nullptr, nullptr);
	lock_crew(ra->crew);
	ra->stopping = true;
	wake_crew(ra->crew);
	unlock_crew(ra->crew);
	join_crew(ra->crew);
	for (std::size_t i = 0; i < ra->count; i++)
		release_batch(ra->batches[i]);
	std::free(ra->batches);
	std::free(ra);
}
