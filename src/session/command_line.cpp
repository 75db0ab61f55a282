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
    "  --image FILE     flash FILE instead of kovi_firmware.bin; up to 32 times: each\r\n"
    "                   frontend gets the newest image that fits it\r\n"
    "  --log FILE       log to FILE instead of kovi_kestrune.log\r\n"
    "  --json           JSON Lines on standard output, the console on standard error\r\n"
    "  --expect-serial N  flash only the frontend whose serial is N\r\n"
    "  --skip-current   do not flash a frontend that runs the image's version\r\n"
    "  --all            flash every frontend listed at once, each by a worker\r\n"
    "                   process (implies --yes); a log of its own for each\r\n"
    "  --max-parallel N  with --all, at most N frontends at once\r\n"
    "  --watch          a station that goes on: flashes each frontend as it arrives\r\n"
    "                   (implies --all and --skip-current) until stopped\r\n"
    "  --count N        with --watch, end once N units are flashed\r\n"
    "  --max-failures N  with --watch, end after N failed units in a row\r\n"
    "  --verify MINUTES  after SUCCESS, wait up to MINUTES (1 to 60) for the\r\n"
    "                   frontend to run the image's version\r\n"
    "  --retries N      try a failure that may pass again, up to N (0 to 5) times\r\n"
    "  --key FILE       flash only images signed by this ECDSA P-256 public key\r\n"
    "                   (PEM), IMAGE.sig beside each image; up to 8 times\r\n"
    "  --publish COMMAND  feed the JSON Lines to COMMAND (through the shell), which\r\n"
    "                   no Ctrl-C of the console reaches\r\n"
    "  --station NAME   the station's name in every event and in the history's\r\n"
    "                   host column (the host name by default)\r\n"
    "  --help           this text\r\n"
    "  --version        the version\r\n";

static bool IsOption(const char* argument) {
    return strncmp(argument, "--", 2) == 0;
}

enum OptionKind {
    FLAG,          // no value
    FILE_VALUE,    // a file name: the next argument, whatever it looks like
    TEXT_VALUE,    // a text: the same
    NUMBER_VALUE,  // a decimal number of 32 bits, at least minimum
    OPTIONAL_FILE, // a file name if the next argument is no option
    FILE_LIST,     // a file name, as FILE_VALUE, each time the option is given
};

// One option: its name, what it takes, where that is noted, what it does
// in a station, whether it means a program drives the run, and what is
// said when its value is missing or wrong.
struct OptionRow {
    const char* name;
    OptionKind kind;
    StationRole role;
    bool machine;
    bool Options::*flag;
    FileArgument Options::*file;
    FileArgument (Options::*files)[IMAGE_OPTIONS_MAX];
    int32_t Options::*fileCount;
    const char* Options::*text;
    int32_t Options::*number;
    bool Options::*given; // for a number: null where the number itself tells
    int32_t minimum;
    int32_t maximum;
    const char* missing;
};

static constexpr OptionRow Flag(const char* name, bool Options::*field, StationRole role,
                                bool machine) {
    return {name,    FLAG,    role,    machine, field, nullptr, nullptr,
            nullptr, nullptr, nullptr, nullptr, 0,     0,       nullptr};
}
static constexpr OptionRow File(const char* name, OptionKind kind, FileArgument Options::*field,
                                StationRole role, bool machine, const char* missing) {
    return {name,    kind,    role,    machine, nullptr, field, nullptr,
            nullptr, nullptr, nullptr, nullptr, 0,       0,     missing};
}
static constexpr OptionRow Files(const char* name,
                                 FileArgument (Options::*files)[IMAGE_OPTIONS_MAX],
                                 int32_t Options::*count, int32_t most, StationRole role,
                                 bool machine, const char* missing) {
    return {name,  FILE_LIST, role,    machine, nullptr, nullptr, files,
            count, nullptr,   nullptr, nullptr, 0,       most,    missing};
}
static constexpr OptionRow Text(const char* name, const char* Options::*field, StationRole role,
                                bool machine, const char* missing) {
    return {name,    TEXT_VALUE, role,    machine, nullptr, nullptr, nullptr,
            nullptr, field,      nullptr, nullptr, 0,       0,       missing};
}
static constexpr OptionRow Number(const char* name, int32_t Options::*field, bool Options::*given,
                                  int32_t minimum, int32_t maximum, StationRole role, bool machine,
                                  const char* missing) {
    return {name,    NUMBER_VALUE, role,  machine, nullptr, nullptr, nullptr,
            nullptr, nullptr,      field, given,   minimum, maximum, missing};
}

