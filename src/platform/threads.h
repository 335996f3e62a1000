// What the read-ahead needs of the platform's threads: a crew of helper
// threads sharing one lock and one condition. read_ahead_posix.cpp and
// read_ahead_windows.cpp.
#ifndef TXD_DEPTH_FIX_READ_AHEAD_THREADS_H
#define TXD_DEPTH_FIX_READ_AHEAD_THREADS_H

#include <cstdint>

struct helper_crew;

// The most descriptors the process may hold at once; very many where there
// is no limit a walk could meet.
std::uint64_t descriptor_limit();

// A crew with its lock and condition, and no thread yet; null when memory
// is short.
helper_crew *new_crew(unsigned count);

// Starts the crew's threads running body(context), with small stacks;
// false when not one can start.
bool start_crew(helper_crew *crew, void (*body)(void *), void *context);

void lock_crew(helper_crew *crew);
void unlock_crew(helper_crew *crew);

// With the lock held: waits until woken, the lock held again then.
void wait_in_crew(helper_crew *crew);
void wake_crew(helper_crew *crew);

// Waits for every thread started to return, then releases the crew.
void join_crew(helper_crew *crew);

#endif
