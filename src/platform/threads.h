// Threads, a lock and conditions: what the console's writers need of each
// system, and nothing more.
#pragma once

#include <cstdint>

struct ThreadLock;
struct ThreadCondition;
struct Thread;

enum : uint32_t { THREAD_WAIT_FOREVER = 0xFFFFFFFFu };

// Null when the system has no room for another.
ThreadLock* ThreadLockNew();
ThreadCondition* ThreadConditionNew();

void ThreadLockTake(ThreadLock* lock);
void ThreadLockGive(ThreadLock* lock);

// Wakes every thread waiting on the condition.
void ThreadConditionWake(ThreadCondition* condition);
// Gives the lock up while waiting to be woken, at most ms milliseconds
// (THREAD_WAIT_FOREVER: as long as it takes); takes it again before it
// returns. False when the time ran out.
bool ThreadConditionWait(ThreadCondition* condition, ThreadLock* lock, uint32_t ms);

// Runs run(context) on a thread of its own, which never takes a stop
// signal from the main thread; null when it cannot be started.
Thread* ThreadStart(void (*run)(void* context), void* context);
void ThreadJoin(Thread* thread);
