// The pauses alone, as the flash takes them: 50 pauses of 100 ms and of
// 10 ms through the platform's own sleep, inside the flash span (so with the
// fine timer on Windows). Built for every platform, so that the Windows build
// can be measured under Wine too. Prints one line per wait time.
// "pacing_bench N MS" makes N pauses of MS and prints nothing: as many of
// them at once as a station has workers show the floor a machine sets.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "platform/platform.h"

int main(int argc, char** argv) {
    PlatformInit();
    PlatformFlashBegins();
    if (argc == 3) {
        for (long i = strtol(argv[1], nullptr, 10); i > 0; i--) {
            PlatformSleep((uint32_t)strtoul(argv[2], nullptr, 10));
        }
        PlatformFlashEnds();
        return 0;
    }
    for (uint32_t waitTime : {100u, 10u}) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 50; i++) {
            PlatformSleep(waitTime);
        }
        std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        printf("%u ms: %.1f ms for %u ms, %+.2f %%\n", waitTime, took.count(), 50 * waitTime,
               100.0 * (took.count() - 50.0 * waitTime) / (50.0 * waitTime));
    }
    PlatformFlashEnds();
    return 0;
}
