#include "invariant.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "format/texture_patch.h"

namespace invariant {

namespace {

// Written apart from the tool's reader on purpose: 64-bit positions, and
// byte vectors rather than pointers.
std::uint64_t u32_at(const bytes &b, std::uint64_t at)
{
	std::uint64_t v = 0;
	for (int i = 3; i >= 0; i--)
		v = v << 8 | b[static_cast<std::size_t>(at) + static_cast<std::size_t>(i)];
	return v;
}

bool is_16_bit_with_wrong_depth(const bytes &b, std::uint64_t native)
{
	std::uint64_t format = u32_at(b, native + 96) & 0xF00;
	unsigned char depth = b[static_cast<std::size_t>(native + 108)];
	return (format == 0x100 || format == 0x200 || format == 0x300) && (depth == 8 || depth == 4);
}

// The chunks that stand one after another from pos to the end of the
// buffer. A dictionary's children follow its header, and the walk never
// returns to the dictionary's declared end: whatever follows the children
// is walked as their sibling, to the end of the buffer or a type of 0.
void collect_repairs(const bytes &b, std::uint64_t pos, std::vector<std::size_t> &depths)
{
	if (pos + 12 > b.size() || u32_at(b, pos) == 0)
		return;
	if (u32_at(b, pos) == 0x16)
		return collect_repairs(b, pos + 12, depths);
	std::uint64_t end = pos + 12 + u32_at(b, pos + 4);
	// The depth byte counts only inside the chunk's own declared body.
	if (u32_at(b, pos) == 0x15 && pos + 108 < std::min<std::uint64_t>(end, b.size()) && is_16_bit_with_wrong_depth(b, pos))
		depths.push_back(static_cast<std::size_t>(pos + 108));
	collect_repairs(b, end, depths);
}

std::string at_byte(const char *what, std::size_t at)
{
	return std::string(what) + " at byte " + std::to_string(at);
}

// The name up to its NUL, if the field has one.
std::string name_of(const bytes &b, std::size_t field)
{
	std::string name(b.begin() + static_cast<std::ptrdiff_t>(field), b.begin() + static_cast<std::ptrdiff_t>(field + 24));
	return name.substr(0, name.find('\0'));
}

bool txd_named(const std::string &name)
{
	std::size_t dot = name.rfind('.');
	if (dot == std::string::npos || name.size() - dot < 4)
		return false;
	auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
	return lower(name[dot + 1]) == 't' && lower(name[dot + 2]) == 'x' && lower(name[dot + 3]) == 'd';
}

// "  name: format, depth old -> 16" for the repair of the depth at depth_at,
// entry holding the dictionary as it was before the walk.
std::string listing_line(const bytes &entry, std::size_t depth_at)
{
	static const char *const formats[] = {"1-5-5-5", "5-6-5", "4-4-4-4"};
	std::size_t native = depth_at - 108;
	std::string name;
	for (std::size_t i = native + 32; i < native + 64 && entry[i] != 0; i++) {
		char hex[8];
		std::snprintf(hex, sizeof hex, "\\x%02x", entry[i]);
		name += entry[i] >= 0x20 && entry[i] < 0x7F && entry[i] != '\\' ? std::string(1, static_cast<char>(entry[i])) : hex;
	}
	return "  " + name + ": " + formats[(u32_at(entry, native + 96) >> 8 & 0xF) - 1] + ", depth " +
	       std::to_string(entry[depth_at]) + " -> 16\n";
}

// Repairs the dictionary that stands at start in o.image and adds its line.
void repair_and_report(outcome &o, const std::string &name, std::uint64_t start, std::uint64_t end, bool verbose)
{
	bytes entry(o.image.begin() + static_cast<std::ptrdiff_t>(start), o.image.begin() + static_cast<std::ptrdiff_t>(end));
	std::vector<std::size_t> depths = reference_repairs(entry);
	o.out += "Patching " + name + " patched " + std::to_string(depths.size()) + " textures\n";
	for (std::size_t d : depths) {
		o.image[static_cast<std::size_t>(start) + d] = 16;
		if (verbose)
			o.out += listing_line(entry, d);
	}
}

} // namespace

std::vector<std::size_t> reference_repairs(const bytes &buffer)
{
	std::vector<std::size_t> depths;
	collect_repairs(buffer, 0, depths);
	return depths;
}

// The directory is read once, before any entry; each entry is read from the
// image as the entries before it left it, and only what the file holds of it.
outcome reference_run(const bytes &before, bool verbose, const std::string &path)
{
	outcome o{before, ""};
	bool ver2 = before.size() >= 4 && u32_at(before, 0) == 0x32524556;
	if (!ver2 && verbose)
		o.out = path + ": left alone: not a VER2 archive\n";
	if (!ver2 || before.size() < 8 || u32_at(before, 4) > 0x7FFFFFFF)
		return o;
	for (std::uint64_t i = 0; i < u32_at(before, 4) && 8 + (i + 1) * 32 <= before.size(); i++) {
		std::size_t record = static_cast<std::size_t>(8 + i * 32);
		std::string name = name_of(before, record + 8);
		if (!txd_named(name))
			continue;
		std::uint64_t start = std::min<std::uint64_t>(u32_at(before, record) * 2048, before.size());
		std::uint64_t end = std::min<std::uint64_t>(start + u32_at(before, record + 4) * 2048, before.size());
		repair_and_report(o, name, start, end, verbose);
	}
	return o;
}

outcome reference_loose_run(const bytes &before, const std::string &path, bool verbose)
{
	outcome o{before, ""};
	if (before.size() >= 4 && u32_at(before, 0) == 0x16)
		repair_and_report(o, path, 0, before.size(), verbose);
	else if (verbose)
		o.out = path + ": left alone: not a texture dictionary\n";
	return o;
}

std::string walk_violation(const bytes &buffer)
{
	std::vector<std::size_t> depths = reference_repairs(buffer);
	bytes expected = buffer, once = buffer;
	for (std::size_t d : depths)
		expected[d] = 16;
	std::int32_t count = patch_texture_depths(once.data(), once.size());
	auto wrong = std::mismatch(once.begin(), once.end(), expected.begin());
	if (wrong.first != once.end())
		return at_byte(*wrong.first == buffer[static_cast<std::size_t>(wrong.first - once.begin())]
		                   ? "a qualifying depth left unrepaired"
		                   : "a byte that the walk must not touch changed",
		               static_cast<std::size_t>(wrong.first - once.begin()));
	if (static_cast<std::size_t>(count) != depths.size())
		return "the walk returned " + std::to_string(count) + " but changed " + std::to_string(depths.size()) + " bytes";
	bytes twice = once;
	if (patch_texture_depths(twice.data(), twice.size()) != 0 || twice != once)
		return "a second walk found more to repair";
	return "";
}

std::string archive_violation(const bytes &before, const bytes &after, bool whole_run)
{
	if (after.size() != before.size())
		return "the length changed from " + std::to_string(before.size()) + " to " + std::to_string(after.size());
	bytes expected = reference_run(before).image;
	for (std::size_t i = 0; i < before.size(); i++) {
		if (after[i] == expected[i] || (!whole_run && after[i] == before[i]))
			continue;
		return at_byte(after[i] == before[i] ? "a qualifying depth left unrepaired" : "a byte that no run changes changed", i);
	}
	return "";
}

} // namespace invariant
