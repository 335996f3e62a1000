// The read-ahead as the walk sees it: started, told of each folder it
// enters and leaves and of the operands, asked for descriptors back, and
// stopped. The helpers' side is read_ahead_helpers.cpp; the stack they
// share, read_ahead_stack.cpp.
#include "walk/read_ahead.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "walk/read_ahead_stack.h"

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
read_ahead *start_read_ahead(unsigned jobs, bool rotational, bool one_file_system)
{
	unsigned helpers = jobs > 1 ? jobs - 1 : 0;
	std::uint64_t descriptors = descriptor_limit();
	if (helpers == 0 || HELD_BY_A_HELPER * helpers + FOLDERS_AHEAD + HELD_BY_THE_WALK_BESIDE >= descriptors / 2)
		return nullptr;
	read_ahead *ra = static_cast<read_ahead *>(std::calloc(1, sizeof *ra));
	if (ra == nullptr)
		return nullptr;
	ra->rotational = rotational;
	ra->one_file_system = one_file_system;
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
	b->facts = listing.facts;
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
