// The VER2 layout: records, the name rule, and the spans of selected
// entries within the file.
#include "format/archive.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "format/little_endian.h"

dir_entry decode_dir_entry(const unsigned char *record)
{
	dir_entry e;
	e.first_sector = get32le(record);
	e.sectors = get32le(record + 4);
	std::memcpy(e.name, record + 8, NAME_SIZE);
	e.name[NAME_SIZE] = '\0';
	return e;
}

// The last dot decides; only the three characters after it are compared.
// A name that ends sooner fails at its NUL, which matches no letter.
bool has_txd_extension(const char *name)
{
	const char *dot = std::strrchr(name, '.');
	if (dot == nullptr)
		return false;
	const unsigned char *ext = reinterpret_cast<const unsigned char *>(dot + 1);
	return ascii_lower(ext[0]) == 't' && ascii_lower(ext[1]) == 'x' && ascii_lower(ext[2]) == 'd';
}

bool entry_count_of(const unsigned char *head, std::size_t got, std::int32_t *count, char *problem, std::size_t room)
{
	if (got < HEADER_SIZE) {
		std::snprintf(problem, room, "header cut short after the VER2 magic");
		return false;
	}
	*count = static_cast<std::int32_t>(get32le(head + 4));
	if (*count < 0) {
		std::snprintf(problem, room, "negative entry count %i", static_cast<int>(*count));
		return false;
	}
	return true;
}

std::size_t records_held(std::int32_t count, std::uint64_t file_size)
{
	std::uint64_t held = file_size > HEADER_SIZE ? (file_size - HEADER_SIZE) / DIR_ENTRY_SIZE : 0;
	return static_cast<std::size_t>(held < static_cast<std::uint64_t>(count) ? held : static_cast<std::uint64_t>(count));
}

bool directory_cut_short(std::int32_t count, std::size_t records, char *problem, std::size_t room)
{
	if (records >= static_cast<std::size_t>(count))
		return false;
	std::snprintf(problem, room, "directory lists %i entries but only %llu %s in the file", static_cast<int>(count),
	              static_cast<unsigned long long>(records), records == 1 ? "is" : "are");
	return true;
}

const char *cut_short_problem(std::uint64_t got)
{
	return got == 0 ? "entry starts past the end of the archive" : "entry ends past the end of the archive";
}

// Of length bytes from start, those that a file of file_size bytes holds.
static std::uint64_t present_of(std::uint64_t start, std::uint64_t length, std::uint64_t file_size)
{
	std::uint64_t present = start < file_size ? file_size - start : 0;
	return present < length ? present : length;
}

span whole_file_span(const char *name, std::uint64_t size)
{
	return {name, nullptr, 0, size, size};
}

archive_plan plan_archive(const unsigned char *directory, std::size_t records, std::uint64_t file_size)
{
	archive_plan plan = {directory, records, 0, file_size, {}};
	return plan;
}

bool next_span(archive_plan &plan, span &s)
{
	while (plan.next < plan.records) {
		plan.entry = decode_dir_entry(plan.directory + plan.next++ * DIR_ENTRY_SIZE);
		if (!has_txd_extension(plan.entry.name))
			continue;
		std::uint64_t start = plan.entry.first_sector * SECTOR_SIZE, length = plan.entry.sectors * SECTOR_SIZE;
		s = {plan.entry.name, plan.entry.name, start, length, present_of(start, length, plan.file_size)};
		return true;
	}
	return false;
}
