// The walk over one texture dictionary's chunks that sets wrong depths
// to 16.
#include "format/texture_patch.h"

#include <cstdint>

#include "format/little_endian.h"

namespace {

// A texture native is repaired only when both its declared body and the
// buffer hold its depth byte: a chunk that declares less ends before it, and
// the byte there belongs to whatever follows. Written so that a body size
// near 2^32 cannot wrap a 32-bit size_t.
bool reaches_depth(std::uint32_t body, std::size_t left)
{
	return DEPTH_OFFSET - CHUNK_HEADER_SIZE < body && DEPTH_OFFSET < left;
}

// Sets the depth to 16 and returns the depth it had; returns 0, changing
// nothing, when the texture is not 16-bit or records neither 8 nor 4.
std::uint8_t repair_depth(unsigned char *native)
{
	std::uint8_t old = native[DEPTH_OFFSET];
	if (pixel_format_name(get32le(native + RASTER_FORMAT_OFFSET)) == nullptr || (old != 8 && old != 4))
		return 0;
	native[DEPTH_OFFSET] = 16;
	return old;
}

} // namespace

const char *pixel_format_name(std::uint32_t raster_format)
{
	switch (raster_format & PIXEL_FORMAT_MASK) {
	case PIXEL_FORMAT_1555:
		return "1-5-5-5";
	case PIXEL_FORMAT_565:
		return "5-6-5";
	case PIXEL_FORMAT_4444:
		return "4-4-4-4";
	default:
		return nullptr;
	}
}

std::int32_t patch_texture_depths(unsigned char *buffer, std::size_t length, repair_listener *listener, void *context)
{
	std::int32_t count = 0;
	std::size_t pos = 0;

	// pos <= length holds throughout, so length - pos never wraps.
	while (CHUNK_HEADER_SIZE <= length - pos && count < INT32_MAX) {
		std::uint32_t type = get32le(buffer + pos);
		if (type == CHUNK_NONE)
			break;
		if (type == CHUNK_TEXTURE_DICTIONARY) {
			pos += CHUNK_HEADER_SIZE;
			continue;
		}
		std::uint32_t body = get32le(buffer + pos + 4);
		if (type == CHUNK_TEXTURE_NATIVE && reaches_depth(body, length - pos)) {
			std::uint8_t old = repair_depth(buffer + pos);
			if (old != 0) {
				count++;
				if (listener != nullptr)
					listener(pos, old, context);
			}
		}
		if (body >= length - pos - CHUNK_HEADER_SIZE)
			break;
		pos += CHUNK_HEADER_SIZE + body;
	}
	return count;
}
