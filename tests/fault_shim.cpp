// Preloaded into the tool by the end-to-end tests to reach the error paths
// that a healthy disk never takes. TXD_FAULT names what to do:
//   CALL FILE [@POSITION] [#N]
// makes one call fail. CALL is pread, pwrite, fstat, fsync or close on a
// descriptor, or fwrite, fflush or fclose on a stream; FILE is stdout, the
// end of the path of the file ("archive.img"), or "copy" for a copy that a
// backup is making (unnamed, or under its temporary name); @POSITION is
// the offset a pread or pwrite asks for; #N the N-th such call of the
// thread (default the first). A pread reads half its bytes, then the next
// one on that descriptor fails with EIO, as a disk failing part way.
//   stop CALL FILE [@POSITION] [#N]
// stops the process (SIGSTOP) just before that call instead, for a test
// to run another process meanwhile, then resume or kill it.
//   realloc-above:N
// makes every realloc of more than N bytes fail, as when memory runs out
// while a list grows.
//   swap NAME #N link TARGET | swap NAME #N fifo | swap NAME #N gone
// swaps the file or folder NAME, just before the N-th openat of it, for a
// symbolic link to TARGET or a FIFO, or for nothing, moving it aside to
// NAME.swapped: what another program could do between two calls of the
// tool.
//   swap PATH on NAME link TARGET
// does the same to PATH (as the tests name it) at the first openat of NAME
// ("." for an unnamed file made in a folder): a folder of the path swapped
// while a file in it is open, or a free name taken.
//   linkat fails | linkat refused | no hard links | unnamed refused
// makes every linkat fail with EIO; or refuses unnamed files and links as
// a file system without hard links does (EPERM), renames that must not
// replace too (EINVAL) for the third, as FUSE exFAT; or refuses only
// unnamed files (O_TMPFILE), as vfat.
//   readdir unknown | readdir fails NAME
// makes every entry's type unknown, as some file systems give it, or the
// first read of the entries of the folder NAME fail with EIO.
//   helper opens fail | helper opens slow
// makes every openat of a thread other than the main one fail (EMFILE),
// as when the read-ahead's helpers find no descriptor; or return 2 ms late,
// so that helpers hold what they open while the walk goes on, as on a slow
// disk.
//   root is PATH | system view NAME | opens abort
// answers a stat of "/" as one of PATH, so that a harmless folder stands
// for the root of the system; or an fstatfs of the folder NAME with the
// type of proc; or aborts the process at the main thread's first openat,
// for a test that nothing is opened.
// Several of them may be given at once, separated by "; ". Faults and
// swaps count and strike the main thread's calls alone, so that the
// read-ahead's helpers, whose work is never trusted, move none.
// The shim defines the plain names and the 64-bit ones itself.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdarg>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

template <class F> F real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// What TXD_FAULT asks for, each part on its own.
const std::vector<std::string> &parts()
{
	static const std::vector<std::string> all = [] {
		std::vector<std::string> split;
		const char *text = std::getenv("TXD_FAULT");
		for (std::string rest = text != nullptr ? text : ""; !rest.empty();) {
			std::size_t end = rest.find("; ");
			split.push_back(rest.substr(0, end));
			rest = end == std::string::npos ? "" : rest.substr(end + 2);
		}
		return split;
	}();
	return all;
}

bool main_thread()
{
	return gettid() == getpid();
}

bool asked(const char *fault)
{
	for (const std::string &part : parts())
		if (part == fault)
			return true;
	return false;
}

// The part that starts with start, or "".
const char *part_starting(const char *start)
{
	for (const std::string &part : parts())
		if (part.compare(0, std::strlen(start), start) == 0)
			return part.c_str();
	return "";
}

struct wanted_fault {
	bool stop = false;
	std::string call, file, position; // position "" for any
	int nth = 1, calls = 0;
};

// One part of TXD_FAULT, when it asks for a call to fail or stop.
bool parse_fault(const std::string &part, wanted_fault &fault)
{
	static const char *const calls[] = {"pread ", "pwrite ", "fstat ", "fsync ", "close ", "fwrite ", "fflush ", "fclose "};
	const char *text = part.c_str();
	if (std::strncmp(text, "stop ", 5) == 0)
		fault.stop = true, text += 5;
	char call[32] = "", file[256] = "", more[2][64] = {{""}, {""}};
	bool known = false;
	for (const char *c : calls)
		known = known || std::strncmp(text, c, std::strlen(c)) == 0;
	if (!known || std::sscanf(text, "%31s %255s %63s %63s", call, file, more[0], more[1]) < 2)
		return false;
	fault.call = call;
	fault.file = file;
	for (auto &word : more) {
		if (word[0] == '@')
			fault.position = word + 1;
		else if (word[0] == '#')
			fault.nth = std::atoi(word + 1);
	}
	return true;
}

// Every call TXD_FAULT asks to fail or stop, each counted on its own.
std::vector<wanted_fault> &the_faults()
{
	static std::vector<wanted_fault> faults = [] {
		std::vector<wanted_fault> all;
		for (const std::string &part : parts())
			if (wanted_fault f; parse_fault(part, f))
				all.push_back(f);
		return all;
	}();
	return faults;
}

