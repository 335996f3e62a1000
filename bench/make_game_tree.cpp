// Writes a game-like folder for benchmarking folder runs:
//   make-game-tree SEED ROOT
// 20,000 files in 400 folders (20 top folders of 20 each): four 16 MiB VER2
// archives, half their entries texture dictionaries; 1,000 loose
// dictionaries (*.txd, a third of them broken); the rest models, collision
// files and text of 1 to 16 KiB, which start with neither VER2 nor a
// dictionary chunk.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <filesystem>

#include "bench_rng.h"
#include "sample_archive.h"

using sample::bytes;
using sample::write_file;

namespace {

bytes dictionary(rng &r, bool broken)
{
	std::vector<sample::texture> textures;
	for (std::uint32_t i = 0, n = 1 + r.below(4); i < n; i++) {
		auto side = static_cast<std::uint16_t>(16u << r.below(4));
		textures.push_back({"t" + std::to_string(i), 0x200, std::uint8_t(broken && i == 0 ? 8 : 16), side, side});
	}
	return sample::texture_dictionary(textures);
}

// 256 entries of 64 KiB: 128 dictionaries (a third broken) and 128 models.
bytes archive(rng &r, int index)
{
	std::vector<sample::entry> entries;
	for (int i = 0; i < 256; i++) {
		bool txd = i % 2 == 0;
		bytes data = txd ? dictionary(r, r.below(3) == 0) : sample::chunk(0x10, bytes(60000, 0x42));
		std::string name = "e" + std::to_string(index) + "-" + std::to_string(i) + (txd ? ".txd" : ".dff");
		entries.push_back({name, data, 0, 32});
	}
	return sample::archive(entries);
}

bytes other_file(rng &r)
{
	bytes b(1024 + r.below(15 * 1024), static_cast<unsigned char>('a' + r.below(26)));
	b[0] = 0x10; // a chunk of another kind, or text
	return b;
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc != 3) {
		std::fputs("usage: make-game-tree SEED ROOT\n", stderr);
		return 2;
	}
	rng r{std::strtoull(argv[1], nullptr, 10) | 1};
	std::string root = argv[2];
	std::error_code ignored; // a folder there already will do
	std::filesystem::create_directory(root, ignored);
	int files = 0;
	for (int top = 0; top < 20; top++) {
		std::string outer = root + "/area" + std::to_string(top);
		std::filesystem::create_directory(outer, ignored);
		for (int sub = 0; sub < 20; sub++) {
			std::string folder = outer + "/part" + std::to_string(sub);
			std::filesystem::create_directory(folder, ignored);
			for (int i = 0; i < 50; i++, files++) {
				std::string base = folder + "/f" + std::to_string(i);
				bool ok;
				if (files % 5000 == 0)
					ok = write_file(base + ".img", archive(r, files / 5000));
				else if (files % 20 == 1)
					ok = write_file(base + ".txd", dictionary(r, r.below(3) == 0));
				else
					ok = write_file(base + (i % 2 ? ".dff" : ".col"), other_file(r));
				if (!ok)
					return 1;
			}
		}
	}
	std::printf("files %d folders %d\n", files, 20 * 21);
	return 0;
}