// Every option there is. A station builds its workers' arguments and its
// refusals from the role column.
static const OptionRow OptionTable[] = {
    Flag("--exit-status", &Options::exitStatus, PASSED_ON, true),
    File("--history", FILE_VALUE, &Options::history, PASSED_ON, true,
         "Option --history needs a file name"),
    Text("--device", &Options::device, REFUSED_WITH_ALL, false,
         "Option --device needs a frontend name"),
    Flag("--list", &Options::list, STATION_OWN, false),
    File("--info", OPTIONAL_FILE, &Options::info, STATION_OWN, false, nullptr),
    Flag("--yes", &Options::yes, STATION_OWN, true),
    Flag("--allow-older", &Options::allowOlder, PASSED_ON, false),
    Flag("--help", &Options::help, STATION_OWN, false),
    Flag("--version", &Options::version, STATION_OWN, false),
    Files("--image", &Options::images, &Options::imageCount, IMAGE_OPTIONS_MAX, PASSED_ON, true,
          "Option --image needs a file name"),
    Files("--key", &Options::keys, &Options::keyCount, KEYS_MAX, PASSED_ON, true,
          "Option --key needs a file name"),
    File("--log", FILE_VALUE, &Options::log, STATION_OWN, true, "Option --log needs a file name"),
    Flag("--json", &Options::json, STATION_OWN, true),
    Number("--expect-serial", &Options::expectSerial, &Options::expectSerialSet, INT32_MIN,
           INT32_MAX, REFUSED_WITH_ALL, true, "Option --expect-serial needs a serial number"),
    Flag("--skip-current", &Options::skipCurrent, PASSED_ON, true),
    Flag("--all", &Options::all, STATION_OWN, true),
    Number("--max-parallel", &Options::maxParallel, nullptr, 1, INT32_MAX, STATION_OWN, false,
           "Option --max-parallel needs a number of frontends"),
    Number("--verify", &Options::verifyMinutes, nullptr, 1, 60, PASSED_ON, false,
           "Option --verify needs a number of minutes from 1 to 60"),
    Number("--retries", &Options::retries, nullptr, 0, 5, PASSED_ON, false,
           "Option --retries needs a number of tries from 0 to 5"),
    Flag("--watch", &Options::watch, STATION_OWN, true),
    Number("--count", &Options::count, nullptr, 1, INT32_MAX, STATION_OWN, false,
           "Option --count needs a number of units"),
    Number("--max-failures", &Options::maxFailures, nullptr, 1, INT32_MAX, STATION_OWN, false,
           "Option --max-failures needs a number of units"),
    Text("--publish", &Options::publish, STATION_OWN, true, "Option --publish needs a command"),
    Text("--station", &Options::station, PASSED_ON, false, "Option --station needs a name"),
    File("--station-log", FILE_VALUE, &Options::stationLog, REFUSED_WITH_ALL, true,
         "Option --station-log needs a file name"),
    Text("--station-images", &Options::stationImages, REFUSED_WITH_ALL, true,
         "Option --station-images needs the images' SHA-256"),
    Number("--station-unit", &Options::stationUnit, nullptr, 1, INT32_MAX, REFUSED_WITH_ALL, true,
           "Option --station-unit needs a unit number"),
};

// The number in text, a serial as the log shows it or a count.
static bool ParseNumber(const char* text, int32_t minimum, int32_t maximum, int32_t* number) {
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < minimum || value > maximum) {
        return false;
    }
    *number = (int32_t)value;
    return true;
}

static const OptionRow* FindOption(const char* argument) {
    for (const OptionRow& row : OptionTable) {
        if (strcmp(argument, row.name) == 0) {
            return &row;
        }
    }
    return nullptr;
}

static bool Given(const Options& options, const OptionRow& row) {
    switch (row.kind) {
    case FLAG:
        return options.*row.flag;
    case FILE_VALUE:
    case OPTIONAL_FILE:
        return (options.*row.file).path != nullptr;
    case TEXT_VALUE:
        return options.*row.text != nullptr;
    case NUMBER_VALUE:
        return row.given != nullptr ? options.*row.given : options.*row.number != 0;
    case FILE_LIST:
        return options.*row.fileCount > 0;
    }
    return false;
}

