// Threads, a lock and conditions on Windows: a critical section and
// condition variables.
#include "platform/threads.h"

#include <cstdlib>

#include "platform/windows/windows_platform.h"

struct ThreadLock {
    CRITICAL_SECTION section;
};
struct ThreadCondition {
    CONDITION_VARIABLE variable;
};
struct Thread {
    HANDLE handle;
    void (*run)(void*);
    void* context;
};

ThreadLock* ThreadLockNew() {
    ThreadLock* lock = static_cast<ThreadLock*>(calloc(1, sizeof(ThreadLock)));
    if (lock != nullptr) {
        InitializeCriticalSection(&lock->section);
    }
    return lock;
}

ThreadCondition* ThreadConditionNew() {
    ThreadCondition* condition = static_cast<ThreadCondition*>(calloc(1, sizeof(ThreadCondition)));
    if (condition != nullptr) {
        InitializeConditionVariable(&condition->variable);
    }
    return condition;
}

void ThreadLockTake(ThreadLock* lock) {
    EnterCriticalSection(&lock->section);
}

void ThreadLockGive(ThreadLock* lock) {
    LeaveCriticalSection(&lock->section);
}

void ThreadConditionWake(ThreadCondition* condition) {
    WakeAllConditionVariable(&condition->variable);
}

bool ThreadConditionWait(ThreadCondition* condition, ThreadLock* lock, uint32_t ms) {
    DWORD timeout = ms == THREAD_WAIT_FOREVER ? INFINITE : (DWORD)ms;
    return SleepConditionVariableCS(&condition->variable, &lock->section, timeout) ||
           GetLastError() != ERROR_TIMEOUT;
}

static DWORD WINAPI RunThread(LPVOID context) {
    Thread* thread = static_cast<Thread*>(context);
    thread->run(thread->context);
    return 0;
}

// (Console control events come on threads of the system's own: nothing to
// keep from this one.)
Thread* ThreadStart(void (*run)(void* context), void* context) {
    Thread* thread = static_cast<Thread*>(calloc(1, sizeof(Thread)));
    if (thread == nullptr) {
        return nullptr;
    }
    thread->run = run;
    thread->context = context;
    thread->handle = CreateThread(nullptr, 0, RunThread, thread, 0, nullptr);
    if (thread->handle == nullptr) {
        free(thread);
        return nullptr;
    }
    return thread;
}

void ThreadJoin(Thread* thread) {
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    free(thread);
}
