// The read-ahead's helpers: each takes the next few names of the topmost
// batch with names left, opens each file as the walk will and asks for its
// first bytes without waiting, and lists the folders the walk will enter
// next. They never write, decide or report.
#include <algorithm>
#include <cstdlib>

#include "walk/policy.h"
#include "walk/read_ahead_stack.h"

thread_local bool in_helper = false;

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

// Opens the file as the walk will, with the same flags (a file found in a
// folder leaving its access time as it was), and asks for what a repair
// reads of it without waiting for it; while the cache is being sampled,
// looks first whether it holds the file already.
static void read_file_ahead(read_ahead &ra, place where, bool sampling)
{
	if (sampling)
		note_sample(ra, first_bytes_cached(where));
	io_handle f = where.folder != nullptr ? open_quietly(where) : open_file(where, true);
	if (f == NO_HANDLE)
		return;
	advise_reading(f, 0, FILE_CAP);
	close_file(f);
}

// Whether a folder listed ahead is worth a batch of its own, which holds
// a descriptor: while few folders are ahead of the walk and the walk has
// not entered it already. With the lock held.
static bool worth_a_batch(const read_ahead &ra, std::uint64_t index, const ahead_batch *parent)
{
	return !ra.starved && ra.ahead < FOLDERS_AHEAD && !parent->left && !on_the_stack(ra, index);
}

// Lists a folder the walk will enter, as it will list it, in the order it
// will take its names; keeps the listing as a batch of its own for helpers
// to go on with when it is worth one.
static void read_folder_ahead(read_ahead &ra, place where, std::uint64_t index, const ahead_batch *parent)
{
	folder_listing listing;
	const char *why;
	if (!list_folder_to_enter(where, false, &parent->facts, ra.one_file_system, &listing, &why))
		return;
	sort_by_name(listing);
	ahead_batch *b = listing.count <= NAMES_AHEAD ? static_cast<ahead_batch *>(std::calloc(1, sizeof *b)) : nullptr;
	bool kept = b != nullptr && take_names(b, listing, ra.rotational);
	lock_crew(ra.crew);
	if (kept && worth_a_batch(ra, index, parent)) {
		b->index = index;
		b->facts = listing.facts;
		b->listing = listing;
		b->folder = listing.folder;
		if (insert_batch(ra, b, place_of(ra, parent) + 1))
			ra.ahead++;
		unlock_crew(ra.crew);
		return;
	}
	unlock_crew(ra.crew);
	if (b != nullptr)
		std::free(b->names), std::free(b);
	release_listing(&listing);
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

// Reads ahead of one name of b in folder (null for an operand), without
// the lock. An operand is read ahead only as the walk will handle it: a
// folder listed, a regular file that is no backup opened; nothing else is
// ever opened.
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
	const char *why;
	if (kind == ENTRY_FOLDER && list_folder_to_enter(where, true, nullptr, ra.one_file_system, &listing, &why))
		release_listing(&listing);
	else if (kind == ENTRY_FILE)
		read_file_ahead(ra, where, sampling);
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
void helper(void *context)
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
			lock_crew(ra.crew);
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
