// An open-addressed table of identities, at most half full, so that a tree
// of many thousand files costs one probe or two a file.
#include "base/file_set.h"

#include <cstdlib>
#include <cstring>

static std::size_t slot_of(std::uint64_t volume, std::uint64_t index, std::size_t room)
{
	std::uint64_t h = (index ^ (volume * 0x9E3779B97F4A7C15ULL)) * 0xC2B2AE3D27D4EB4FULL;
	return static_cast<std::size_t>(h ^ (h >> 29)) & (room - 1);
}

static seen_file *find(seen_file *slots, std::size_t room, std::uint64_t volume, std::uint64_t index)
{
	std::size_t i = slot_of(volume, index, room);
	while (slots[i].shown != nullptr && (slots[i].volume != volume || slots[i].index != index))
		i = (i + 1) & (room - 1);
	return &slots[i];
}

static bool grown(file_set &s)
{
	std::size_t room = s.room == 0 ? 64 : s.room * 2;
	seen_file *slots = room <= SIZE_MAX / sizeof *slots ? static_cast<seen_file *>(std::calloc(room, sizeof *slots)) : nullptr;
	if (slots == nullptr)
		return false;
	for (std::size_t i = 0; i < s.room; i++)
		if (s.slots[i].shown != nullptr)
			*find(slots, room, s.slots[i].volume, s.slots[i].index) = s.slots[i];
	std::free(s.slots);
	s.slots = slots, s.room = room;
	return true;
}

const char *seen_before(file_set &s, std::uint64_t volume, std::uint64_t index, const char *shown)
{
	if (s.room > 0) {
		seen_file *f = find(s.slots, s.room, volume, index);
		if (f->shown != nullptr)
			return f->shown;
	}
	if ((s.count + 1) * 2 > s.room && !grown(s))
		return nullptr;
	seen_file *f = find(s.slots, s.room, volume, index);
	std::size_t n = std::strlen(shown) + 1;
	char *copy = static_cast<char *>(std::malloc(n));
	if (copy != nullptr)
		std::memcpy(copy, shown, n), *f = {volume, index, copy}, s.count++;
	return nullptr;
}

void release_file_set(file_set &s)
{
	for (std::size_t i = 0; i < s.room; i++)
		std::free(s.slots[i].shown);
	std::free(s.slots);
	s = {nullptr, 0, 0};
}
