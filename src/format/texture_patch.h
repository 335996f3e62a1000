// Depth repair for the texture-native chunks of one texture dictionary.
#ifndef TXD_DEPTH_FIX_TEXTURE_PATCH_H
#define TXD_DEPTH_FIX_TEXTURE_PATCH_H

#include <cstddef>
#include <cstdint>

// Chunk types the walk tells apart; every other type is passed over whole.
constexpr std::uint32_t CHUNK_NONE = 0x00;  // ends the walk, as zero fill does
constexpr std::uint32_t CHUNK_TEXTURE_NATIVE = 0x15;
constexpr std::uint32_t CHUNK_TEXTURE_DICTIONARY = 0x16;

// type, size of the body that follows, version
constexpr std::size_t CHUNK_HEADER_SIZE = 12;

// Both counted from the texture-native chunk's own header: the native header
// and its struct chunk's header (12 bytes each) precede the struct data, in
// which the raster format stands at 72 and the depth at 84.
constexpr std::size_t TEXTURE_NAME_OFFSET = 32; // 32 bytes, NUL-ended unless full
constexpr std::size_t TEXTURE_NAME_SIZE = 32;
constexpr std::size_t RASTER_FORMAT_OFFSET = 96;
constexpr std::size_t DEPTH_OFFSET = 108;

// Pixel-format bits of the raster format and the 16-bit formats among them.
constexpr std::uint32_t PIXEL_FORMAT_MASK = 0xF00;
constexpr std::uint32_t PIXEL_FORMAT_1555 = 0x100;
constexpr std::uint32_t PIXEL_FORMAT_565 = 0x200;
constexpr std::uint32_t PIXEL_FORMAT_4444 = 0x300;

// "1-5-5-5", "5-6-5" or "4-4-4-4" for a raster format whose pixel format is
// 16-bit; null for every other.
const char *pixel_format_name(std::uint32_t raster_format);

// Told of each depth the walk sets to 16, in walk order: where the texture
// native's chunk starts in the buffer, and the depth it recorded before.
typedef void repair_listener(std::size_t native, std::uint8_t old_depth, void *context);

// Walks the chunks in buffer[0, length) and sets to 16 the depth of every
// texture-native chunk whose pixel format is 16-bit but whose depth says 8
// or 4. A texture native whose declared body ends before its depth byte
// (a body under 97 bytes) is passed over like any other chunk. Returns how
// many depth bytes it changed; touches no other byte and nothing outside
// the buffer. Each repair is also told to listener, when there is one.
std::int32_t patch_texture_depths(unsigned char *buffer, std::size_t length, repair_listener *listener = nullptr,
                                  void *context = nullptr);

#endif
