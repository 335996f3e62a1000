// The read-ahead's threads on POSIX.
#include <pthread.h>
#include <sys/resource.h>

#include <cstdlib>

#include "platform/threads.h"

struct helper_crew {
	pthread_mutex_t lock;
	pthread_cond_t woken;
	pthread_t *threads;
	unsigned count, room; // started, and to start
	void (*body)(void *);
	void *context;
};

static void *run_body(void *crew)
{
	helper_crew *c = static_cast<helper_crew *>(crew);
	c->body(c->context);
	return nullptr;
}

std::uint64_t descriptor_limit()
{
	rlimit files;
	if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY)
		return UINT64_MAX;
	return static_cast<std::uint64_t>(files.rlim_cur);
}

helper_crew *new_crew(unsigned count)
{
	helper_crew *crew = static_cast<helper_crew *>(std::calloc(1, sizeof *crew));
	pthread_t *threads = static_cast<pthread_t *>(std::calloc(count, sizeof *threads));
	if (crew == nullptr || threads == nullptr) {
		std::free(crew);
		std::free(threads);
		return nullptr;
	}
	pthread_mutex_init(&crew->lock, nullptr);
	pthread_cond_init(&crew->woken, nullptr);
	crew->threads = threads;
	crew->room = count;
	return crew;
}

// Helpers read a few bytes and call the system; 256 KiB of stack is ample.
bool start_crew(helper_crew *crew, void (*body)(void *), void *context)
{
	pthread_attr_t small;
	if (pthread_attr_init(&small) != 0)
		return false;
	pthread_attr_setstacksize(&small, 256 * 1024);
	crew->body = body;
	crew->context = context;
	while (crew->count < crew->room && pthread_create(&crew->threads[crew->count], &small, run_body, crew) == 0)
		crew->count++;
	pthread_attr_destroy(&small);
	return crew->count > 0;
}

void lock_crew(helper_crew *crew)
{
	pthread_mutex_lock(&crew->lock);
}

void unlock_crew(helper_crew *crew)
{
	pthread_mutex_unlock(&crew->lock);
}

void wait_in_crew(helper_crew *crew)
{
	pthread_cond_wait(&crew->woken, &crew->lock);
}

void wake_crew(helper_crew *crew)
{
	pthread_cond_broadcast(&crew->woken);
}

void join_crew(helper_crew *crew)
{
	for (unsigned i = 0; i < crew->count; i++)
		pthread_join(crew->threads[i], nullptr);
	pthread_cond_destroy(&crew->woken);
	pthread_mutex_destroy(&crew->lock);
	std::free(crew->threads);
	std::free(crew);
}
