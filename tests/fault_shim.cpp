// Preloaded into the tool by the end-to-end tests to reach the error paths
// that a healthy disk never takes. TXD_FAULT names one stdio call on one
// stream and makes it fail:
//   CALL STREAM [@POSITION] [#N]
// CALL is fread, fwrite, fflush, fseeko, ftello, fclose or setvbuf; STREAM
// is stdout, or the end of the path of a file's stream ("archive.img",
// ".bak"); @POSITION is where the stream stands before the call (for
// fseeko, where it is sent: a byte, or "end"); #N the N-th such call
// (default the first). A read fails after half its items. The stream's
// descriptor is pointed, for that one call, at something that refuses the
// I/O, so the real stdio code sees a real failure and sets its own error
// state. TXD_FAULT=realloc-above:N instead makes every realloc of more than
// N bytes fail, as when memory runs out while a list grows.
//   swap NAME #N link TARGET | swap NAME #N fifo
// swaps the file or folder NAME, just before the N-th openat of it, for a
// symbolic link to TARGET or a FIFO, moving it aside to NAME.swapped: what
// another program could do between two calls of the tool.
//   swap PATH on NAME link TARGET
// does the same to PATH (as the tests name it) at the first openat of NAME:
// a folder of the path swapped while a file in it is open, or a free name
// taken.
//   linkat fails | linkat refused
// makes every linkat fail with EIO, or with EPERM as on a file system
// without hard links.
//   readdir unknown | readdir fails NAME
// makes every entry's type unknown, as some file systems give it, or the
// first read of the entries of the folder NAME fail with EIO.
// The shim defines the plain names and the 64-bit ones itself.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

template <class F> F real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct wanted_fault {
	std::string call, stream, position; // position "" for any
	int nth = 1;
};

wanted_fault parse_fault()
{
	wanted_fault fault;
	const char *text = std::getenv("TXD_FAULT");
	char call[32] = "", stream[256] = "", more[2][64] = {{""}, {""}};
	if (text == nullptr || std::sscanf(text, "%31s %255s %63s %63s", call, stream, more[0], more[1]) < 2)
		return fault;
	fault.call = call;
	fault.stream = stream;
	for (auto &word : more) {
		if (word[0] == '@')
			fault.position = word + 1;
		else if (word[0] == '#')
			fault.nth = std::atoi(word + 1);
	}
	return fault;
}

bool stream_is(FILE *f, const std::string &stream)
{
	if (stream == "stdout")
		return f == stdout;
	char link[64], path[4096];
	std::snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(f));
	ssize_t n = readlink(link, path, sizeof path - 1);
	if (f == stdout || f == stderr || n < static_cast<ssize_t>(stream.size()))
		return false;
	return std::strncmp(path + n - stream.size(), stream.c_str(), stream.size()) == 0;
}

// Where the stream stands, as the fault names positions.
std::string position_of(FILE *f)
{
	static auto tell = real<off64_t (*)(FILE *)>("ftello64");
	return std::to_string(static_cast<long long>(tell(f)));
}

bool fails(const char *call, FILE *f, const std::string &position)
{
	static const wanted_fault fault = parse_fault();
	static int calls = 0;
	return fault.call == call && stream_is(f, fault.stream) && (fault.position.empty() || fault.position == position) &&
	       ++calls == fault.nth;
}

// Runs call with f's descriptor standing for refuser, then restores it.
template <class Call> auto with_descriptor(FILE *f, int refuser, Call call)
{
	int fd = fileno(f), saved = dup(fd);
	dup2(refuser, fd);
	auto result = call();
	int err = errno;
	dup2(saved, fd);
	close(saved);
	close(refuser);
	errno = err;
	return result;
}

int pipe_end() // refuses seeks
{
	int fds[2];
	if (pipe(fds) != 0)
		std::abort();
	close(fds[1]);
	return fds[0];
}

