#include "invariant.h"

#include <cstdint>

#include "texture_patch.h"

namespace invariant {

namespace {

std::uint32_t get32le(const bytes &b, std::size_t at)
{
	return ::get32le(&b[at]);
}

// A depth write can neither make nor unmake a texture-native type word or a
// 16-bit pixel format, so both still stand in before where the walk saw them.
bool is_depth_repair(const bytes &before, const bytes &after, std::size_t at)
{
	if (at < DEPTH_OFFSET || (before[at] != 8 && before[at] != 4) || after[at] != 16)
		return false;
	std::size_t native = at - DEPTH_OFFSET;
	std::uint32_t format = get32le(before, native + RASTER_FORMAT_OFFSET) & PIXEL_FORMAT_MASK;
	return get32le(before, native) == CHUNK_TEXTURE_NATIVE &&
	       (format == PIXEL_FORMAT_1555 || format == PIXEL_FORMAT_565 || format == PIXEL_FORMAT_4444);
}

std::string at_byte(const char *what, std::size_t at)
{
	return std::string(what) + " at byte " + std::to_string(at);
}

bool txd_named(const unsigned char *field)
{
	std::string name(reinterpret_cast<const char *>(field), 24);
	name = name.substr(0, name.find('\0'));
	std::size_t dot = name.rfind('.');
	if (dot == std::string::npos || name.size() - dot < 4)
		return false;
	auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
	return lower(name[dot + 1]) == 't' && lower(name[dot + 2]) == 'x' && lower(name[dot + 3]) == 'd';
}

// Whether some txd entry listed in before's directory holds byte at.
bool in_selected_entry(const bytes &before, std::size_t at)
{
	if (before.size() < 8 || get32le(before, 0) != 0x32524556)
		return false;
	std::uint64_t count = get32le(before, 4);
	if (count > 0x7FFFFFFF)
		return false;
	for (std::uint64_t i = 0; i < count && 8 + (i + 1) * 32 <= before.size(); i++) {
		std::size_t rec = static_cast<std::size_t>(8 + i * 32);
		std::uint64_t start = std::uint64_t{get32le(before, rec)} * 2048;
		std::uint64_t end = start + std::uint64_t{get32le(before, rec + 4)} * 2048;
		if (txd_named(&before[rec + 8]) && start <= at && at < end)
			return true;
	}
	return false;
}

} // namespace

std::string walk_violation(const bytes &buffer)
{
	bytes once = buffer;
	std::int32_t count = patch_texture_depths(once.data(), once.size());
	std::int32_t changed = 0;
	for (std::size_t i = 0; i < buffer.size(); i++) {
		if (once[i] == buffer[i])
			continue;
		if (!is_depth_repair(buffer, once, i))
			return at_byte("a byte that is no qualifying depth changed", i);
		changed++;
	}
	if (changed != count)
		return "the walk returned " + std::to_string(count) + " but changed " + std::to_string(changed) + " bytes";
	bytes twice = once;
	if (patch_texture_depths(twice.data(), twice.size()) != 0 || twice != once)
		return "a second walk found more to repair";
	return "";
}

std::string archive_violation(const bytes &before, const bytes &after)
{
	if (after.size() != before.size())
		return "the length changed from " + std::to_string(before.size()) + " to " + std::to_string(after.size());
	for (std::size_t i = 0; i < before.size(); i++) {
		if (after[i] == before[i])
			continue;
		if (!is_depth_repair(before, after, i))
			return at_byte("a byte that is no qualifying depth changed", i);
		if (!in_selected_entry(before, i))
			return at_byte("a depth outside every selected entry changed", i);
	}
	return "";
}

} // namespace invariant
