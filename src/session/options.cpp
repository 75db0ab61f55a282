#include "session/options.h"

#include <cstring>

const char* const OptionsHelp =
    "Options, anywhere on the command line (\"--\" ends them):\r\n"
    "  --exit-status    the exit status tells the outcome: 0 flashed, 1 no session,\r\n"
    "                   2 declined, 3 not flashed (frontends, connection),\r\n"
    "                   10+N flash result N, 130 (Windows 0xC000013A) stopped\r\n"
    "  --history FILE   append one CSV record of the run to FILE\r\n"
    "  --device NAME    flash the frontend listed as NAME, among several\r\n"
    "  --list           list the frontends and flash nothing\r\n"
    "  --info [FILE]    describe an image (kovi_firmware.bin) without the SDK\r\n"
    "  --yes            answer the question with Y; an older image is refused\r\n"
    "  --allow-older    with --yes, flash an older image too\r\n"
    "  --help           this text\r\n"
    "  --version        the version\r\n";

static bool IsOption(const char* argument) {
    return strncmp(argument, "--", 2) == 0;
}

// The first error is the one reported; the rest is read all the same, so
// that --help and --version are seen wherever they stand.
OptionsError ParseOptions(int argc, char** argv, Options* options, const char** culprit) {
    *options = Options();
    OptionsError error = OPTIONS_OK;
    auto fail = [&](OptionsError what, const char* argument) {
        if (error == OPTIONS_OK) {
            error = what;
            *culprit = argument;
        }
    };
    bool optionsEnd = false;
    int positional = 0;
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        // The value of an option that needs one; never another option.
        const char* value = i + 1 < argc && !IsOption(argv[i + 1]) ? argv[i + 1] : nullptr;
        if (optionsEnd || !IsOption(argument)) {
            if (positional == 0) {
                options->transport = argument;
            } else if (positional == 1) {
                options->waitTime = argument;
            }
            positional++;
        } else if (strcmp(argument, "--") == 0) {
            optionsEnd = true;
        } else if (strcmp(argument, "--exit-status") == 0) {
            options->exitStatus = true;
        } else if (strcmp(argument, "--history") == 0 || strcmp(argument, "--device") == 0) {
            if (value == nullptr) {
                fail(OPTIONS_MISSING_VALUE, argument);
                continue;
            }
            if (strcmp(argument, "--history") == 0) {
                options->historyPath = value;
                options->historyIndex = i + 1;
            } else {
                options->device = value;
            }
            i++;
        } else if (strcmp(argument, "--info") == 0) {
            options->infoPath = value != nullptr ? value : "kovi_firmware.bin";
            i += value != nullptr;
        } else if (strcmp(argument, "--list") == 0) {
            options->list = true;
        } else if (strcmp(argument, "--yes") == 0) {
            options->yes = true;
        } else if (strcmp(argument, "--allow-older") == 0) {
            options->allowOlder = true;
        } else if (strcmp(argument, "--help") == 0) {
            options->help = true;
        } else if (strcmp(argument, "--version") == 0) {
            options->version = true;
        } else {
            fail(OPTIONS_UNKNOWN, argument);
        }
    }
    return error;
}
