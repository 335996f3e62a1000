// Preloaded into the tool by the end-to-end tests to reach the error paths
// that a healthy disk never takes. TXD_FAULT=function:n makes the n-th call
// of that stdio function fail (a read after half its items): the stream's descriptor is pointed, for that
// one call, at something that refuses the I/O, so the real stdio code sees
// a real failure and sets its own error state.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool nth_call_fails(const char *function)
{
	static int calls = 0;
	const char *wanted = std::getenv("TXD_FAULT");
	std::size_t n = std::strlen(function);
	return wanted != nullptr && std::strncmp(wanted, function, n) == 0 && wanted[n] == ':' &&
	       ++calls == std::atoi(wanted + n + 1);
}

template <class F> F real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
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

} // namespace

extern "C" std::size_t fread(void *p, std::size_t size, std::size_t n, FILE *f)
{
	static auto next = real<std::size_t (*)(void *, std::size_t, std::size_t, FILE *)>("fread");
	if (!nth_call_fails("fread"))
		return next(p, size, n, f);
	// Half the items arrive, then the read fails: the caller must not
	// trust what did arrive.
	std::size_t half = next(p, size, n / 2, f);
	return half + with_descriptor(f, open("/", O_RDONLY | O_DIRECTORY),
	                              [&] { return next(static_cast<char *>(p) + half * size, size, n - half, f); });
}

extern "C" std::size_t fwrite(const void *p, std::size_t size, std::size_t n, FILE *f)
{
	// Writes to files and to standard output are counted apart: every
	// report line is an fwrite on stdout.
	static auto next = real<std::size_t (*)(const void *, std::size_t, std::size_t, FILE *)>("fwrite");
	if (f == stderr || !nth_call_fails(f == stdout ? "stdout-fwrite" : "fwrite"))
		return next(p, size, n, f);
	return with_descriptor(f, open("/dev/null", O_RDONLY), [&] { return next(p, size, n, f); });
}

extern "C" int fflush(FILE *f)
{
	static auto next = real<int (*)(FILE *)>("fflush");
	if (f == nullptr || !nth_call_fails("fflush"))
		return next(f);
	return with_descriptor(f, open("/dev/null", O_RDONLY), [&] { return next(f); });
}

// The tool is built with 64-bit file offsets, so it calls the 64 names.
extern "C" int fseeko64(FILE *f, off64_t offset, int whence)
{
	static auto next = real<int (*)(FILE *, off64_t, int)>("fseeko64");
	if (!nth_call_fails("fseeko"))
		return next(f, offset, whence);
	return with_descriptor(f, pipe_end(), [&] { return next(f, offset, whence); });
}

extern "C" off64_t ftello64(FILE *f)
{
	static auto next = real<off64_t (*)(FILE *)>("ftello64");
	off64_t result = next(f);
	if (!nth_call_fails("ftello"))
		return result;
	errno = EOVERFLOW; // as for a position that an off_t cannot hold
	return -1;
}

// A close that fails after releasing the stream, as on a full network disk.
extern "C" int fclose(FILE *f)
{
	static auto next = real<int (*)(FILE *)>("fclose");
	int result = next(f);
	if (!nth_call_fails("fclose"))
		return result;
	errno = EIO;
	return EOF;
}

// TXD_FAULT=realloc-above:n: every realloc of more than n bytes fails, as
// when memory runs out while a list grows.
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
	return nth_call_fails("setvbuf") ? EOF : next(f, buffer, mode, size);
}
