#include "session/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdk/kovi_sdk.h"

const char* const Usage = "Usage: Kestrune (w=WLAN, u=USB b=Bluetooth n=Network) (waittime blocks)";

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
    "  --image FILE     flash FILE instead of kovi_firmware.bin\r\n"
    "  --log FILE       log to FILE instead of kovi_kestrune.log\r\n"
    "  --json           JSON Lines on standard output, the console on standard error\r\n"
    "  --expect-serial N  flash only the frontend whose serial is N\r\n"
    "  --skip-current   do not flash a frontend that runs the image's version\r\n"
    "  --all            flash every frontend listed at once, each by a worker\r\n"
    "                   process (implies --yes); a log of its own for each\r\n"
    "  --max-parallel N  with --all, at most N frontends at once\r\n"
    "  --help           this text\r\n"
    "  --version        the version\r\n";

static bool IsOption(const char* argument) {
    return strncmp(argument, "--", 2) == 0;
}

// Options without a value, and where each is noted.
struct Flag {
    const char* name;
    bool Options::*field;
};
static const Flag Flags[] = {
    {"--exit-status", &Options::exitStatus},
    {"--list", &Options::list},
    {"--yes", &Options::yes},
    {"--allow-older", &Options::allowOlder},
    {"--help", &Options::help},
    {"--version", &Options::version},
    {"--json", &Options::json},
    {"--skip-current", &Options::skipCurrent},
    {"--all", &Options::all},
};

// Options that take a file, and what is said when it is missing.
struct FileOption {
    const char* name;
    FileArgument Options::*field;
    const char* missing;
};
static const FileOption FileOptions[] = {
    {"--history", &Options::history, "Option --history needs a file name"},
    {"--image", &Options::image, "Option --image needs a file name"},
    {"--log", &Options::log, "Option --log needs a file name"},
};

// Options that take a number (decimal, 32 bits, at least minimum), where
// each is noted, and what is said when it is missing or no such number.
struct NumberOption {
    const char* name;
    int32_t Options::*field;
    bool Options::*given; // null where the number itself tells
    int32_t minimum;
    const char* missing;
};
static const NumberOption NumberOptions[] = {
    {"--expect-serial", &Options::expectSerial, &Options::expectSerialSet, INT32_MIN,
     "Option --expect-serial needs a serial number"},
    {"--max-parallel", &Options::maxParallel, nullptr, 1,
     "Option --max-parallel needs a number of frontends"},
};

// The number in text, a serial as the log shows it or a count.
static bool ParseNumber(const char* text, int32_t minimum, int32_t* number) {
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < minimum || value > INT32_MAX) {
        return false;
    }
    *number = (int32_t)value;
    return true;
}

// The entry of the table named as the argument, or null.
template <typename Option, size_t count>
static const Option* Find(const Option (&table)[count], const char* argument) {
    for (const Option& option : table) {
        if (strcmp(argument, option.name) == 0) {
            return &option;
        }
    }
    return nullptr;
}

bool ParseOptions(int argc, char** argv, Options* options, char* message, size_t capacity) {
    *options = Options();
    bool ok = true;
    auto fail = [&](const char* format, const char* argument) {
        if (ok) {
            snprintf(message, capacity, format, argument);
            ok = false;
        }
    };
    bool optionsEnd = false;
    int positional = 0;
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        // The value of an option that needs one; never another option.
        const char* value = i + 1 < argc && !IsOption(argv[i + 1]) ? argv[i + 1] : nullptr;
        const Flag* flag = Find(Flags, argument);
        const FileOption* file = Find(FileOptions, argument);
        const NumberOption* number = Find(NumberOptions, argument);
        if (optionsEnd || !IsOption(argument)) {
            if (positional == 0) {
                options->transport = argument;
            } else if (positional == 1) {
                options->waitTime = argument;
            }
            positional++;
        } else if (strcmp(argument, "--") == 0) {
            optionsEnd = true;
        } else if (flag != nullptr) {
            options->*flag->field = true;
        } else if (file != nullptr && value == nullptr) {
            fail(file->missing, argument);
        } else if (file != nullptr) {
            options->*file->field = FileArgument{value, ++i};
        } else if (strcmp(argument, "--device") == 0 && value == nullptr) {
            fail("Option --device needs a frontend name", argument);
        } else if (strcmp(argument, "--device") == 0) {
            options->device = value;
            i++;
        } else if (number != nullptr) {
            if (value == nullptr ||
                !ParseNumber(value, number->minimum, &(options->*number->field))) {
                fail(number->missing, argument);
            }
            if (number->given != nullptr) {
                options->*number->given = true;
            }
            i += value != nullptr;
        } else if (strcmp(argument, "--info") == 0) {
            options->info =
                value != nullptr ? FileArgument{value, ++i} : FileArgument{"kovi_firmware.bin", 0};
        } else {
            fail("Unknown option [%s]", argument);
        }
    }
    if (options->all && options->device != nullptr) {
        fail("Option --all does not go with --device", "");
    }
    return ok;
}

bool MachineRun(const Options& options) {
    return options.yes || options.exitStatus || options.history.path != nullptr || options.json ||
           options.image.path != nullptr || options.log.path != nullptr ||
           options.expectSerialSet || options.skipCurrent || options.all;
}

static const Transport Transports[] = {
    {'w', "Use WLAN", TRANSPORT_WLAN},
    {'u', "Use USB", TRANSPORT_USB},
    {'b', "Use Bluetooth", TRANSPORT_BLUETOOTH},
    {'n', "Use network", TRANSPORT_NETWORK},
};

const Transport* TransportFor(const char* argument) {
    for (const Transport& transport : Transports) {
        if (argument[0] == transport.letter) {
            return &transport;
        }
    }
    return nullptr;
}

static bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool ParseWaitTime(const char* text, uint32_t* waitTime) {
    while (IsSpace(*text)) {
        text++;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        text++;
    }
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        value = value * 10 + (uint64_t)(*text - '0');
        if (value > UINT32_MAX) {
            return false;
        }
    }
    if (negative && value != 0) {
        return false;
    }
    *waitTime = (uint32_t)value;
    return true;
}
