// The walk of a folder, depth first in name order, one descriptor per
// level, handing out each file and each problem in turn.
#include "walk/folder_search.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "walk/policy.h"
#include "base/growth.h"

static bool problem(found_file &f, const char *shown, const char *what, int err)
{
	f = {{nullptr, nullptr, shown}, nullptr, what, err};
	return true;
}

// Sets the path in hand to the folder's path at length, a separator when
// it needs one, and name.
static bool set_path(search &s, std::size_t length, const char *name)
{
	bool separate = needs_separator_after(s.path, length);
	std::size_t n = std::strlen(name);
	if (!grow(s.path, s.path_room, length + separate + n + 1))
		return false;
	if (separate)
		s.path[length++] = PATH_SEPARATOR;
	std::memcpy(s.path + length, name, n + 1);
	return true;
}

// Lists the folder at where and makes it the innermost level, its path
// being the path in hand; true when that yields a problem, or a folder
// left alone. A folder that has gone, or turned into a link, is passed
// over in silence.
static bool enter_folder(search &s, place where, std::uint64_t index, bool follow, found_file &f)
{
	folder_listing listing;
	const folder_facts *inside = s.depth > 0 ? &s.levels[s.depth - 1].listing.facts : nullptr;
	const char *why;
	if (!list_folder_to_enter(where, follow, inside, s.one_file_system, &listing, &why)) {
		if (why != nullptr)
			return f = {where, why, nullptr, 0}, true;
		bool gone = errno == ENOENT || errno == ELOOP || errno == ENOTDIR;
		return !gone && problem(f, s.path, "cannot list the folder", errno);
	}
	if (!grow(s.levels, s.room, s.depth + 1)) {
		release_listing(&listing);
		return problem(f, s.path, "not enough memory to search the folder", 0);
	}
	sort_by_name(listing);
	read_ahead_folder(s.ahead, listing, index);
	s.levels[s.depth++] = {listing, 0, std::strlen(s.path)};
	return false;
}

// The innermost folder is done with; its helpers, if any, are told first.
static void leave_folder(search &s)
{
	folder_listing &listing = s.levels[--s.depth].listing;
	left_folder(s.ahead, listing);
	release_listing(&listing);
}

// Takes the next name of the innermost folder, or leaves the folder; true
// when that yields a file or a problem.
static bool step(search &s, found_file &f)
{
	search_level &top = s.levels[s.depth - 1];
	if (top.next == top.listing.count) {
		leave_folder(s);
		return false;
	}
	const folder_entry &e = top.listing.entries[top.next++];
	if (!set_path(s, top.path_length, e.name))
		return problem(f, s.path, "not enough memory for the path", 0);
	place where = {top.listing.folder, e.name, s.path};
	if (e.kind == ENTRY_FOLDER)
		return enter_folder(s, where, e.index, false, f);
	f = {where, passed_over_because(e), nullptr, 0};
	return true;
}

void search_begin(search &s, const char *path, read_ahead *ahead, bool one_file_system)
{
	s = {path, ahead, one_file_system, nullptr, 0, 0, nullptr, 0, false};
}

bool next_found_file(search &s, found_file &f)
{
	if (!s.started) {
		s.started = true;
		std::size_t n = std::strlen(s.root);
		if (!grow(s.path, s.path_room, n + 1))
			return problem(f, s.root, "not enough memory for the path", 0);
		std::memcpy(s.path, s.root, n + 1);
		if (enter_folder(s, {nullptr, s.root, s.root}, 0, true, f))
			return true;
	}
	while (s.depth > 0)
		if (step(s, f))
			return true;
	return false;
}

void search_end(search &s)
{
	while (s.depth > 0)
		leave_folder(s);
	std::free(s.levels);
	std::free(s.path);
}
