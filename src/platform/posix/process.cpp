// Process set-up on POSIX systems.
#include "platform/platform.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

void PlatformInit() {
#ifdef __linux__
    // The default timer slack of 50 us lets every pause run long; over
    // thousands of chunks that adds up to more than the operator asked for.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}