// Swaps the name path stands for in folder when TXD_FAULT asks for it now.
// Moves path in folder aside, if it is there, and puts a FIFO or a link to
// target in its place.
void swap(int folder, const char *path, const char *kind, const char *target)
{
	std::string aside = std::string(path) + ".swapped";
	if ((renameat(folder, path, folder, aside.c_str()) != 0 && errno != ENOENT) ||
	    (std::strcmp(kind, "fifo") == 0 ? mkfifoat(folder, path, 0600) : symlinkat(target, folder, path)) != 0)
		std::abort();
}

void swap_if_asked(int folder, const char *path)
{
	static int opens = 0;
	const char *wanted = std::getenv("TXD_FAULT");
	char name[4096] = "", on[256] = "", kind[8] = "", target[4096] = "";
	int nth = 0;
	const char *slash = std::strrchr(path, '/'), *leaf = slash != nullptr ? slash + 1 : path;
	if (wanted == nullptr)
		return;
	if (std::sscanf(wanted, "swap %4095s on %255s %7s %4095s", name, on, kind, target) == 4) {
		if (std::strcmp(leaf, on) == 0 && ++opens == 1)
			swap(AT_FDCWD, name, kind, target);
	} else if (std::sscanf(wanted, "swap %255s #%d %7s %4095s", name, &nth, kind, target) >= 3) {
		if (std::strcmp(leaf, name) == 0 && ++opens == nth)
			swap(folder, path, kind, target);
	}
}

} // namespace

// The tool is built with 64-bit file offsets, so it calls openat64, or
// with _FORTIFY_SOURCE its checked __openat64_2; every name leads here.
static int open_or_swap(const char *real_name, int folder, const char *path, int flags, mode_t mode)
{
	swap_if_asked(folder, path);
	return real<int (*)(int, const char *, int, ...)>(real_name)(folder, path, flags, mode);
}

static mode_t mode_of(int flags, std::va_list more)
{
	return (flags & O_CREAT) != 0 ? va_arg(more, mode_t) : 0;
}

extern "C" int openat(int folder, const char *path, int flags, ...)
{
	std::va_list more;
	va_start(more, flags);
	mode_t mode = mode_of(flags, more);
	va_end(more);
	return open_or_swap("openat", folder, path, flags, mode);
}

extern "C" int __openat64_2(int folder, const char *path, int flags)
{
	swap_if_asked(folder, path);
	return real<int (*)(int, const char *, int)>("__openat64_2")(folder, path, flags);
}

extern "C" int openat64(int folder, const char *path, int flags, ...)
{
	std::va_list more;
	va_start(more, flags);
	mode_t mode = mode_of(flags, more);
	va_end(more);
	return open_or_swap("openat64", folder, path, flags, mode);
}

// Whether the folder open as fd is named name.
bool folder_named(int fd, const char *name)
{
	char link[64], path[4096];
	std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, path, sizeof path - 1);
	path[n > 0 ? n : 0] = '\0';
	const char *slash = std::strrchr(path, '/');
	return slash != nullptr && std::strcmp(slash + 1, name) == 0;
}

// Both names, as for openat.
template <class Entry> Entry *read_entry(const char *real_name, DIR *folder)
{
	const char *wanted = std::getenv("TXD_FAULT");
	char name[256] = "";
	if (wanted != nullptr && std::sscanf(wanted, "readdir fails %255s", name) == 1 && folder_named(dirfd(folder), name)) {
		static bool failed = false;
		if (!failed) {
			failed = true;
			errno = EIO;
			return nullptr;
		}
	}
	Entry *e = real<Entry *(*)(DIR *)>(real_name)(folder);
	if (e != nullptr && wanted != nullptr && std::strcmp(wanted, "readdir unknown") == 0)
		e->d_type = DT_UNKNOWN;
	return e;
}

extern "C" dirent *readdir(DIR *folder)
{
	return read_entry<dirent>("readdir", folder);
}