// Notes one option; false when its value is missing or wrong. *i moves past
// the value taken.
static bool TakeOption(const OptionRow& row, int argc, char** argv, int* i, Options* options) {
    bool hasNext = *i + 1 < argc;
    const char* next = hasNext ? argv[*i + 1] : nullptr;
    switch (row.kind) {
    case FLAG:
        options->*row.flag = true;
        return true;
    case FILE_VALUE:
        if (next != nullptr) {
            options->*row.file = FileArgument{next, ++*i, next};
        }
        return next != nullptr;
    case TEXT_VALUE:
        if (next != nullptr) {
            options->*row.text = next;
            ++*i;
        }
        return next != nullptr;
    case FILE_LIST: // (the caller has made sure there is room)
        if (next != nullptr) {
            (options->*row.files)[(options->*row.fileCount)++] = FileArgument{next, ++*i, next};
        }
        return next != nullptr;
    case OPTIONAL_FILE:
        options->*row.file = next != nullptr && !IsOption(next)
                                 ? FileArgument{next, ++*i, next}
                                 : FileArgument{"kovi_firmware.bin", 0, "kovi_firmware.bin"};
        return true;
    case NUMBER_VALUE: {
        const char* value = next != nullptr && !IsOption(next) ? next : nullptr;
        bool ok = value != nullptr &&
                  ParseNumber(value, row.minimum, row.maximum, &(options->*row.number));
        if (row.given != nullptr) {
            options->*row.given = true;
        }
        *i += value != nullptr;
        return ok;
    }
    }
    return false;
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
        const OptionRow* row = optionsEnd ? nullptr : FindOption(argument);
        if (optionsEnd || !IsOption(argument)) {
            if (positional == 0) {
                options->transport = argument;
            } else if (positional == 1) {
                options->waitTime = argument;
            }
            positional++;
        } else if (strcmp(argument, "--") == 0) {
            optionsEnd = true;
        } else if (row == nullptr) {
            fail("Unknown option [%s]", argument);
        } else if (row->kind == FILE_LIST && options->*row->fileCount == row->maximum) {
            fail(row->maximum == KEYS_MAX ? "Option %s is given more than 8 times"
                                          : "Option %s is given more than 32 times",
                 argument);
            i += i + 1 < argc;
        } else if (!TakeOption(*row, argc, argv, &i, options)) {
            fail(row->missing, argument);
        }
    }
    options->all = options->all || options->watch; // a watch is a station that goes on
    for (const OptionRow& row : OptionTable) {
        if (options->all && row.role == REFUSED_WITH_ALL && Given(*options, row)) {
            fail(options->watch ? "Option --watch does not go with %s"
                                : "Option --all does not go with %s",
                 row.name);
        }
    }
    // The watch's limits mean nothing to a run that ends by itself.
    if (!options->watch && options->count > 0) {
        fail("Option %s goes only with --watch", "--count");
    }
    if (!options->watch && options->maxFailures > 0) {
        fail("Option %s goes only with --watch", "--max-failures");
    }
    return ok;
}

void ResolveFiles(Options* options, int argc, char** argv,
                  const char* (*pathOf)(int argc, char** argv, int index)) {
    for (const OptionRow& row : OptionTable) {
        FileArgument* file = row.file != nullptr ? &(options->*row.file) : nullptr;
        if (file != nullptr && file->index > 0) {
            file->file = pathOf(argc, argv, file->index);
        }
        for (int32_t k = 0; row.files != nullptr && k < options->*row.fileCount; k++) {
            FileArgument* listed = &(options->*row.files)[k];
            listed->file = pathOf(argc, argv, listed->index);
        }
    }
}

bool MachineRun(const Options& options) {
    for (const OptionRow& row : OptionTable) {
        if (row.machine && Given(options, row)) {
            return true;
        }
    }
    return false;
}

StationRole StationRoleOf(const char* name) {
    const OptionRow* row = FindOption(name);
    return row != nullptr ? row->role : ROLE_MISSING;
}

void ForEachOptionName(void (*take)(const char* name, void* context), void* context) {
    for (const OptionRow& row : OptionTable) {
        take(row.name, context);
    }
}

size_t WorkerOptions(const Options& options, const char** arguments,
                     char (*numbers)[NUMBER_TEXT_MAX]) {
    size_t n = 0;
    for (const OptionRow& row : OptionTable) {
        if (row.role != PASSED_ON || !Given(options, row)) {
            continue;
        }
        for (int32_t k = 0; row.kind == FILE_LIST && k < options.*row.fileCount; k++) {
            arguments[n++] = row.name;
            arguments[n++] = (options.*row.files)[k].file;
        }
        if (row.kind == FILE_LIST) {
            continue;
        }
        arguments[n++] = row.name;
        if (row.kind == FILE_VALUE || row.kind == OPTIONAL_FILE) {
            arguments[n++] = (options.*row.file).file;
        } else if (row.kind == TEXT_VALUE) {
            arguments[n++] = options.*row.text;
        } else if (row.kind == NUMBER_VALUE) {
            snprintf(numbers[n], NUMBER_TEXT_MAX, "%d", (int)(options.*row.number));
            arguments[n] = numbers[n];
            n++;
        }
    }
    return n;
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