bool ends_with(const char *text, std::size_t n, const char *end)
{
	std::size_t e = std::strlen(end);
	return n >= e && std::strncmp(text + n - e, end, e) == 0;
}

bool descriptor_is(int fd, const std::string &file)
{
	if (file == "stdout")
		return fd == 1;
	char link[64], path[4096];
	std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, path, sizeof path - 1);
	if (fd <= 2 || n <= 0)
		return false;
	std::size_t length = static_cast<std::size_t>(n);
	if (file == "copy")
		return ends_with(path, length, " (deleted)") || ends_with(path, length, ".ba~");
	return ends_with(path, length, file.c_str());
}

// Whether call on fd at position is the one to fail; stops the process
// first when it is the one to stop before.
bool fails(const char *call, int fd, const std::string &position)
{
	for (wanted_fault &fault : the_faults()) {
		if (!main_thread() || fault.call != call || !descriptor_is(fd, fault.file) ||
		    (!fault.position.empty() && fault.position != position) || ++fault.calls != fault.nth)
			continue;
		if (!fault.stop)
			return true;
		kill(getpid(), SIGSTOP);
	}
	return false;
}

// The descriptor whose next pread fails, after one read half.
int failing_next = -1;

template <class Call> ssize_t half_then_fail(int fd, std::size_t n, off64_t offset, Call call)
{
	if (fd == failing_next && main_thread()) {
		failing_next = -1;
		errno = EIO;
		return -1;
	}
	if (!fails("pread", fd, std::to_string(static_cast<long long>(offset))))
		return call(n);
	failing_next = fd;
	return call(n / 2);
}

// Swaps the name path stands for in folder when TXD_FAULT asks for it now.
// Moves path in folder aside, if it is there, and puts a FIFO or a link to
// target in its place.
void swap(int folder, const char *path, const char *kind, const char *target)
{
	std::string aside = std::string(path) + ".swapped";
	if (renameat(folder, path, folder, aside.c_str()) != 0 && errno != ENOENT)
		std::abort();
	if (std::strcmp(kind, "gone") == 0)
		return;
	if ((std::strcmp(kind, "fifo") == 0 ? mkfifoat(folder, path, 0600) : symlinkat(target, folder, path)) != 0)
		std::abort();
}

void swap_if_asked(int folder, const char *path)
{
	static int opens = 0;
	if (!main_thread())
		return;
	char name[4096] = "", on[256] = "", kind[8] = "", target[4096] = "";
	int nth = 0;
	const char *slash = std::strrchr(path, '/'), *leaf = slash != nullptr ? slash + 1 : path;
	const char *wanted = part_starting("swap ");
	if (std::sscanf(wanted, "swap %4095s on %255s %7s %4095s", name, on, kind, target) == 4) {
		if (std::strcmp(leaf, on) == 0 && ++opens == 1)
			swap(AT_FDCWD, name, kind, target);
	} else if (std::sscanf(wanted, "swap %255s #%d %7s %4095s", name, &nth, kind, target) >= 3) {
		if (std::strcmp(leaf, name) == 0 && ++opens == nth)
			swap(folder, path, kind, target);
	}
}

bool unnamed_refused(int flags)
{
	return (flags & O_TMPFILE) == O_TMPFILE &&
	       (asked("linkat refused") || asked("no hard links") || asked("unnamed refused"));
}

} // namespace

// The tool is built with 64-bit file offsets, so it calls openat64, or
// with _FORTIFY_SOURCE its checked __openat64_2; every name leads here.
static void abort_if_asked()
{
	if (main_thread() && asked("opens abort"))
		abort();
}

static int open_or_swap(const char *real_name, int folder, const char *path, int flags, mode_t mode)
{
	abort_if_asked();
	swap_if_asked(folder, path);
	if (unnamed_refused(flags) || (!main_thread() && asked("helper opens fail"))) {
		errno = unnamed_refused(flags) ? EOPNOTSUPP : EMFILE;
		return -1;
	}
	int fd = real<int (*)(int, const char *, int, ...)>(real_name)(folder, path, flags, mode);
	if (!main_thread() && asked("helper opens slow"))
		usleep(2000);
	return fd;
}

static mode_t mode_of(int flags, std::va_list more)
{
	return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(more, mode_t) : 0;
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
	abort_if_asked();
	swap_if_asked(folder, path);
	if (!main_thread() && asked("helper opens fail")) {
		errno = EMFILE;
		return -1;
	}
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
	char name[256] = "";
	if (main_thread() && std::sscanf(part_starting("readdir fails "), "readdir fails %255s", name) == 1 &&
	    folder_named(dirfd(folder), name)) {
		static bool failed = false;
		if (!failed) {
			failed = true;
			errno = EIO;
			return nullptr;
		}
	}
	Entry *e = real<Entry *(*)(DIR *)>(real_name)(folder);
	if (e != nullptr && asked("readdir unknown"))
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
	if (asked("linkat fails") || asked("linkat refused") || asked("no hard links")) {
		errno = asked("linkat fails") ? EIO : EPERM;
		return -1;
	}
	return real<int (*)(int, const char *, int, const char *, int)>("linkat")(from, old_name, to, new_name, flags);
}

