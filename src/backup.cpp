#include "backup.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

// Copies from, from its start, to to; false with the reason in err.
static bool copy_whole_file(std::FILE *from, std::FILE *to, int *err)
{
	const std::size_t chunk = 1 << 20;
	unsigned char *buffer = static_cast<unsigned char *>(std::malloc(chunk));
	bool ok = buffer != nullptr && seek_to(from, 0);
	*err = buffer == nullptr ? ENOMEM : errno;
	while (ok) {
		std::size_t got = std::fread(buffer, 1, chunk, from);
		if (std::ferror(from) || std::fwrite(buffer, 1, got, to) != got)
			ok = false, *err = errno;
		else if (got < chunk)
			break;
	}
	std::clearerr(from);
	std::free(buffer);
	return ok;
}

// A name with ".bak" after it, in memory of its own.
static char *with_bak(const char *name)
{
	std::size_t n = std::strlen(name);
	char *bak = static_cast<char *>(std::malloc(n + 5));
	if (bak != nullptr)
		std::memcpy(bak, name, n), std::memcpy(bak + n, ".bak", 5);
	return bak;
}

bool make_backup(report &r, place where, std::FILE *f)
{
	char *shown = with_bak(where.shown), *name = with_bak(where.name);
	place bak = {where.folder, name, shown};
	std::FILE *copy = name != nullptr ? create_new_file(bak) : nullptr;
	int err = name == nullptr ? ENOMEM : errno;
	bool made = copy != nullptr && copy_whole_file(f, copy, &err);
	if (copy != nullptr) {
		if (std::fclose(copy) != 0 && made)
			made = false, err = errno;
		if (!made)
			remove_file(bak);
	}
	if (!made)
		print_problem(r, shown != nullptr ? shown : where.shown, nullptr, "no backup made, so the file is left unchanged",
		              err);
	std::free(shown);
	std::free(name);
	return made;
}
