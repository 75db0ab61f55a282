// Threads, a lock and conditions on POSIX systems: pthreads.
#include "platform/threads.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <pthread.h>

#include "platform/posix/posix_platform.h"

struct ThreadLock {
    pthread_mutex_t mutex;
};
struct ThreadCondition {
    pthread_cond_t condition;
};
struct Thread {
    pthread_t thread;
    void (*run)(void*);
    void* context;
};

ThreadLock* ThreadLockNew() {
    ThreadLock* lock = static_cast<ThreadLock*>(calloc(1, sizeof(ThreadLock)));
    if (lock != nullptr && pthread_mutex_init(&lock->mutex, nullptr) != 0) {
        free(lock);
        return nullptr;
    }
    return lock;
}

ThreadCondition* ThreadConditionNew() {
    ThreadCondition* condition = static_cast<ThreadCondition*>(calloc(1, sizeof(ThreadCondition)));
    if (condition != nullptr && pthread_cond_init(&condition->condition, nullptr) != 0) {
        free(condition);
        return nullptr;
    }
    return condition;
}

void ThreadLockTake(ThreadLock* lock) {
    pthread_mutex_lock(&lock->mutex);
}

void ThreadLockGive(ThreadLock* lock) {
    pthread_mutex_unlock(&lock->mutex);
}

void ThreadConditionWake(ThreadCondition* condition) {
    pthread_cond_broadcast(&condition->condition);
}

bool ThreadConditionWait(ThreadCondition* condition, ThreadLock* lock, uint32_t ms) {
    if (ms == THREAD_WAIT_FOREVER) {
        pthread_cond_wait(&condition->condition, &lock->mutex);
        return true;
    }
    struct timespec deadline = TimeAfter(CLOCK_REALTIME, ms); // the condition's clock
    return pthread_cond_timedwait(&condition->condition, &lock->mutex, &deadline) != ETIMEDOUT;
}

static void* RunThread(void* context) {
    Thread* thread = static_cast<Thread*>(context);
    thread->run(thread->context);
    return nullptr;
}

Thread* ThreadStart(void (*run)(void* context), void* context) {
    Thread* thread = static_cast<Thread*>(calloc(1, sizeof(Thread)));
    if (thread == nullptr) {
        return nullptr;
    }
    thread->run = run;
    thread->context = context;
    // The stop signals stay with the main thread, whose waits they end.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool started = pthread_create(&thread->thread, nullptr, RunThread, thread) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
        free(thread);
        return nullptr;
    }
    return thread;
}

void ThreadJoin(Thread* thread) {
    pthread_join(thread->thread, nullptr);
    free(thread);
}
