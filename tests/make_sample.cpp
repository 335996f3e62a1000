// Writes a sample VER2 archive: make-sample [--clean] OUTPUT
#include <cstdio>
#include <cstring>

#include "sample_archive.h"

int main(int argc, char *argv[])
{
	bool broken = true;
	int arg = 1;
	if (arg < argc && std::strcmp(argv[arg], "--clean") == 0) {
		broken = false;
		arg++;
	}
	if (arg + 1 != argc) {
		std::fprintf(stderr, "usage: make-sample [--clean] OUTPUT\n");
		return 2;
	}
	sample::bytes image = sample::archive(sample::mixed_entries(broken));
	std::FILE *out = std::fopen(argv[arg], "wb");
	if (out == nullptr || std::fwrite(image.data(), 1, image.size(), out) != image.size() ||
	    std::fclose(out) != 0) {
		std::perror(argv[arg]);
		return 1;
	}
	return 0;
}
