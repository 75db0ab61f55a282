// Keeping the machine awake on Linux: a logind inhibitor lock, held as an
// open descriptor for as long as the frontend is being written. Without a
// system bus or logind (containers, CI) the flash goes on without it.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include "platform/platform.h"

static int LockDescriptor = -1;
static const uint64_t InhibitTimeoutMicroseconds = 2 * 1000 * 1000;

void PlatformFlashBegins() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) {
        return;
    }
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    int fd = -1;
    // A bus that never answers must not hold the flash: without an answer
    // in two seconds it goes on without the lock.
    if (sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1",
                                       "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                       "Inhibit") >= 0 &&
        sd_bus_message_append(call, "ssss", "sleep:idle:shutdown", "Kestrune",
                              "Writing firmware into the frontend", "block") >= 0 &&
        sd_bus_call(bus, call, InhibitTimeoutMicroseconds, nullptr, &reply) >= 0 &&
        sd_bus_message_read(reply, "h", &fd) >= 0) {
        // The reply owns fd; keep a copy of our own.
        LockDescriptor = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    }
    sd_bus_message_unref(call);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
}

void PlatformFlashEnds() {
    if (LockDescriptor >= 0) {
        close(LockDescriptor);
        LockDescriptor = -1;
    }
}
