// A station's workers as processes: each started with its arguments, its
// output taken line by line, its end collected, a stop passed on. The pool
// knows nothing of units: a worker is known by its owner's number, and each
// callback gets only that worker's line or end.
#pragma once

#include <cstdint>

enum { POOL_WORKERS_MAX = 256 }; // at once

struct WorkerPool;

// Null when there is no room for one.
WorkerPool* PoolBegin();
void PoolEnd(WorkerPool* pool);

// Starts a worker for owner; false, with *error the system's, when it could
// not be started.
bool PoolStart(WorkerPool* pool, int32_t owner, const char* const* arguments, uint32_t* error);
int32_t PoolRunning(const WorkerPool* pool);

struct PoolCallbacks {
    void (*line)(void* context, int32_t owner, const char* line); // each whole line
    void (*ended)(void* context, int32_t owner, int status);      // its exit status
};

// Waits at most ms, and not past a stop, for output of any worker, and
// hands what one wrote, or its end, to the callbacks; false when there was
// nothing.
bool PoolFollow(WorkerPool* pool, uint32_t ms, const PoolCallbacks& callbacks, void* context);

// Passes a stop on to each running worker once; true once every running
// worker has it.
bool PoolStopAll(WorkerPool* pool);
