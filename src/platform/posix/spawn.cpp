// Starting another program on POSIX: the station's workers and the
// publishing command.
#include "platform/posix/posix_platform.h"

#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <spawn.h>
#include <unistd.h>

// Where a descriptor of the child comes from: from, or /dev/null for -1.
static int Give(posix_spawn_file_actions_t* actions, int from, int to) {
    return from >= 0 ? posix_spawn_file_actions_adddup2(actions, from, to)
                     : posix_spawn_file_actions_addopen(actions, to, "/dev/null", O_RDWR, 0);
}

int SpawnInGroupOfItsOwn(const char* path, char* const* argv, char* const* env, int input,
                         int output, pid_t* pid) {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    int error = posix_spawnattr_init(&attributes);
    if (error != 0) {
        return error;
    }
    error = posix_spawn_file_actions_init(&actions);
    if (error != 0) {
        posix_spawnattr_destroy(&attributes);
        return error;
    }
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigemptyset(&none);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) {
        sigaddset(&defaults, signalNumber);
    }
    short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    int steps[] = {
        posix_spawnattr_setflags(&attributes, flags),
        posix_spawnattr_setpgroup(&attributes, 0),
        posix_spawnattr_setsigdefault(&attributes, &defaults),
        posix_spawnattr_setsigmask(&attributes, &none),
        Give(&actions, input, STDIN_FILENO),
        Give(&actions, output, STDOUT_FILENO),
        Give(&actions, -1, STDERR_FILENO),
    };
    for (int step : steps) {
        error = error != 0 ? error : step;
    }
    if (error == 0) {
        error = posix_spawn(pid, path, &actions, &attributes, argv, env);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error;
}
