#include "session/options.h"

#include <cstring>

const char* const OptionsHelp =
    "Options, before the transport:\r\n"
    "  --exit-status    the exit status tells the outcome: 0 flashed, 1 no session,\r\n"
    "                   2 declined, 3 not flashed (frontends, connection),\r\n"
    "                   10+N flash result N, 130 (Windows 0xC000013A) stopped\r\n"
    "  --history FILE   append one CSV record of the run to FILE\r\n"
    "  --help           this text\r\n"
    "  --version        the version\r\n";

bool ParseOptions(int argc, char** argv, Options* options) {
    *options = Options();
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
        if (strcmp(argv[i], "--exit-status") == 0) {
            options->exitStatus = true;
        } else if (strcmp(argv[i], "--history") == 0 && i + 1 < argc) {
            options->historyPath = argv[++i];
        } else if (strcmp(argv[i], "--help") == 0) {
            options->help = true;
        } else if (strcmp(argv[i], "--version") == 0) {
            options->version = true;
        } else {
            return false;
        }
    }
    options->firstArgument = i;
    return true;
}
