#include "session/worker_pool.h"

#include <cstdlib>
#include <cstring>

#include "output/text_builder.h"
#include "platform/platform.h"

struct PoolWorker {
    PlatformWorker* process;
    int32_t owner;
    Builder line; // the line it is writing
    bool stopAsked;
};

struct WorkerPool {
    PoolWorker workers[POOL_WORKERS_MAX]; // in the order they started
    int32_t running;
    char bytes[65536];     // what a worker wrote, as read
    uint64_t nextEndCheck; // when the processes themselves are asked next
};

// A worker's end shows in its pipe unless a helper it left holds the pipe
// open: then its process is asked, at most this often, not at every read.
static const uint32_t END_CHECK_MS = 100;

WorkerPool* PoolBegin() {
    return static_cast<WorkerPool*>(calloc(1, sizeof(WorkerPool)));
}

void PoolEnd(WorkerPool* pool) {
    free(pool);
}

bool PoolStart(WorkerPool* pool, int32_t owner, const char* const* arguments, uint32_t* error) {
    if (pool->running == POOL_WORKERS_MAX) {
        return false;
    }
    PlatformWorker* process = PlatformStartWorker(arguments, error);
    if (process == nullptr) {
        return false;
    }
    pool->workers[pool->running++] =
        PoolWorker{process, owner, Builder{nullptr, 0, 0, true, true}, false};
    return true;
}

int32_t PoolRunning(const WorkerPool* pool) {
    return pool->running;
}

static void TakeOutput(PoolWorker* worker, const char* bytes, size_t count,
                       const PoolCallbacks& callbacks, void* context) {
    for (size_t i = 0; i < count; i++) {
        if (bytes[i] == '\n') {
            if (worker->line.fits && worker->line.out != nullptr) {
                callbacks.line(context, worker->owner, worker->line.out);
            }
            worker->line.length = 0; // (a line memory could not hold is lost alone)
            worker->line.fits = true;
        } else {
            Put(&worker->line, &bytes[i], 1);
        }
    }
}

bool PoolFollow(WorkerPool* pool, uint32_t ms, const PoolCallbacks& callbacks, void* context) {
    PlatformWorker* processes[POOL_WORKERS_MAX];
    for (int32_t i = 0; i < pool->running; i++) {
        processes[i] = pool->workers[i].process;
    }
    uint64_t now = PlatformMilliseconds();
    bool checkEnds = now >= pool->nextEndCheck;
    pool->nextEndCheck = checkEnds ? now + END_CHECK_MS : pool->nextEndCheck;
    // (not past the next check: an ended worker is seen within it)
    uint64_t untilCheck = pool->nextEndCheck - now;
    ms = ms < untilCheck ? ms : (uint32_t)untilCheck;
    size_t which = 0;
    long got = PlatformReadWorkers(processes, (size_t)pool->running, ms, checkEnds, pool->bytes,
                                   sizeof pool->bytes, &which);
    if (got > 0) {
        TakeOutput(&pool->workers[which], pool->bytes, (size_t)got, callbacks, context);
    } else if (got == 0) {
        PoolWorker ended = pool->workers[which];
        memmove(&pool->workers[which], &pool->workers[which + 1],
                (size_t)(pool->running - (int32_t)which - 1) * sizeof(PoolWorker));
        pool->running--;
        int status = PlatformEndWorker(ended.process);
        free(ended.line.out);
        callbacks.ended(context, ended.owner, status);
    }
    return got >= 0;
}

bool PoolStopAll(WorkerPool* pool) {
    bool allAsked = true;
    for (int32_t i = 0; i < pool->running; i++) {
        PoolWorker* worker = &pool->workers[i];
        if (!worker->stopAsked) {
            worker->stopAsked = PlatformStopWorker(worker->process);
        }
        allAsked = allAsked && worker->stopAsked;
    }
    return allAsked;
}
