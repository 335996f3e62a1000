// Builds binary-stream chunks, texture dictionaries and VER2 archives in
// memory, for the tests, the demo and the benchmarks.
#ifndef TXD_DEPTH_FIX_SAMPLE_ARCHIVE_H
#define TXD_DEPTH_FIX_SAMPLE_ARCHIVE_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace sample {

using bytes = std::vector<unsigned char>;

constexpr std::uint32_t CHUNK_STRUCT = 0x01;
constexpr std::uint32_t CHUNK_EXTENSION = 0x03;
constexpr std::uint32_t CHUNK_VERSION = 0x1803FFFF;
constexpr std::size_t ARCHIVE_SECTOR = 2048;

void put16le(bytes &out, std::uint16_t v);
void put32le(bytes &out, std::uint32_t v);
void append(bytes &out, const bytes &more);

// The parts, back to back.
bytes cat(std::initializer_list<bytes> parts);

// An archive header: four magic bytes, then the entry count.
bytes header(const char *magic, std::uint32_t count);

// A chunk: type, body size, version, then the body.
bytes chunk(std::uint32_t type, const bytes &body);

struct texture {
	std::string name;
	std::uint32_t raster_format; // pixel format in bits 8-11, e.g. 0x200 for 5-6-5
	std::uint8_t depth;          // bits per pixel as recorded
	std::uint16_t width = 8, height = 8;
};

// A PC texture-native chunk: struct (platform, filtering, names, raster
// format at byte 96 and depth at byte 108 of the chunk, one mip level of
// pixels) followed by an empty extension chunk.
bytes texture_native(const texture &t);

// A texture native cut to a declared and held body of body bytes, then an
// opaque chunk of type 8 that starts right after it.
bytes short_texture_native_then_type_8(const texture &t, std::uint32_t body);

// A texture dictionary: struct with the texture count, the textures, an
// empty extension.
bytes texture_dictionary(const std::vector<texture> &textures);

struct entry {
	std::string name; // up to 24 bytes; exactly 24 leaves no NUL in the field
	bytes data;
	std::uint32_t offset = 0;  // in sectors; 0 places the entry after the previous one
	std::uint32_t sectors = 0; // 0 rounds the data up to whole sectors
};

// Header, directory, then each entry's data zero-filled to whole sectors.
// Entries given an offset are written there (the file grows to fit);
// directory fields are stored exactly as given.
bytes archive(const std::vector<entry> &entries);

// A 32-byte directory record, for hand-made directories.
bytes dir_record(std::uint32_t offset, std::uint32_t sectors, const std::string &name);

// Writes data to path; false, with the reason on stderr, when it cannot.
bool write_file(const std::string &path, const bytes &data);

// A mix of entries: texture dictionaries with broken and sound textures
// (broken ones only when broken is true), models and collision files.
std::vector<entry> mixed_entries(bool broken);

} // namespace sample

#endif
