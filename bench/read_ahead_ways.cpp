// How fast the files of a cold tree can be made ready, each way a
// read-ahead could ask for them: one after another; from a pool of threads
// that open each file and read its first 4 KiB; from a pool that opens each
// file and advises the system to read it (no data copied, no wait); from one
// thread with io_uring, 32 requests in flight (where built with liburing).
// Run as root: the caches are dropped before each way.
//   read-ahead-ways TREE [THREADS=2] [RUNS=5]
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef TXD_HAVE_LIBURING
#include <liburing.h>
#endif

namespace {

std::vector<std::string> paths;

void walk(const std::string &folder)
{
	DIR *dir = opendir(folder.c_str());
	if (dir == nullptr)
		return;
	std::vector<std::string> inner;
	while (dirent *e = readdir(dir)) {
		std::string name = e->d_name;
		if (name == "." || name == "..")
			continue;
		if (e->d_type == DT_DIR)
			inner.push_back(folder + "/" + name);
		else if (e->d_type == DT_REG)
			paths.push_back(folder + "/" + name);
	}
	closedir(dir);
	std::sort(inner.begin(), inner.end());
	for (const std::string &f : inner)
		walk(f);
}

void drop_caches()
{
	sync();
	FILE *f = std::fopen("/proc/sys/vm/drop_caches", "w");
	if (f == nullptr || std::fputs("3\n", f) < 0 || std::fclose(f) != 0) {
		std::fprintf(stderr, "read-ahead-ways: cannot drop the caches (run as root)\n");
		std::exit(1);
	}
}

void read_first(const std::string &path)
{
	char page[4096];
	int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
	if (fd >= 0 && pread(fd, page, sizeof page, 0) >= 0)
		close(fd);
	else if (fd >= 0)
		close(fd);
}

void advise_first(const std::string &path)
{
	int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
	if (fd >= 0) {
		posix_fadvise(fd, 0, 256 << 10, POSIX_FADV_WILLNEED);
		close(fd);
	}
}

// Each file once, from threads taking the next one in turn.
void pool(unsigned threads, void (*each)(const std::string &))
{
	std::atomic<std::size_t> next{0};
	std::vector<std::thread> crew;
	for (unsigned t = 0; t < threads; t++)
		crew.emplace_back([&] {
			for (std::size_t i; (i = next++) < paths.size();)
				each(paths[i]);
		});
	for (std::thread &t : crew)
		t.join();
}

#ifdef TXD_HAVE_LIBURING
// Open, read the first 4 KiB, close: three requests a file, 32 files in
// flight, all from this thread.
bool uring(unsigned in_flight)
{
	io_uring ring;
	if (io_uring_queue_init(in_flight * 2, &ring, 0) != 0)
		return false;
	struct slot {
		int step, fd;
		char page[4096];
	};
	std::vector<slot> slots(in_flight);
	std::size_t next = 0, busy = 0;
	auto start = [&](std::size_t s) {
		io_uring_sqe *sqe = io_uring_get_sqe(&ring);
		slots[s].step = 0;
		io_uring_prep_openat(sqe, AT_FDCWD, paths[next++].c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
		io_uring_sqe_set_data64(sqe, s);
		busy++;
	};
	for (std::size_t s = 0; s < in_flight && next < paths.size(); s++)
		start(s);
	while (busy > 0) {
		io_uring_submit_and_wait(&ring, 1);
		io_uring_cqe *cqe;
		while (io_uring_peek_cqe(&ring, &cqe) == 0) {
			std::size_t s = io_uring_cqe_get_data64(cqe);
			int res = cqe->res;
			io_uring_cqe_seen(&ring, cqe);
			slot &sl = slots[s];
			io_uring_sqe *sqe = nullptr;
			if (sl.step == 0 && res >= 0) {
				sl.fd = res, sl.step = 1;
				io_uring_prep_read(sqe = io_uring_get_sqe(&ring), sl.fd, sl.page, sizeof sl.page, 0);
			} else if (sl.step == 1) {
				sl.step = 2;
				io_uring_prep_close(sqe = io_uring_get_sqe(&ring), sl.fd);
			}
			if (sqe != nullptr)
				io_uring_sqe_set_data64(sqe, s);
			else if (--busy, next < paths.size())
				start(s);
		}
	}
	io_uring_queue_exit(&ring);
	return true;
}
#endif

template <class Way> double seconds(Way way)
{
	drop_caches();
	auto begin = std::chrono::steady_clock::now();
	way();
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

template <class Way> void report(const char *what, unsigned runs, Way way)
{
	std::vector<double> times;
	for (unsigned r = 0; r < runs; r++)
		times.push_back(seconds(way));
	std::sort(times.begin(), times.end());
	std::printf("%-44s %8.3f\n", what, times[times.size() / 2]);
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc < 2) {
		std::fprintf(stderr, "usage: read-ahead-ways TREE [THREADS=2] [RUNS=5]\n");
		return 2;
	}
	walk(argv[1]);
	unsigned threads = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 2;
	unsigned runs = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 5;
	std::printf("%zu files; median seconds of %u runs, caches dropped before each\n", paths.size(), runs);
	report("one after another: open, read 4 KiB", runs, [] { for (const std::string &p : paths) read_first(p); });
	std::string what = std::to_string(threads) + " threads: open, read 4 KiB";
	report(what.c_str(), runs, [&] { pool(threads, read_first); });
	what = std::to_string(threads) + " threads: open, advise 256 KiB";
	report(what.c_str(), runs, [&] { pool(threads, advise_first); });
#ifdef TXD_HAVE_LIBURING
	bool refused = false;
	report("io_uring, 32 in flight: open, read 4 KiB", runs, [&] { refused = refused || !uring(32); });
	if (refused)
		std::printf("  (io_uring refused here: the figure is of nothing)\n");
#else
	std::printf("io_uring: not built (no liburing-dev)\n");
#endif
	return 0;
}