extern "C" dirent64 *readdir64(DIR *folder)
{
	return read_entry<dirent64>("readdir64", folder);
}

extern "C" int linkat(int from, const char *old_name, int to, const char *new_name, int flags)
{
	const char *wanted = std::getenv("TXD_FAULT");
	if (wanted != nullptr && std::strncmp(wanted, "linkat ", 7) == 0) {
		errno = std::strcmp(wanted, "linkat refused") == 0 ? EPERM : EIO;
		return -1;
	}
	return real<int (*)(int, const char *, int, const char *, int)>("linkat")(from, old_name, to, new_name, flags);
}

extern "C" std::size_t fread(void *p, std::size_t size, std::size_t n, FILE *f)
{
	static auto next = real<std::size_t (*)(void *, std::size_t, std::size_t, FILE *)>("fread");
	if (!fails("fread", f, position_of(f)))
		return next(p, size, n, f);
	// Half the items arrive, then the read fails: the caller must not
	// trust what did arrive.
	std::size_t half = next(p, size, n / 2, f);
	return half + with_descriptor(f, open("/", O_RDONLY | O_DIRECTORY),
	                              [&] { return next(static_cast<char *>(p) + half * size, size, n - half, f); });
}

extern "C" std::size_t fwrite(const void *p, std::size_t size, std::size_t n, FILE *f)
{
	static auto next = real<std::size_t (*)(const void *, std::size_t, std::size_t, FILE *)>("fwrite");
	if (f == stderr || !fails("fwrite", f, position_of(f)))
		return next(p, size, n, f);
	return with_descriptor(f, open("/dev/null", O_RDONLY), [&] { return next(p, size, n, f); });
}

extern "C" int fflush(FILE *f)
{
	static auto next = real<int (*)(FILE *)>("fflush");
	if (f == nullptr || f == stderr || !fails("fflush", f, position_of(f)))
		return next(f);
	return with_descriptor(f, open("/dev/null", O_RDONLY), [&] { return next(f); });
}

// The tool is built with 64-bit file offsets, so it calls the 64 names.
extern "C" int fseeko64(FILE *f, off64_t offset, int whence)
{
	static auto next = real<int (*)(FILE *, off64_t, int)>("fseeko64");
	std::string to = whence == SEEK_END ? "end" : std::to_string(static_cast<long long>(offset));
	if (!fails("fseeko", f, to))
		return next(f, offset, whence);
	return with_descriptor(f, pipe_end(), [&] { return next(f, offset, whence); });
}

extern "C" off64_t ftello64(FILE *f)
{
	static auto next = real<off64_t (*)(FILE *)>("ftello64");
	off64_t result = next(f);
	if (!fails("ftello", f, std::to_string(static_cast<long long>(result))))
		return result;
	errno = EOVERFLOW; // as for a position that an off_t cannot hold
	return -1;
}

// A close that fails after releasing the stream, as on a full network disk.
extern "C" int fclose(FILE *f)
{
	static auto next = real<int (*)(FILE *)>("fclose");
	bool fail = fails("fclose", f, "");
	int result = next(f);
	if (!fail)
		return result;
	errno = EIO;
	return EOF;
}

extern "C" void *realloc(void *p, std::size_t size)
{
	static auto next = real<void *(*)(void *, std::size_t)>("realloc");
	const char *wanted = std::getenv("TXD_FAULT");
	if (wanted != nullptr && std::strncmp(wanted, "realloc-above:", 14) == 0 &&
	    size > std::strtoul(wanted + 14, nullptr, 10)) {
		errno = ENOMEM;
		return nullptr;
	}
	return next(p, size);
}

extern "C" int setvbuf(FILE *f, char *buffer, int mode, std::size_t size)
{
	static auto next = real<int (*)(FILE *, char *, int, std::size_t)>("setvbuf");
	return fails("setvbuf", f, "") ? EOF : next(f, buffer, mode, size);
}
