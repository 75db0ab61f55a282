// Keeping the machine awake on Linux: a logind inhibitor lock, held as an
// open descriptor for as long as the frontend is being written. Without a
// system bus or logind (containers, CI) the flash goes on without it.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include "platform/posix/posix_platform.h"

static int LockDescriptor = -1;

void HoldWakeLock() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) {
        return;
    }
    sd_bus_message* reply = nullptr;
    int fd = -1;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", nullptr, &reply, "ssss",
                           "sleep:idle:shutdown", "Kestrune", "Writing firmware into the frontend",
                           "block") >= 0 &&
        sd_bus_message_read(reply, "h", &fd) >= 0) {
        // The reply owns fd; keep a copy of our own.
        LockDescriptor = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
}

void ReleaseWakeLock() {
    if (LockDescriptor >= 0) {
        close(LockDescriptor);
        LockDescriptor = -1;
    }
}
