#include "texture_patch.h"

#include <cstdint>

namespace {

bool is_16_bit_format(std::uint32_t raster_format)
{
	std::uint32_t pixel_format = raster_format & PIXEL_FORMAT_MASK;
	return pixel_format == PIXEL_FORMAT_1555 || pixel_format == PIXEL_FORMAT_565 ||
	       pixel_format == PIXEL_FORMAT_4444;
}

// A texture native is repaired only when both its declared body and the
// buffer hold its depth byte: a chunk that declares less ends before it, and
// the byte there belongs to whatever follows. Written so that a body size
// near 2^32 cannot wrap a 32-bit size_t.
bool reaches_depth(std::uint32_t body, std::size_t left)
{
	return DEPTH_OFFSET - CHUNK_HEADER_SIZE < body && DEPTH_OFFSET < left;
}

bool repair_depth(unsigned char *native)
{
	unsigned char *depth = native + DEPTH_OFFSET;
	if (!is_16_bit_format(get32le(native + RASTER_FORMAT_OFFSET)) || (*depth != 8 && *depth != 4))
		return false;
	*depth = 16;
	return true;
}

} // namespace

std::int32_t patch_texture_depths(unsigned char *buffer, std::size_t length)
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
		if (type == CHUNK_TEXTURE_NATIVE && reaches_depth(body, length - pos) && repair_depth(buffer + pos))
			count++;
		if (body >= length - pos - CHUNK_HEADER_SIZE)
			break;
		pos += CHUNK_HEADER_SIZE + body;
	}
	return count;
}
