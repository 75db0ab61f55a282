// Claims on numbers among processes: a byte-range lock each, on a file
// that the processes share.
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool PlatformClaimNumber(const char* path, uint32_t number, uint32_t* error) {
    *error = 0;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        *error = (uint32_t)errno;
        return false;
    }
    // An open file description's lock: it is the process's until it ends,
    // whatever else the process opens and closes (a process lock would go
    // with the first close of any descriptor of the file).
    struct flock claim = {};
    claim.l_type = F_WRLCK;
    claim.l_whence = SEEK_SET;
    claim.l_start = (off_t)number;
    claim.l_len = 1;
    if (fcntl(fd, F_OFD_SETLK, &claim) == 0) {
        return true; // (the descriptor stays open: it holds the claim)
    }
    bool held = errno == EAGAIN || errno == EACCES;
    *error = held ? 0 : (uint32_t)errno;
    close(fd);
    return false;
}
