// Writes a large VER2 archive for benchmarking:
//   make-bench-archive MIB SEED clean|broken OUTPUT
// Texture dictionaries of 16 KiB to 2 MiB (realistic texture natives with
// pixel payloads) mixed with model and collision entries, about MIB MiB in
// all. In "broken" every dictionary holds at least one texture to repair;
// in "clean" none does.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_rng.h"
#include "sample_archive.h"

using sample::bytes;

namespace {

bytes dictionary(rng &r, std::size_t target, bool broken)
{
	static const std::uint32_t formats[] = {0x100, 0x200, 0x300, 0x500, 0x2300};
	std::vector<sample::texture> textures;
	std::size_t size = 0;
	while (size < target) {
		std::uint16_t w = static_cast<std::uint16_t>(16u << r.below(6)), h = static_cast<std::uint16_t>(16u << r.below(6));
		std::uint32_t format = formats[r.below(5)];
		bool sixteen = format != 0x500;
		std::uint32_t bytes_per_pixel = sixteen ? 2 : 4;
		if (size + std::size_t{w} * h * bytes_per_pixel > target + 16384 && !textures.empty())
			break;
		// Both variants draw the same numbers, so they differ in depths alone.
		bool breaks = r.below(3) == 0 || textures.empty();
		std::uint8_t wrong = r.below(2) ? 8 : 4;
		std::uint8_t depth = sixteen ? (broken && breaks ? wrong : 16) : 32;
		textures.push_back({"tex" + std::to_string(textures.size()), format, depth, w, h});
		size += std::size_t{w} * h * bytes_per_pixel + 124;
	}
	if (textures[0].raster_format == 0x500) // a 16-bit texture in every dictionary
		textures[0] = {"tex0", 0x200, std::uint8_t(broken ? 8 : 16), textures[0].width, textures[0].height};
	return sample::texture_dictionary(textures);
}

bytes opaque(rng &r, std::size_t size)
{
	bytes b = sample::chunk(0x10, bytes(size, static_cast<unsigned char>(r.below(256))));
	return b;
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc != 5 || (std::strcmp(argv[3], "clean") != 0 && std::strcmp(argv[3], "broken") != 0)) {
		std::fprintf(stderr, "usage: make-bench-archive MIB SEED clean|broken OUTPUT\n");
		return 2;
	}
	std::uint64_t target = std::strtoull(argv[1], nullptr, 10) << 20;
	rng r{std::strtoull(argv[2], nullptr, 10) * 2654435761u + 1};
	bool broken = std::strcmp(argv[3], "broken") == 0;

	std::vector<sample::entry> entries;
	std::uint64_t total = 0;
	while (total < target) {
		std::string n = std::to_string(entries.size());
		switch (r.below(4)) {
		case 0:
		case 1: // 16 KiB to 2 MiB, most of them small
			entries.push_back({"tex" + n + ".txd", dictionary(r, std::size_t{16384} << r.below(8), broken)});
			break;
		case 2:
			entries.push_back({"model" + n + ".dff", opaque(r, 4096 + r.below(200000))});
			break;
		default:
			entries.push_back({"coll" + n + ".col", opaque(r, 1024 + r.below(30000))});
		}
		total += entries.back().data.size();
	}
	bytes image = sample::archive(entries);
	std::size_t largest = 0, txd = 0;
	for (const sample::entry &e : entries) {
		largest = std::max(largest, (e.data.size() + 2047) / 2048 * 2048);
		txd += e.name.size() > 4 && e.name.compare(e.name.size() - 4, 4, ".txd") == 0;
	}
	std::printf("entries %zu txd %zu largest %zu directory %zu bytes %zu\n", entries.size(), txd, largest,
	            entries.size() * 32, image.size());
	std::FILE *out = std::fopen(argv[4], "wb");
	if (out == nullptr || std::fwrite(image.data(), 1, image.size(), out) != image.size() || std::fclose(out) != 0) {
		std::perror(argv[4]);
		return 1;
	}
	return 0;
}
