// A file the repair or the restore works on: open, look, hold, flush, let
// go, each told in the same words.
#include "ops/target.h"

#include <cerrno>
#include <chrono>
#include <thread>

static void tell_target(report &r, const target &t, const char *what, int err = 0)
{
	tell_problem(r, t.where.shown, nullptr, what, err);
}

// Whether f is the very file standard output writes to.
static bool is_output(const run_options &options, const file_facts &f)
{
	return options.output_known && f.volume == options.output.volume && f.index == options.output.index;
}

// A FIFO or a device would block or never end: only regular files are
// read, and never the file the report goes to; and a file once, whatever
// names lead to it, so that a dry run counts what a real run repairs.
static bool usable(report &r, target &t, const run_options &options)
{
	const char *first = nullptr;
	if (!inspect_file(t.f, &t.facts))
		tell_target(r, t, "cannot look at the file", errno);
	else if (!t.facts.regular)
		tell_target(r, t, "not a regular file");
	else if (is_output(options, t.facts))
		tell_target(r, t, "input file is output file");
	else if (options.seen != nullptr &&
	         (first = seen_before(*options.seen, t.facts.volume, t.facts.index, t.where.shown)) != nullptr)
		tell_left_alone(r, t.where.shown, "same file as", 0, first);
	else
		return true;
	return false;
}

static void close_unused(report &r, target &t)
{
	if (!close_file(t.f))
		tell_target(r, t, "cannot close", errno);
}

bool open_target(report &r, target &t, place where, bool follow, const run_options &options)
{
	t = {where, follow, open_file(where, follow), {}, {}, 0, false, false, options.wait, false};
	if (t.f == NO_HANDLE) {
		tell_target(r, t, nullptr, errno);
		return false;
	}
	if (usable(r, t, options))
		return true;
	close_unused(r, t);
	return false;
}

// An open, a read and a close: the least a file of neither kind can cost.
bool open_found_target(report &r, target &t, place where, const run_options &options, bool (*of_a_kind)(const target &))
{
	t = {where, false, open_quietly(where), {}, {}, 0, false, false, options.wait, false};
	bool read = t.f != NO_HANDLE && read_start(t.f, t.head, sizeof t.head, &t.head_got);
	int err = errno;
	if (!read) {
		if (t.f != NO_HANDLE)
			close_file(t.f);
		if (err != ENOENT && err != ELOOP) // gone, or swapped for a link, since the folder was read
			tell_target(r, t, nullptr, err);
		return false;
	}
	if (of_a_kind(t) && usable(r, t, options))
		return true;
	if (of_a_kind(t))
		close_unused(r, t);
	else
		close_file(t.f);
	return false;
}

bool read_target_head(report &r, target &t, const char *what)
{
	if (read_at(t.f, 0, t.head, sizeof t.head, &t.head_got) != IO_FAILED)
		return true;
	tell_target(r, t, what, errno);
	return false;
}

// Another run that holds the file lets go of it when it is done with it:
// asked again every 50 ms until it does, or the wait is over. This run
// holds no other file meanwhile, so two runs never wait on each other.
static write_access held_when_free(report &r, target &t)
{
	write_access access = open_for_writing(&t.f, t.where, t.follow);
	if (access != WRITE_IN_USE || t.wait == 0)
		return access;
	tell_waiting(r, t.where.shown);
	t.waited = true;
	auto until = std::chrono::steady_clock::now() + std::chrono::seconds(t.wait);
	while (access == WRITE_IN_USE && std::chrono::steady_clock::now() < until) {
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		access = open_for_writing(&t.f, t.where, t.follow);
	}
	return access;
}

bool hold_target(report &r, target &t)
{
	if (t.held || t.refused)
		return t.held;
	t.refused = true;
	switch (held_when_free(r, t)) {
	case WRITE_GRANTED: t.refused = false; return t.held = true;
	case WRITE_REPLACED: tell_target(r, t, "cannot write: it was replaced while being read"); break;
	case WRITE_IN_USE: tell_in_use(r, t.where.shown); break;
	case WRITE_REFUSED: tell_target(r, t, "cannot write", errno); break;
	}
	return false;
}

bool flush_target(report &r, target &t)
{
	if (flush_to_disk(t.f))
		return true;
	tell_target(r, t, "cannot flush it to the disk", errno);
	return false;
}

// Whatever happened after it was held, its times go back when asked.
void close_target(report &r, target &t, bool keep_times)
{
	if (t.held && keep_times && !set_file_times(t.f, t.facts.times))
		tell_target(r, t, "cannot keep the file's times", errno);
	close_unused(r, t);
}
