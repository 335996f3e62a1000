// The read-ahead's threads on Windows.
#include <cstdint>
#include <cstdlib>

#include <windows.h>

#include "platform/threads.h"

struct helper_crew {
	SRWLOCK lock;
	CONDITION_VARIABLE woken;
	HANDLE *threads;
	unsigned count, room; // started, and to start
	void (*body)(void *);
	void *context;
};

static DWORD WINAPI run_body(void *crew)
{
	helper_crew *c = static_cast<helper_crew *>(crew);
	c->body(c->context);
	return 0;
}

// Handles have no limit a walk could meet.
std::uint64_t descriptor_limit()
{
	return UINT64_MAX;
}

helper_crew *new_crew(unsigned count)
{
	helper_crew *crew = static_cast<helper_crew *>(std::calloc(1, sizeof *crew));
	HANDLE *threads = static_cast<HANDLE *>(std::calloc(count, sizeof *threads));
	if (crew == nullptr || threads == nullptr) {
		std::free(crew);
		std::free(threads);
		return nullptr;
	}
	InitializeSRWLock(&crew->lock);
	InitializeConditionVariable(&crew->woken);
	crew->threads = threads;
	crew->room = count;
	return crew;
}

// Helpers read a few bytes and call the system; 256 KiB of stack is ample.
bool start_crew(helper_crew *crew, void (*body)(void *), void *context)
{
	crew->body = body;
	crew->context = context;
	while (crew->count < crew->room &&
	       (crew->threads[crew->count] = CreateThread(nullptr, 256 * 1024, run_body, crew,
	                                                  STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)) != nullptr)
		crew->count++;
	return crew->count > 0;
}

void lock_crew(helper_crew *crew)
{
	AcquireSRWLockExclusive(&crew->lock);
}

void unlock_crew(helper_crew *crew)
{
	ReleaseSRWLockExclusive(&crew->lock);
}

void wait_in_crew(helper_crew *crew)
{
	SleepConditionVariableSRW(&crew->woken, &crew->lock, INFINITE, 0);
}

void wake_crew(helper_crew *crew)
{
	WakeAllConditionVariable(&crew->woken);
}

void join_crew(helper_crew *crew)
{
	for (unsigned i = 0; i < crew->count; i++) {
		WaitForSingleObject(crew->threads[i], INFINITE);
		CloseHandle(crew->threads[i]);
	}
	std::free(crew->threads);
	std::free(crew);
}
