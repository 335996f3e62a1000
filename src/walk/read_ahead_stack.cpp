// The read-ahead's stack of batches: made, placed and freed.
#include "walk/read_ahead_stack.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/growth.h"
#include "walk/policy.h"

void drop_hold(ahead_batch *b)
{
	if (b->folder != nullptr)
		close_folder(b->folder);
	b->folder = b->listing.folder = nullptr;
}

void release_batch(ahead_batch *b)
{
	drop_hold(b);
	std::free(b->listing.entries); // the listing's names, if a helper listed it
	std::free(b->listing.names);
	std::free(b->names);
	std::free(b);
}

bool take_names(ahead_batch *b, const folder_listing &listing, bool rotational)
{
	b->names = static_cast<ahead_name *>(std::malloc(listing.count * sizeof *b->names + 1));
	if (b->names == nullptr)
		return false;
	for (std::size_t i = 0; i < listing.count; i++) {
		const folder_entry &e = listing.entries[i];
		if (passed_over_because(e) == nullptr)
			b->names[b->count++] = {e.name, e.kind, e.index};
	}
	if (rotational)
		std::sort(b->names, b->names + b->count, [](const ahead_name &x, const ahead_name &y) { return x.index < y.index; });
	return true;
}

bool insert_batch(read_ahead &ra, ahead_batch *b, std::size_t at)
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

std::size_t place_of(const read_ahead &ra, const ahead_batch *b)
{
	std::size_t i = 0;
	while (i < ra.count && ra.batches[i] != b)
		i++;
	return i;
}

bool on_the_stack(const read_ahead &ra, std::uint64_t index)
{
	for (std::size_t i = 0; i < ra.count && index != 0; i++)
		if (ra.batches[i]->index == index)
			return true;
	return false;
}

bool names_in_walks_listing(const ahead_batch *b)
{
	return b->listing.entries == nullptr && b->key != nullptr;
}

void give_up_hold(ahead_batch *b)
{
	drop_hold(b);
	if (b->key == nullptr)
		b->next = b->count;
}
