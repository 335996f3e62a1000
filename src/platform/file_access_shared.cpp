// What both platforms' file access share: folder names gathered as they
// are read.
#include "platform/file_access_shared.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/growth.h"

static descriptors_hook *freeing_hook = nullptr;
static void *freeing_context = nullptr;

void set_descriptors_hook(descriptors_hook *hook, void *context)
{
	freeing_hook = hook;
	freeing_context = context;
}

bool descriptors_freed(int err)
{
	return (err == EMFILE || err == ENFILE) && freeing_hook != nullptr && freeing_hook(freeing_context);
}

bool is_dot_or_dot_dot(const char *name)
{
	return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool store_name(name_store *s, const char *name, entry_kind kind, std::uint64_t index)
{
	std::size_t n = std::strlen(name) + 1;
	if (!grow(s->text, s->room, s->used + n) || !grow(s->names, s->slots, s->count + 1))
		return false;
	std::memcpy(s->text + s->used, name, n);
	s->names[s->count++] = {s->used, kind, index};
	s->used += n;
	return true;
}

void discard_names(name_store *s)
{
	std::free(s->text);
	std::free(s->names);
}

// Turns the store into the listing's entries; the store is released
// either way.
static bool finish_listing(name_store *s, folder_listing *listing)
{
	folder_entry *entries = static_cast<folder_entry *>(std::malloc(s->count > 0 ? s->count * sizeof(folder_entry) : 1));
	if (entries == nullptr) {
		discard_names(s);
		errno = ENOMEM;
		return false;
	}
	for (std::size_t i = 0; i < s->count; i++)
		entries[i] = {s->text + s->names[i].start, s->names[i].kind, s->names[i].index};
	std::free(s->names);
	listing->entries = entries;
	listing->count = s->count;
	listing->names = s->text;
	return true;
}

static int by_name(const void *a, const void *b)
{
	return std::strcmp(static_cast<const folder_entry *>(a)->name, static_cast<const folder_entry *>(b)->name);
}

void sort_by_name(folder_listing &listing)
{
	std::qsort(listing.entries, listing.count, sizeof(folder_entry), by_name);
}

bool list_folder(place where, bool follow, folder_listing *listing)
{
	open_folder *folder = open_listed_folder(where, follow);
	return folder != nullptr && read_listing(folder, listing);
}

bool read_listing(open_folder *folder, folder_listing *listing)
{
	name_store s = {};
	bool read = read_folder_names(folder, &s);
	if (!read)
		discard_names(&s);
	if (!read || !finish_listing(&s, listing)) {
		int err = errno;
		close_folder(folder);
		errno = err;
		return false;
	}
	listing->folder = folder;
	listing->facts = {0, false};
	return true;
}

void release_listing(folder_listing *listing)
{
	std::free(listing->entries);
	std::free(listing->names);
	close_folder(listing->folder);
}