extern "C" int renameat2(int from, const char *old_name, int to, const char *new_name, unsigned flags)
{
	if (asked("no hard links")) {
		errno = EINVAL;
		return -1;
	}
	return real<int (*)(int, const char *, int, const char *, unsigned)>("renameat2")(from, old_name, to, new_name, flags);
}

static int failed_with(int err)
{
	errno = err;
	return -1;
}

extern "C" ssize_t pread64(int fd, void *p, std::size_t n, off64_t offset)
{
	static auto next = real<ssize_t (*)(int, void *, std::size_t, off64_t)>("pread64");
	return half_then_fail(fd, n, offset, [&](std::size_t k) { return next(fd, p, k, offset); });
}

extern "C" ssize_t __pread64_chk(int fd, void *p, std::size_t n, off64_t offset, std::size_t)
{
	return pread64(fd, p, n, offset);
}

extern "C" ssize_t pwrite64(int fd, const void *p, std::size_t n, off64_t offset)
{
	static auto next = real<ssize_t (*)(int, const void *, std::size_t, off64_t)>("pwrite64");
	return fails("pwrite", fd, std::to_string(static_cast<long long>(offset))) ? failed_with(EIO) : next(fd, p, n, offset);
}

extern "C" int fstat64(int fd, struct stat64 *st)
{
	static auto next = real<int (*)(int, struct stat64 *)>("fstat64");
	return fails("fstat", fd, "") ? failed_with(EIO) : next(fd, st);
}

// "/" as the folder "root is PATH" names.
static const char *as_root(const char *path)
{
	const char *part = part_starting("root is ");
	return std::strcmp(path, "/") == 0 && *part != '\0' ? part + 8 : path;
}

extern "C" int stat64(const char *path, struct stat64 *st)
{
	static auto next = real<int (*)(const char *, struct stat64 *)>("stat64");
	return next(as_root(path), st);
}

extern "C" int stat(const char *path, struct stat *st)
{
	static auto next = real<int (*)(const char *, struct stat *)>("stat");
	return next(as_root(path), st);
}

template <class Facts> int statfs_or_view(const char *real_name, int fd, Facts *fs)
{
	int result = real<int (*)(int, Facts *)>(real_name)(fd, fs);
	const char *part = part_starting("system view ");
	if (result == 0 && *part != '\0' && folder_named(fd, part + 12))
		fs->f_type = 0x9fa0; // proc's
	return result;
}

extern "C" int fstatfs(int fd, struct statfs *fs)
{
	return statfs_or_view("fstatfs", fd, fs);
}

extern "C" int fstatfs64(int fd, struct statfs64 *fs)
{
	return statfs_or_view("fstatfs64", fd, fs);
}

extern "C" int fsync(int fd)
{
	static auto next = real<int (*)(int)>("fsync");
	return fails("fsync", fd, "") ? failed_with(EIO) : next(fd);
}

// A close that fails after releasing the descriptor, as on a full network
// disk.
extern "C" int close(int fd)
{
	static auto next = real<int (*)(int)>("close");
	bool fail = fails("close", fd, "");
	int result = next(fd);
	return fail ? failed_with(EIO) : result;
}

// Runs call with f's descriptor standing for refuser, then restores it.
template <class Call> auto with_descriptor(FILE *f, int refuser, Call call)
{
	int fd = fileno(f), saved = dup(fd);
	dup2(refuser, fd);
	auto result = call();
	int err = errno;
	dup2(saved, fd);
	real<int (*)(int)>("close")(saved);
	real<int (*)(int)>("close")(refuser);
	errno = err;
	return result;
}

extern "C" std::size_t fwrite(const void *p, std::size_t size, std::size_t n, FILE *f)
{
	static auto next = real<std::size_t (*)(const void *, std::size_t, std::size_t, FILE *)>("fwrite");
	if (f != stdout || !fails("fwrite", 1, ""))
		return next(p, size, n, f);
	return with_descriptor(f, open("/dev/null", O_RDONLY), [&] { return next(p, size, n, f); });
}

extern "C" int fflush(FILE *f)
{
	static auto next = real<int (*)(FILE *)>("fflush");
	if (f != stdout || !fails("fflush", 1, ""))
		return next(f);
	return with_descriptor(f, open("/dev/null", O_RDONLY), [&] { return next(f); });
}

extern "C" int fclose(FILE *f)
{
	static auto next = real<int (*)(FILE *)>("fclose");
	bool fail = f == stdout && fails("fclose", 1, "");
	int result = next(f);
	if (!fail)
		return result;
	errno = EIO;
	return EOF;
}

extern "C" void *realloc(void *p, std::size_t size)
{
	static auto next = real<void *(*)(void *, std::size_t)>("realloc");
	const char *above = part_starting("realloc-above:");
	if (*above != '\0' && size > std::strtoul(above + 14, nullptr, 10)) {
		errno = ENOMEM;
		return nullptr;
	}
	return next(p, size);
}
