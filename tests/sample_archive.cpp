#include "sample_archive.h"

#include <algorithm>
#include <cstdio>

namespace sample {

void put16le(bytes &out, std::uint16_t v)
{
	out.push_back(static_cast<unsigned char>(v));
	out.push_back(static_cast<unsigned char>(v >> 8));
}

void put32le(bytes &out, std::uint32_t v)
{
	for (int shift = 0; shift < 32; shift += 8)
		out.push_back(static_cast<unsigned char>(v >> shift));
}

void append(bytes &out, const bytes &more)
{
	out.insert(out.end(), more.begin(), more.end());
}

bytes cat(std::initializer_list<bytes> parts)
{
	bytes out;
	for (const bytes &p : parts)
		append(out, p);
	return out;
}

bytes header(const char *magic, std::uint32_t count)
{
	bytes h(magic, magic + 4);
	put32le(h, count);
	return h;
}

static void put_name(bytes &out, const std::string &name, std::size_t field)
{
	for (std::size_t i = 0; i < field; i++)
		out.push_back(i < name.size() ? static_cast<unsigned char>(name[i]) : 0);
}

bytes chunk(std::uint32_t type, const bytes &body)
{
	bytes out;
	put32le(out, type);
	put32le(out, static_cast<std::uint32_t>(body.size()));
	put32le(out, CHUNK_VERSION);
	append(out, body);
	return out;
}

bytes texture_native(const texture &t)
{
	bytes s;
	put32le(s, 8);          // platform: PC
	put32le(s, 0x1106);     // filtering and addressing
	put_name(s, t.name, 32);
	put_name(s, "", 32);    // mask name
	put32le(s, t.raster_format);
	put32le(s, 0);          // has alpha
	put16le(s, t.width);
	put16le(s, t.height);
	s.push_back(t.depth);
	s.push_back(1);         // mip levels
	s.push_back(4);         // raster type: texture
	s.push_back(0);         // compression
	// Payload sized by the pixel format, not the recorded depth, so a broken
	// texture and its repaired twin differ in the depth byte alone.
	std::uint32_t format = t.raster_format & 0xF00;
	std::uint32_t bytes_per_pixel = format == 0x500 ? 4 : format == 0x600 ? 3 : format >= 0x100 && format <= 0x300 ? 2 : 1;
	std::uint32_t pixels = std::uint32_t{t.width} * t.height * bytes_per_pixel;
	put32le(s, pixels);
	for (std::uint32_t i = 0; i < pixels; i++)
		s.push_back(static_cast<unsigned char>(i * 37 + 11));
	bytes body = chunk(CHUNK_STRUCT, s);
	append(body, chunk(CHUNK_EXTENSION, {}));
	return chunk(0x15, body);
}

bytes short_texture_native_then_type_8(const texture &t, std::uint32_t body)
{
	bytes native = texture_native(t);
	native.resize(12 + body);
	for (std::size_t i = 0; i < 4; i++)
		native[4 + i] = static_cast<unsigned char>(body >> (8 * i));
	return cat({native, chunk(8, bytes(4, 0))});
}

bytes texture_dictionary(const std::vector<texture> &textures)
{
	bytes info;
	put16le(info, static_cast<std::uint16_t>(textures.size()));
	put16le(info, 0); // device
	bytes body = chunk(CHUNK_STRUCT, info);
	for (const texture &t : textures)
		append(body, texture_native(t));
	append(body, chunk(CHUNK_EXTENSION, {}));
	return chunk(0x16, body);
}

bytes dir_record(std::uint32_t offset, std::uint32_t sectors, const std::string &name)
{
	bytes out;
	put32le(out, offset);
	put32le(out, sectors);
	put_name(out, name, 24);
	return out;
}

static std::uint32_t sectors_for(std::size_t n)
{
	return static_cast<std::uint32_t>((n + ARCHIVE_SECTOR - 1) / ARCHIVE_SECTOR);
}

bytes archive(const std::vector<entry> &entries)
{
	bytes out = header("VER2", static_cast<std::uint32_t>(entries.size()));
	std::uint32_t next = sectors_for(8 + 32 * entries.size());
	std::vector<std::uint32_t> offsets;
	for (const entry &e : entries) {
		std::uint32_t offset = e.offset != 0 ? e.offset : next;
		std::uint32_t sectors = e.sectors != 0 ? e.sectors : sectors_for(e.data.size());
		append(out, dir_record(offset, sectors, e.name));
		offsets.push_back(offset);
		next = std::max(next, offset + sectors);
	}
	for (std::size_t i = 0; i < entries.size(); i++) {
		std::size_t start = std::size_t{offsets[i]} * ARCHIVE_SECTOR;
		std::size_t end = start + std::size_t{sectors_for(entries[i].data.size())} * ARCHIVE_SECTOR;
		if (out.size() < end)
			out.resize(end, 0);
		std::copy(entries[i].data.begin(), entries[i].data.end(), out.begin() + static_cast<std::ptrdiff_t>(start));
	}
	return out;
}

std::vector<entry> mixed_entries(bool broken)
{
	std::uint8_t bad8 = broken ? 8 : 16, bad4 = broken ? 4 : 16;
	bytes model = chunk(0x10, chunk(CHUNK_STRUCT, bytes(300, 0x5a)));
	bytes collision{'C', 'O', 'L', 'L'};
	collision.resize(900, 0x33);
	return {
	    {"player.txd", texture_dictionary({{"skin", 0x200, bad8}, {"hair", 0x100, bad4}, {"eyes", 0x500, 32}})},
	    {"player.dff", model},
	    {"TITLES.TXD", texture_dictionary({{"title", 0x300, bad4, 64, 32}, {"logo", 0x2300, bad8, 16, 16}})},
	    {"hud.txd", texture_dictionary({{"radar", 0x500, 32, 32, 32}, {"arrow", 0x200, 16}})},
	    {"road.col", collision},
	    {"empty.txd", {}, 0, 0},
	};
}

bool write_file(const std::string &path, const bytes &data)
{
	std::FILE *out = std::fopen(path.c_str(), "wb");
	bool ok = out != nullptr && std::fwrite(data.data(), 1, data.size(), out) == data.size();
	if (out != nullptr && std::fclose(out) != 0)
		ok = false;
	if (!ok)
		std::perror(path.c_str());
	return ok;
}

} // namespace sample
