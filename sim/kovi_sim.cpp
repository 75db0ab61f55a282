// The simulated frontend: a stand-in for the maker's SDK library with the
// same entry points and records, driven by a scenario file.
//
//   KOVI_SIM           scenario file, one "key = value" a line, # comments
//   KOVI_SIM_TRACE     file that gets one line per entry call
//   KOVI_SIM_RECEIVED  file that gets the firmware bytes received; a "*" in
//                      it stands for the index of the frontend opened, so
//                      that workers flashing several never share one file
//
// Without a scenario it is one healthy frontend that takes the sample image.
// See sim/README.md for the keys.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "sdk/kovi_sdk.h"

#if defined(_WIN32)
#include <windows.h>
#define KOVI_EXPORT extern "C" __declspec(dllexport)
#ifdef SIM_WITH_SUPPORT_LIBRARY
// A dependency, as a maker's library may have, for the library-search tests.
extern "C" __declspec(dllimport) int KoviSupportVersion();
#endif
// 32-bit SDKs may use either calling convention; the sim can be built with
// either (SIM_STDCALL), exported under the plain names, or, as a maker's
// library built without a .def file exports them, decorated (SIM_DECORATED:
// Open@8).
#ifdef SIM_STDCALL
#define SIM_CALL __stdcall
#else
#define SIM_CALL KOVI_CALL
#endif
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#define SIM_CALL KOVI_CALL
#include <unistd.h>
#define KOVI_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// The entries whose calls are counted and can be made to fail.
enum Entry {
    ENTRY_LIBRARY_INIT,
    ENTRY_GET_REVISION,
    ENTRY_GET_DEVICE_LIST,
    ENTRY_FREE_DEVICE_LIST,
    ENTRY_OPEN,
    ENTRY_GET_FRONTEND_INFO,
    ENTRY_GET_FIRMWARE_STATUS,
    ENTRY_KESTRUNE,
    ENTRY_GET_ERROR_CODE,
    ENTRY_GET_ERROR_CODE_MESSAGE,
    ENTRY_CLOSE,
    ENTRY_LIBRARY_EXIT,
    ENTRY_COUNT
};

const char* const EntryNames[ENTRY_COUNT] = {
    "LibraryInit",           "GetRevision",  "GetDeviceList",
    "FreeDeviceList",        "Open",         "GetFrontEndInfo",
    "KoviGetFirmwareStatus", "KoviKestrune", "GetErrorCode",
    "GetErrorCodeMessage",   "Close",        "LibraryExit",
};

// Error codes of the simulated frontend's own refusals.
enum {
    SIM_ERROR_SCENARIO = 99,
    SIM_ERROR_INVALID_HANDLE = 0x10,
    SIM_ERROR_NOT_CONNECTED = 0x11,
    SIM_ERROR_UNKNOWN_DEVICE = 0x12,
    SIM_ERROR_REMOVED = 0x13, // a fixture's unit taken out while it was open
    SIM_ERROR_ACCESS_CODE = 0x21,
    SIM_ERROR_CHUNK_COUNT = 0x22,
    SIM_ERROR_PART_NUMBER = 0x23,
    SIM_ERROR_CHUNK_LENGTH = 0x24,
    SIM_ERROR_HEADER_BYTES = 0x26,
    SIM_ERROR_TRANSFER_OVER = 0x27,
    SIM_STATUS_CRC_ERROR = 0x100,
};

struct OptionalText {
    bool isNull;
    std::string text;
    const char* get() const { return isNull ? nullptr : text.c_str(); }
};

struct Scenario {
    int32_t initError = 0;
    bool initInvalidHandle = false;
    bool initTakesStop = false;        // LibraryInit resets how Ctrl-C is handled
    bool helperProcess = false;        // Open leaves a process behind that holds every descriptor
    OptionalText stdoutText{true, ""}; // written to standard output by LibraryExit
    OptionalText revision{false, "KoviSDK simulated frontend 1.0"};
    int32_t deviceCount = 1;
    bool deviceListPresent = true;
    // Each device's name, where its own key set one; the others are made
    // from the transport.
    std::vector<std::pair<bool, OptionalText>> deviceNames;
    bool serialSet = false; // else device N has serial 1234567 + N
    int32_t serial = 1234567;
    uint16_t hwVersion = 0x0201;
    uint16_t swVersion = 0x0109;
    uint16_t statusBefore = FIRMWARE_STATUS_RUNNING;
    std::vector<uint16_t> pollStatuses;  // empty: judged by the transfer
    long long pollVersion = -1;          // -1: the version in the image received
    long long failAt[ENTRY_COUNT] = {};  // the call number that fails, 0 for none
    long long crashAt[ENTRY_COUNT] = {}; // the call number that ends the process, 0 for none
    long long delayMs[ENTRY_COUNT] = {}; // how long each call of the entry takes
    int32_t errorCode = 1;
    OptionalText errorText{false, "Simulated failure"};
    uint8_t trueValue = 1;
    bool checks = true;
    long long expectAccessCode = -1; // -1: today's
    long long rewriteImageAfter = 0; // chunk after which kovi_firmware.bin changes, 0: never
    long long failingTries = 0;      // the fail.* settings hold for this many Opens only, 0: all
    // After programming is done the frontend reboots into the new version.
    long long rebootSeconds = 10; // -1: it never reboots, and keeps its old version
    bool listedWhileRebooting = false;
    bool listedAfterReboot = true;
    long long serialAfterReboot = -1; // -1: its own
    // Settings for one frontend only, taken when it is opened: "[NAME]"
    // lines start them.
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> frontends;
    // KOVI_SIM_FIXTURE: each frontend's file and its identity as read by the
    // last listing; its settings follow the scenario file's in frontends.
    struct FixtureUnit {
        std::string name, path, identity;
    };
    std::vector<FixtureUnit> fixtureUnits;
    size_t scenarioFrontends = SIZE_MAX; // how many of frontends the scenario file gave
};

struct Device {
    Scenario scenario;
    bool initialised;
    bool connected;
    int32_t transport;
    long long calls[ENTRY_COUNT];
    char** deviceList;
    int32_t deviceListCount;
    int32_t lastErrorCode;
    OptionalText lastErrorText;
    // The transfer as the device sees it.
    uint32_t nextPart;
    uint16_t chunkCount;
    uint8_t firstChunk[FIRMWARE_CHUNK_SIZE];
    bool refused;
    bool complete;
    const char* receivedPath;          // null: nothing is kept
    std::vector<int32_t> listedDevice; // the device number of each entry of the list
    int32_t openedIndex;               // the frontend opened, in the list; -1 for none
    int32_t openedDevice;              // its device number
    std::string openedName;            // its name, past the list
    std::vector<uint8_t> received;
    size_t pollsAfterTransfer;
    bool notedFlashed; // this session's programming done is noted
    FILE* trace;
};

Device TheDevice;

// A frontend whose programming is done, by name: it keeps its state for
// the rest of the process, and across processes in the file KOVI_SIM_STATE
// names (a station lists its frontends in one process, flashes and looks
// for each in others).
struct Flashed {
    std::string name;
    std::string unit; // in a fixture, the identity of its file; "-" outside one
    uint16_t version;
    long long doneMs; // when programming was done, wall-clock time
    long long rebootSeconds;
    bool listedWhileRebooting, listedAfterReboot;
    long long serialAfterReboot;
};
std::vector<Flashed> FlashedFrontends;

long long WallMs() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void LoadFlashed() {
    const char* path = getenv("KOVI_SIM_STATE");
    FILE* file = path != nullptr && path[0] != '\0' ? fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        return;
    }
    char name[8192], unit[256];
    Flashed f;
    int version, whileRebooting, afterReboot;
    while (fscanf(file, "%8191[^\t]\t%255[^\t]\t%d\t%lld\t%lld\t%d\t%d\t%lld\n", name, unit,
                  &version, &f.doneMs, &f.rebootSeconds, &whileRebooting, &afterReboot,
                  &f.serialAfterReboot) == 8) {
        f.name = name;
        f.unit = unit;
        f.version = (uint16_t)version;
        f.listedWhileRebooting = whileRebooting != 0;
        f.listedAfterReboot = afterReboot != 0;
        FlashedFrontends.push_back(f);
    }
    fclose(file);
}

void NoteFlashed(const Flashed& f) {
    FlashedFrontends.push_back(f);
    const char* path = getenv("KOVI_SIM_STATE");
    FILE* file = path != nullptr && path[0] != '\0' ? fopen(path, "ab") : nullptr;
    if (file != nullptr) {
        fprintf(file, "%s\t%s\t%d\t%lld\t%lld\t%d\t%d\t%lld\n", f.name.c_str(), f.unit.c_str(),
                (int)f.version, f.doneMs, f.rebootSeconds, (int)f.listedWhileRebooting,
                (int)f.listedAfterReboot, f.serialAfterReboot);
        fclose(file);
    }
}

// A fixture file's identity: each file put in is a new physical unit, even
// under a name used before; one renamed away and back (a dot name is not
// listed) is the same unit, out of the list meanwhile.
std::string FileIdentity(const std::string& path) {
    struct stat about;
    if (stat(path.c_str(), &about) != 0) {
        return "";
    }
    char identity[96];
#if defined(_WIN32)
    snprintf(identity, sizeof identity, "%lld.%lld", (long long)about.st_ctime,
             (long long)about.st_mtime);
#else
    // The file's time through the system call itself: libfaketime moves
    // stat's times by each process's own fake clock, and a station, its
    // workers and the test must agree on which unit a file is.
    struct statx real = {};
    if (syscall(SYS_statx, AT_FDCWD, path.c_str(), 0, STATX_INO | STATX_MTIME, &real) == 0) {
        about.st_mtim.tv_sec = real.stx_mtime.tv_sec;
        about.st_mtim.tv_nsec = real.stx_mtime.tv_nsec;
    }
    snprintf(identity, sizeof identity, "%llu.%lld.%ld", (unsigned long long)about.st_ino,
             (long long)about.st_mtim.tv_sec, (long)about.st_mtim.tv_nsec);
#endif
    return identity;
}

// The physical unit behind a name: its fixture file's identity, "-" where
// there is no fixture (a name is then one unit for good).
std::string UnitOf(const char* name) {
    for (const Scenario::FixtureUnit& unit : TheDevice.scenario.fixtureUnits) {
        if (unit.name == name) {
            return unit.identity;
        }
    }
    return "-";
}

// Whether the frontend opened was taken out of the fixture, or replaced by
// another unit, since the session began: its calls fail as a pulled
// device's do.
bool Pulled() {
    const Device& d = TheDevice;
    for (const Scenario::FixtureUnit& unit : d.scenario.fixtureUnits) {
        if (d.openedIndex >= 0 && unit.name == d.openedName) {
            return FileIdentity(unit.path) != unit.identity;
        }
    }
    return false;
}

// The newest state of the frontend of that name, or null if it was never
// flashed; *rebooted tells whether it runs the new version now.
const Flashed* FlashedState(const char* name, bool* rebooted) {
    const Flashed* found = nullptr;
    std::string unit = name != nullptr ? UnitOf(name) : "";
    for (const Flashed& f : FlashedFrontends) {
        found = name != nullptr && f.name == name && f.unit == unit ? &f : found;
    }
    *rebooted = found != nullptr && found->rebootSeconds >= 0 &&
                WallMs() >= found->doneMs + found->rebootSeconds * 1000;
    return found;
}

// Whether a frontend of that name is listed now: not while it reboots, nor
// after a reboot that leaves it out.
bool Listed(const char* name) {
    bool rebooted = false;
    const Flashed* f = FlashedState(name, &rebooted);
    return f == nullptr ||
           (rebooted ? f->listedAfterReboot : f->listedWhileRebooting || f->rebootSeconds < 0);
}

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

void Trace(const char* format, ...) {
    if (TheDevice.trace == nullptr) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vfprintf(TheDevice.trace, format, arguments);
    va_end(arguments);
    fputc('\n', TheDevice.trace);
    fflush(TheDevice.trace);
}

SdkBool Succeed() {
    return TheDevice.scenario.trueValue;
}

SdkBool Fail(int32_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));

SdkBool Fail(int32_t code, const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    TheDevice.lastErrorCode = code;
    TheDevice.lastErrorText = OptionalText{false, text};
    return 0;
}

// A call that takes its time, as a real frontend's do; a signal to the
// process does not cut it short. No time, no call: a zero-length sleep still
// costs a system call (and a station of workers pays it for every chunk).
void TakeTime(long long milliseconds) {
    if (milliseconds <= 0) {
        return;
    }
#if defined(_WIN32)
    Sleep((DWORD)milliseconds);
#else
    struct timespec left = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
#endif
}

// Ends the process at once, as a crash or a kill does.
void Crash() {
#if defined(_WIN32)
    TerminateProcess(GetCurrentProcess(), 0xC0000005); // an access violation's status
#else
    raise(SIGKILL);
#endif
}

// The Opens of this process, across its sessions: a flash tried again is
// a new session, and failing_tries lets the first ones fail.
long long OpensSoFar;

// Counts the call and tells whether the scenario makes this one fail.
bool InjectedFailure(Entry entry) {
    TakeTime(TheDevice.scenario.delayMs[entry]);
    long long call = ++TheDevice.calls[entry];
    if (TheDevice.scenario.crashAt[entry] == call) {
        Crash();
    }
    long long tries = TheDevice.scenario.failingTries;
    if (TheDevice.scenario.failAt[entry] != call || (tries > 0 && OpensSoFar > tries)) {
        return false;
    }
    TheDevice.lastErrorCode = TheDevice.scenario.errorCode;
    TheDevice.lastErrorText = TheDevice.scenario.errorText;
    return true;
}

bool ValidHandle(SdkHandle handle) {
    return TheDevice.initialised && handle == &TheDevice;
}

// --- Scenario file ---------------------------------------------------------

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// (long long: long has 32 bits on Windows, too few for the ranges below.)
bool ParseNumber(const std::string& text, long long minimum, long long maximum, long long* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long long parsed = strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed < minimum || parsed > maximum) {
        return false;
    }
    *value = parsed;
    return true;
}

// "<null>" is no text at all; "<lf>" anywhere stands for a line feed, which
// a line of the scenario cannot hold.
OptionalText ParseText(const std::string& value) {
    if (value == "<null>") {
        return OptionalText{true, ""};
    }
    std::string text = value;
    for (size_t at = text.find("<lf>"); at != std::string::npos; at = text.find("<lf>", at + 1)) {
        text.replace(at, 4, "\n");
    }
    return OptionalText{false, text};
}

bool ParseSwitch(const std::string& value, bool* on) {
    if (value == "on" || value == "yes" || value == "1") {
        *on = true;
        return true;
    }
    if (value == "off" || value == "no" || value == "0") {
        *on = false;
        return true;
    }
    return false;
}

// Applies one setting; false with *why set when the key or value is bad.
bool ApplySetting(Scenario* scenario, const std::string& key, const std::string& value,
                  std::string* why) {
    long long number = 0;
    const long long i32Min = -2147483647LL - 1, i32Max = 2147483647LL, u32Max = 4294967295LL;
    bool ok = true;
    if (key == "init_error") {
        ok = ParseNumber(value, i32Min, u32Max, &number);
        scenario->initError = (int32_t)(uint32_t)number;
    } else if (key == "init_invalid_handle") {
        ok = ParseSwitch(value, &scenario->initInvalidHandle);
    } else if (key == "init_takes_stop") {
        ok = ParseSwitch(value, &scenario->initTakesStop);
    } else if (key == "failing_tries") {
        ok = ParseNumber(value, 0, 1000000, &scenario->failingTries);
    } else if (key == "reboot_seconds") {
        scenario->rebootSeconds = -1;
        ok = value == "never" || ParseNumber(value, 0, 86400, &scenario->rebootSeconds);
    } else if (key == "listed_while_rebooting") {
        ok = ParseSwitch(value, &scenario->listedWhileRebooting);
    } else if (key == "listed_after_reboot") {
        ok = ParseSwitch(value, &scenario->listedAfterReboot);
    } else if (key == "serial_after_reboot") {
        ok = ParseNumber(value, 0, u32Max, &scenario->serialAfterReboot);
    } else if (key == "helper_process") {
        ok = ParseSwitch(value, &scenario->helperProcess);
    } else if (key == "stdout_text") {
        scenario->stdoutText = ParseText(value);
    } else if (key == "revision") {
        scenario->revision = ParseText(value);
    } else if (key == "device_count") {
        ok = ParseNumber(value, i32Min, i32Max, &number);
        scenario->deviceCount = (int32_t)number;
    } else if (key == "device_list") {
        ok = value == "present" || value == "absent";
        scenario->deviceListPresent = value == "present";
    } else if (key.compare(0, 7, "device.") == 0) {
        ok = ParseNumber(key.substr(7), 0, 1000, &number);
        if (ok) {
            if (scenario->deviceNames.size() <= (size_t)number) {
                scenario->deviceNames.resize((size_t)number + 1, {false, OptionalText{}});
            }
            scenario->deviceNames[(size_t)number] = {true, ParseText(value)};
        }
    } else if (key == "serial") {
        ok = ParseNumber(value, i32Min, u32Max, &number);
        scenario->serial = (int32_t)(uint32_t)number;
        scenario->serialSet = true;
    } else if (key == "hw_version") {
        ok = ParseNumber(value, 0, 0xFFFF, &number);
        scenario->hwVersion = (uint16_t)number;
    } else if (key == "sw_version") {
        ok = ParseNumber(value, 0, 0xFFFF, &number);
        scenario->swVersion = (uint16_t)number;
    } else if (key == "status_before") {
        ok = ParseNumber(value, 0, 0xFFFF, &number);
        scenario->statusBefore = (uint16_t)number;
    } else if (key == "poll_version") {
        ok = ParseNumber(value, 0, 0xFFFF, &scenario->pollVersion);
    } else if (key == "poll_statuses") {
        scenario->pollStatuses.clear();
        size_t start = 0;
        while (ok && start <= value.size()) {
            size_t comma = value.find(',', start);
            std::string item = Trim(value.substr(start, comma - start));
            ok = ParseNumber(item, 0, 0xFFFF, &number);
            scenario->pollStatuses.push_back((uint16_t)number);
            start = comma == std::string::npos ? value.size() + 1 : comma + 1;
        }
    } else if (key.compare(0, 5, "fail.") == 0 || key.compare(0, 6, "delay.") == 0 ||
               key.compare(0, 6, "crash.") == 0) {
        // fail.ENTRY, crash.ENTRY and delay.ENTRY: a setting of one entry point.
        bool fail = key[0] == 'f';
        bool crash = key[0] == 'c';
        int entry = 0;
        while (entry < ENTRY_COUNT && key.substr(key.find('.') + 1) != EntryNames[entry]) {
            entry++;
        }
        if (entry == ENTRY_COUNT) {
            *why = "unknown entry in key '" + key + "', the entries are";
            for (const char* name : EntryNames) {
                *why += std::string(" ") + name;
            }
            return false;
        }
        ok = fail    ? ParseNumber(value, 1, 1000000000L, &scenario->failAt[entry])
             : crash ? ParseNumber(value, 1, 1000000000L, &scenario->crashAt[entry])
                     : ParseNumber(value, 0, 3600000L, &scenario->delayMs[entry]);
    } else if (key == "error_code") {
        ok = ParseNumber(value, i32Min, u32Max, &number);
        scenario->errorCode = (int32_t)(uint32_t)number;
    } else if (key == "error_text") {
        scenario->errorText = ParseText(value);
    } else if (key == "true_value") {
        ok = ParseNumber(value, 1, 255, &number);
        scenario->trueValue = (uint8_t)number;
    } else if (key == "expect_access_code") {
        ok = ParseNumber(value, 0, u32Max, &scenario->expectAccessCode);
    } else if (key == "checks") {
        ok = ParseSwitch(value, &scenario->checks);
    } else if (key == "rewrite_image_after_chunk") {
        ok = ParseNumber(value, 1, 65535, &scenario->rewriteImageAfter);
    } else {
        *why = "unknown key '" + key + "'";
        return false;
    }
    if (!ok) {
        *why = "bad value '" + value + "' for '" + key + "'";
    }
    return ok;
}

// Reads the scenario named by KOVI_SIM; false, after saying why on standard
// error, when it cannot be used.
bool LoadScenario(Scenario* scenario) {
    *scenario = Scenario();
    const char* path = getenv("KOVI_SIM");
    if (path == nullptr || path[0] == '\0') {
        return true;
    }
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        fprintf(stderr, "KoviSDK simulator: cannot read scenario %s: %s\n", path, strerror(errno));
        return false;
    }
    std::string line;
    int lineNumber = 0;
    bool ok = true;
    int c;
    do {
        c = fgetc(file);
        if (c != '\n' && c != EOF) {
            line += (char)c;
            continue;
        }
        lineNumber++;
        std::string content = line;
        line.clear();
        // Values are taken whole, so "#" only starts a comment at the start.
        if (Trim(content).empty() || Trim(content)[0] == '#') {
            continue;
        }
        std::string trimmed = Trim(content);
        if (trimmed.size() > 2 && trimmed.front() == '[' && trimmed.back() == ']') {
            scenario->frontends.push_back({trimmed.substr(1, trimmed.size() - 2), {}});
            continue;
        }
        size_t equals = content.find('=');
        std::string why = "missing '='";
        std::string key = Trim(content.substr(0, equals == std::string::npos ? 0 : equals));
        std::string value = equals == std::string::npos ? "" : Trim(content.substr(equals + 1));
        // A frontend's setting is checked now, on a scenario of its own.
        Scenario check;
        Scenario* target = scenario->frontends.empty() ? scenario : &check;
        if (!scenario->frontends.empty()) {
            scenario->frontends.back().second.push_back({key, value});
        }
        if (equals == std::string::npos || !ApplySetting(target, key, value, &why)) {
            fprintf(stderr, "KoviSDK simulator: %s line %d: %s\n", path, lineNumber, why.c_str());
            ok = false;
        }
    } while (c != EOF);
    fclose(file);
    return ok;
}

// The files in a folder, by name, leaving out those that start with a dot.
std::vector<std::string> FilesIn(const char* folder) {
    std::vector<std::string> names;
#if defined(_WIN32)
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((std::string(folder) + "\\*").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        if (found.cFileName[0] != '.' && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.push_back(found.cFileName);
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
#else
    DIR* directory = opendir(folder);
    while (struct dirent* entry = directory != nullptr ? readdir(directory) : nullptr) {
        if (entry->d_name[0] != '.') {
            names.push_back(entry->d_name);
        }
    }
    if (directory != nullptr) {
        closedir(directory);
    }
#endif
    std::sort(names.begin(), names.end());
    return names;
}

// KOVI_SIM_FIXTURE: a folder with one file per frontend in the fixture, as a
// station that watches sees it: a file put in is a frontend that arrives,
// one taken out a frontend that leaves. The file's lines are the
// frontend's settings (as after a [NAME] line); "name = NAME" gives its
// name, else the file's name is.
void ReadFixture(Scenario* scenario) {
    const char* folder = getenv("KOVI_SIM_FIXTURE");
    if (folder == nullptr || folder[0] == '\0') {
        return;
    }
    // Each listing reads the fixture anew: what the last one read goes.
    scenario->deviceNames.clear();
    scenario->fixtureUnits.clear();
    if (scenario->scenarioFrontends == SIZE_MAX) {
        scenario->scenarioFrontends = scenario->frontends.size();
    }
    scenario->frontends.resize(scenario->scenarioFrontends);
    for (const std::string& file : FilesIn(folder)) {
        std::string path = std::string(folder) + "/" + file;
        std::string identity = FileIdentity(path);
        FILE* in = fopen(path.c_str(), "rb");
        if (in == nullptr) {
            continue; // taken out while it was looked at
        }
        std::string name = file;
        std::vector<std::pair<std::string, std::string>> settings;
        char line[4096];
        while (fgets(line, sizeof line, in) != nullptr) {
            std::string content = line;
            size_t equals = content.find('=');
            if (Trim(content).empty() || Trim(content)[0] == '#' || equals == std::string::npos) {
                continue;
            }
            std::string key = Trim(content.substr(0, equals));
            std::string value = Trim(content.substr(equals + 1));
            if (key == "name") {
                name = value;
            } else {
                settings.push_back({key, value});
            }
        }
        fclose(in);
        scenario->deviceNames.push_back({true, OptionalText{false, name}});
        scenario->frontends.push_back({name, settings});
        scenario->fixtureUnits.push_back({name, path, identity});
    }
    scenario->deviceCount = (int32_t)scenario->deviceNames.size();
}

// --- The device ------------------------------------------------------------

void TodaysDate(int* day, int* month, int* year) {
#if defined(_WIN32)
    SYSTEMTIME now;
    GetLocalTime(&now);
    *day = now.wDay;
    *month = now.wMonth;
    *year = now.wYear;
#else
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    *day = local.tm_mday;
    *month = local.tm_mon + 1;
    *year = local.tm_year + 1900;
#endif
}

const char* TransportName(int32_t transport) {
    switch (transport) {
    case TRANSPORT_BLUETOOTH:
        return "BT";
    case TRANSPORT_USB:
        return "USB";
    case TRANSPORT_WLAN:
        return "WLAN";
    case TRANSPORT_NETWORK:
        return "NET";
    default:
        return "UNKNOWN";
    }
}

// The bytes of the image that ride along in every chunk.
bool IsHeaderByte(size_t offset) {
    return offset < FIRMWARE_CHUNK_LENGTH ||
           (offset >= FIRMWARE_CHUNK_LENGTH + 4 && offset < FIRMWARE_CHUNK_COUNT) ||
           (offset >= FIRMWARE_CHUNK_PART + 2 && offset < FIRMWARE_CHUNK_DATA);
}

// Checks one chunk the way a frontend would; 0 or the refusal's code.
SdkBool TakeChunk(uint32_t accessCode, const uint8_t* chunk) {
    Device& d = TheDevice;
    uint32_t length = ReadU32(chunk, FIRMWARE_CHUNK_LENGTH);
    uint16_t count = ReadU16(chunk, FIRMWARE_CHUNK_COUNT);
    uint16_t part = ReadU16(chunk, FIRMWARE_CHUNK_PART);
    if (d.scenario.checks) {
        int day, month, year;
        TodaysDate(&day, &month, &year);
        uint32_t expected = d.scenario.expectAccessCode >= 0 ? (uint32_t)d.scenario.expectAccessCode
                                                             : FlashAccessCodeFor(day, month, year);
        if (accessCode != expected) {
            return Fail(SIM_ERROR_ACCESS_CODE, "Access code 0x%X refused", accessCode);
        }
        if (d.complete) {
            return Fail(SIM_ERROR_TRANSFER_OVER, "Part %u after the last part", part);
        }
        if (part != d.nextPart) {
            return Fail(SIM_ERROR_PART_NUMBER, "PartNumber %u out of order, expected %u", part,
                        d.nextPart);
        }
        if (part == 0) {
            memcpy(d.firstChunk, chunk, FIRMWARE_CHUNK_SIZE);
            d.chunkCount = count;
        }
        if (count == 0 || count != d.chunkCount) {
            return Fail(SIM_ERROR_CHUNK_COUNT, "ChunkCount %u differs from %u of part 0", count,
                        d.chunkCount);
        }
        if (part >= count) {
            return Fail(SIM_ERROR_PART_NUMBER, "PartNumber %u beyond ChunkCount %u", part, count);
        }
        bool last = part + 1u == count;
        if (length < 1 || length > FIRMWARE_CHUNK_DATA_MAX ||
            (!last && length != FIRMWARE_CHUNK_DATA_MAX)) {
            return Fail(SIM_ERROR_CHUNK_LENGTH, "ChunkLength %u not allowed in part %u of %u",
                        length, part, count);
        }
        for (size_t i = 0; i < FIRMWARE_CHUNK_DATA; i++) {
            if (IsHeaderByte(i) && chunk[i] != d.firstChunk[i]) {
                return Fail(SIM_ERROR_HEADER_BYTES, "Header byte %u in part %u differs from part 0",
                            (unsigned)i, part);
            }
        }
        d.complete = last;
    } else {
        if (part == 0) {
            memcpy(d.firstChunk, chunk, FIRMWARE_CHUNK_SIZE);
        }
        d.complete = part + 1u == count;
    }
    if (length > FIRMWARE_CHUNK_DATA_MAX) {
        length = FIRMWARE_CHUNK_DATA_MAX; // never read past the record
    }
    if (d.receivedPath != nullptr) {
        d.received.insert(d.received.end(), chunk + FIRMWARE_CHUNK_DATA,
                          chunk + FIRMWARE_CHUNK_DATA + length);
    }
    d.nextPart = part + 1u;
    return Succeed();
}

// What a status query reports: before the transfer, the scenario's status;
// after it, the scenario's list or the verdict on what was received.
void FillStatus(uint8_t* status) {
    Device& d = TheDevice;
    memset(status, 0, FIRMWARE_STATUS_SIZE);
    uint16_t version = d.scenario.swVersion;
    uint16_t code = d.scenario.statusBefore;
    bool transferred = d.nextPart > 0 || d.refused;
    if (transferred) {
        size_t poll = d.pollsAfterTransfer++;
        const std::vector<uint16_t>& list = d.scenario.pollStatuses;
        if (!list.empty()) {
            code = list[poll < list.size() ? poll : list.size() - 1];
        } else {
            code = d.complete && !d.refused ? (uint16_t)FIRMWARE_STATUS_PROGRAMMING_DONE
                                            : (uint16_t)SIM_STATUS_CRC_ERROR;
        }
        version = d.scenario.pollVersion >= 0 ? (uint16_t)d.scenario.pollVersion
                                              : ReadU16(d.firstChunk, FIRMWARE_HEADER_VERSION);
    }
    WriteU16(status, FIRMWARE_STATUS_VERSION, version);
    WriteU16(status, FIRMWARE_STATUS_CODE, code);
    const char* name = d.openedIndex >= 0 ? d.openedName.c_str() : nullptr;
    if (transferred && code == FIRMWARE_STATUS_PROGRAMMING_DONE && name != nullptr &&
        !d.notedFlashed) {
        d.notedFlashed = true;
        NoteFlashed({name, UnitOf(name), version, WallMs(), d.scenario.rebootSeconds,
                     d.scenario.listedWhileRebooting, d.scenario.listedAfterReboot,
                     d.scenario.serialAfterReboot});
    }
}

void WriteReceived() {
    const std::vector<uint8_t>& received = TheDevice.received;
    std::string path = TheDevice.receivedPath ? TheDevice.receivedPath : "";
    size_t star = path.find('*');
    if (star != std::string::npos && TheDevice.openedIndex < 0) {
        return; // a session that opened none (a station's listing)
    }
    if (star != std::string::npos) {
        path.replace(star, 1, std::to_string(TheDevice.openedIndex));
    }
    FILE* file = !path.empty() ? fopen(path.c_str(), "wb") : nullptr;
    if (file != nullptr) {
        if (!received.empty()) {
            fwrite(received.data(), 1, received.size(), file);
        }
        fclose(file);
    }
}

// Whether the process still holds the firmware image open: a tool should
// have closed it before it ends the session.
const char* FirmwareStillOpen() {
#if defined(_WIN32)
    // The C library opens files shared; an exclusive open fails while it is.
    HANDLE file = CreateFileA("kovi_firmware.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION ? "yes" : "no";
    }
    CloseHandle(file);
    return "no";
#else
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return "unknown";
    }
    bool open = false;
    while (struct dirent* entry = readdir(fds)) {
        char link[300], target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%s", entry->d_name);
        ssize_t length = readlink(link, target, sizeof target - 1);
        if (length > 0) {
            target[length] = '\0';
            const char* name = strrchr(target, '/');
            open = open || (name != nullptr && strcmp(name, "/kovi_firmware.bin") == 0);
        }
    }
    closedir(fds);
    return open ? "yes" : "no";
#endif
}

void FreeList() {
    Device& d = TheDevice;
    if (d.deviceList != nullptr) {
        for (int32_t i = 0; i < d.deviceListCount; i++) {
            free(d.deviceList[i]);
        }
        free(d.deviceList);
        d.deviceList = nullptr;
        d.deviceListCount = 0;
    }
}

} // namespace

// --- Entry points ----------------------------------------------------------

// What a library that wants Ctrl-C for itself does: Ctrl-C ignored (as
// AllocConsole or FreeConsole leave it) on Windows, the default action for
// SIGINT elsewhere.
static void TakeStop() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(nullptr, TRUE);
#else
    signal(SIGINT, SIG_DFL);
#endif
}

// A process of the library's own, as a maker's library may start one (a
// daemon, an updater): it keeps every descriptor the program had, its
// standard output too, for as long as the program's parent is there.
static void StartHelper() {
#if !defined(_WIN32)
    pid_t parent = getppid();
    if (fork() == 0) {
        // Seconds of real time, whatever clock a test fakes.
        struct timespec second = {1, 0};
        for (int waited = 0; waited < 120 && kill(parent, 0) == 0; waited++) {
            syscall(SYS_nanosleep, &second, nullptr);
        }
        _exit(0);
    }
#endif
}

#ifndef SIM_WITHOUT_LibraryInit
KOVI_EXPORT SdkHandle SIM_CALL LibraryInit(int32_t transport, int32_t* error) {
    Device& d = TheDevice;
    if (d.trace == nullptr) {
        const char* tracePath = getenv("KOVI_SIM_TRACE");
        if (tracePath != nullptr && tracePath[0] != '\0') {
            d.trace = fopen(tracePath, "ab");
        }
    }
    Trace("LibraryInit(transport=%d)", (int)transport);
#ifdef SIM_WITH_SUPPORT_LIBRARY
    if (KoviSupportVersion() != 1) {
        *error = SIM_ERROR_SCENARIO;
        return SDK_INVALID_HANDLE;
    }
#endif
    bool loaded = LoadScenario(&d.scenario);
    memset(d.calls, 0, sizeof d.calls);
    d.transport = transport;
    d.connected = false;
    d.openedIndex = -1;
    d.nextPart = 0;
    d.chunkCount = 0;
    d.refused = false;
    d.complete = false;
    d.received.clear();
    d.receivedPath = getenv("KOVI_SIM_RECEIVED");
    if (d.receivedPath != nullptr && d.receivedPath[0] == '\0') {
        d.receivedPath = nullptr;
    }
    d.pollsAfterTransfer = 0;
    d.notedFlashed = false;
    if (FlashedFrontends.empty()) {
        LoadFlashed();
    }
    if (!loaded) {
        *error = SIM_ERROR_SCENARIO;
        return SDK_INVALID_HANDLE;
    }
    if (InjectedFailure(ENTRY_LIBRARY_INIT)) {
        *error = d.scenario.errorCode;
        return SDK_INVALID_HANDLE;
    }
    if (d.scenario.initError != 0) {
        *error = d.scenario.initError;
    }
    if (d.scenario.initTakesStop) {
        TakeStop();
    }
    if (d.scenario.initInvalidHandle) {
        return SDK_INVALID_HANDLE;
    }
    d.initialised = true;
    return &TheDevice;
}
#endif

#ifndef SIM_WITHOUT_GetRevision
KOVI_EXPORT const char* SIM_CALL GetRevision(SdkHandle handle) {
    Trace("GetRevision()");
    if (InjectedFailure(ENTRY_GET_REVISION) || !ValidHandle(handle)) {
        return nullptr;
    }
    return TheDevice.scenario.revision.get();
}
#endif

#ifndef SIM_WITHOUT_GetDeviceList
KOVI_EXPORT char** SIM_CALL GetDeviceList(SdkHandle handle, int32_t* count) {
    Trace("GetDeviceList()");
    Device& d = TheDevice;
    if (InjectedFailure(ENTRY_GET_DEVICE_LIST)) {
        *count = 0;
        return nullptr;
    }
    if (!ValidHandle(handle)) {
        Fail(SIM_ERROR_INVALID_HANDLE, "Invalid handle");
        *count = 0;
        return nullptr;
    }
    FreeList();
    ReadFixture(&d.scenario);
    *count = d.scenario.deviceCount;
    if (d.scenario.deviceCount <= 0) {
        Fail(0x13, "No frontend found");
    }
    if (!d.scenario.deviceListPresent || d.scenario.deviceCount <= 0) {
        return nullptr;
    }
    d.deviceListCount = 0;
    d.deviceList = static_cast<char**>(calloc((size_t)d.scenario.deviceCount, sizeof(char*)));
    d.listedDevice.assign((size_t)d.scenario.deviceCount, 0);
    for (int32_t i = 0; i < d.scenario.deviceCount; i++) {
        const auto& names = d.scenario.deviceNames;
        char made[32];
        snprintf(made, sizeof made, "%s:KOVI-%d", TransportName(d.transport), i);
        bool own = (size_t)i < names.size() && names[i].first;
        const char* name = own ? names[i].second.get() : made;
        if (Listed(name)) { // a frontend that reboots is not there
            d.listedDevice[d.deviceListCount] = i;
            d.deviceList[d.deviceListCount++] = name != nullptr ? strdup(name) : nullptr;
        }
    }
    *count = d.deviceListCount;
    if (d.deviceListCount == 0) {
        Fail(0x13, "No frontend found");
        FreeList();
        return nullptr;
    }
    return d.deviceList;
}
#endif

#ifndef SIM_WITHOUT_FreeDeviceList
KOVI_EXPORT void SIM_CALL FreeDeviceList(SdkHandle handle, int32_t count, char** list) {
    Device& d = TheDevice;
    bool ours = list != nullptr && list == d.deviceList && count == d.deviceListCount;
    Trace("FreeDeviceList(count=%d, list=%s)", (int)count, ours ? "ours" : "foreign");
    InjectedFailure(ENTRY_FREE_DEVICE_LIST);
    if (ours && ValidHandle(handle)) {
        FreeList();
    }
}
#endif

#ifndef SIM_WITHOUT_Open
KOVI_EXPORT SdkBool SIM_CALL Open(SdkHandle handle, const char* device) {
    Device& d = TheDevice;
    Trace("Open(device=%s)", device ? device : "(null)");
    OpensSoFar++;
    if (InjectedFailure(ENTRY_OPEN)) {
        return 0;
    }
    if (!ValidHandle(handle)) {
        return Fail(SIM_ERROR_INVALID_HANDLE, "Invalid handle");
    }
    bool known = false;
    for (int32_t i = 0; device != nullptr && i < d.deviceListCount; i++) {
        known = known || (d.deviceList[i] != nullptr && strcmp(d.deviceList[i], device) == 0);
    }
    if (!known) {
        return Fail(SIM_ERROR_UNKNOWN_DEVICE, "No frontend named %s", device ? device : "(null)");
    }
    for (int32_t i = 0; i < d.deviceListCount; i++) {
        if (d.deviceList[i] != nullptr && strcmp(d.deviceList[i], device) == 0) {
            d.openedIndex = i;
            d.openedDevice = d.listedDevice[(size_t)i];
            d.openedName = device;
            break;
        }
    }
    for (const auto& frontend : d.scenario.frontends) {
        if (frontend.first == device) {
            std::string why;
            for (const auto& setting : frontend.second) {
                ApplySetting(&d.scenario, setting.first, setting.second, &why);
            }
        }
    }
    if (d.scenario.helperProcess) {
        StartHelper();
    }
    d.connected = true;
    return Succeed();
}
#endif

#ifndef SIM_WITHOUT_GetFrontEndInfo
KOVI_EXPORT SdkBool SIM_CALL GetFrontEndInfo(SdkHandle handle, uint8_t* info) {
    Device& d = TheDevice;
    Trace("GetFrontEndInfo()");
    if (InjectedFailure(ENTRY_GET_FRONTEND_INFO)) {
        return 0;
    }
    if (!ValidHandle(handle)) {
        return Fail(SIM_ERROR_INVALID_HANDLE, "Invalid handle");
    }
    if (!d.connected) {
        return Fail(SIM_ERROR_NOT_CONNECTED, "Not connected");
    }
    if (Pulled()) {
        return Fail(SIM_ERROR_REMOVED, "Frontend removed");
    }
    memset(info, 0, FRONTEND_INFO_SIZE);
    bool rebooted = false;
    const Flashed* flashed =
        FlashedState(d.openedIndex >= 0 ? d.openedName.c_str() : nullptr, &rebooted);
    int32_t serial = rebooted && flashed->serialAfterReboot >= 0
                         ? (int32_t)(uint32_t)flashed->serialAfterReboot
                     : d.scenario.serialSet ? d.scenario.serial
                                            : 1234567 + d.openedDevice;
    WriteU32(info, FRONTEND_INFO_SERIAL, (uint32_t)serial);
    WriteU16(info, FRONTEND_INFO_HW_VERSION, d.scenario.hwVersion);
    WriteU16(info, FRONTEND_INFO_SW_VERSION, rebooted ? flashed->version : d.scenario.swVersion);
    return Succeed();
}
#endif

#ifndef SIM_WITHOUT_KoviGetFirmwareStatus
KOVI_EXPORT SdkBool SIM_CALL KoviGetFirmwareStatus(SdkHandle handle, uint8_t* status) {
    Trace("KoviGetFirmwareStatus()");
    if (InjectedFailure(ENTRY_GET_FIRMWARE_STATUS)) {
        return 0;
    }
    if (!ValidHandle(handle)) {
        return Fail(SIM_ERROR_INVALID_HANDLE, "Invalid handle");
    }
    if (!TheDevice.connected) {
        return Fail(SIM_ERROR_NOT_CONNECTED, "Not connected");
    }
    if (Pulled()) {
        return Fail(SIM_ERROR_REMOVED, "Frontend removed");
    }
    FillStatus(status);
    return Succeed();
}
#endif

#ifndef SIM_WITHOUT_KoviKestrune
// What cp or dd conv=notrunc does to an image mid-flash: the same size,
// every byte behind the header changed, in place.
static void RewriteImageInPlace() {
    FILE* file = fopen("kovi_firmware.bin", "r+b");
    if (file == nullptr) {
        return;
    }
    std::vector<uint8_t> bytes;
    int c;
    while ((c = fgetc(file)) != EOF) {
        bytes.push_back((uint8_t)c);
    }
    for (size_t i = FIRMWARE_HEADER_SIZE; i < bytes.size(); i++) {
        bytes[i] ^= 0x5A;
    }
    rewind(file);
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

KOVI_EXPORT SdkBool SIM_CALL KoviKestrune(SdkHandle handle, uint32_t accessCode, uint8_t* chunk) {
    Device& d = TheDevice;
    Trace("KoviKestrune(code=0x%X, part=%u, length=%u, count=%u)", accessCode,
          ReadU16(chunk, FIRMWARE_CHUNK_PART), ReadU32(chunk, FIRMWARE_CHUNK_LENGTH),
          ReadU16(chunk, FIRMWARE_CHUNK_COUNT));
    SdkBool result;
    if (InjectedFailure(ENTRY_KESTRUNE)) {
        result = 0;
    } else if (!ValidHandle(handle)) {
        result = Fail(SIM_ERROR_INVALID_HANDLE, "Invalid handle");
    } else if (!d.connected) {
        result = Fail(SIM_ERROR_NOT_CONNECTED, "Not connected");
    } else if (Pulled()) {
        result = Fail(SIM_ERROR_REMOVED, "Frontend removed");
    } else {
        result = TakeChunk(accessCode, chunk);
    }
    if (!result) {
        d.refused = true;
        d.complete = false;
    } else if (d.calls[ENTRY_KESTRUNE] == d.scenario.rewriteImageAfter) {
        RewriteImageInPlace();
    }
    return result;
}
#endif

#ifndef SIM_WITHOUT_GetErrorCode
KOVI_EXPORT int32_t SIM_CALL GetErrorCode(SdkHandle handle) {
    Trace("GetErrorCode()");
    InjectedFailure(ENTRY_GET_ERROR_CODE);
    (void)handle; // answers even for a bad handle: that is what went wrong
    return TheDevice.lastErrorCode;
}
#endif

#ifndef SIM_WITHOUT_GetErrorCodeMessage
KOVI_EXPORT const char* SIM_CALL GetErrorCodeMessage(SdkHandle handle, int32_t code) {
    Trace("GetErrorCodeMessage(code=%d)", (int)code);
    (void)handle;
    if (InjectedFailure(ENTRY_GET_ERROR_CODE_MESSAGE)) {
        return nullptr;
    }
    if (code == TheDevice.lastErrorCode) {
        return TheDevice.lastErrorText.get();
    }
    return "Unknown error code";
}
#endif

#ifndef SIM_WITHOUT_Close
KOVI_EXPORT SdkBool SIM_CALL Close(SdkHandle handle) {
    Trace("Close()");
    if (InjectedFailure(ENTRY_CLOSE)) {
        return 0;
    }
    if (!ValidHandle(handle)) {
        return Fail(SIM_ERROR_INVALID_HANDLE, "Invalid handle");
    }
    if (!TheDevice.connected) {
        return Fail(SIM_ERROR_NOT_CONNECTED, "Not connected");
    }
    TheDevice.connected = false;
    return Succeed();
}
#endif

#ifndef SIM_WITHOUT_LibraryExit
KOVI_EXPORT void SIM_CALL LibraryExit(SdkHandle handle) {
    Device& d = TheDevice;
    Trace("LibraryExit(firmware_open=%s)", FirmwareStillOpen());
    InjectedFailure(ENTRY_LIBRARY_EXIT);
    if (d.scenario.stdoutText.get() != nullptr) {
        fputs(d.scenario.stdoutText.get(), stdout); // buffered, as a library's printf is
    }
    if (!ValidHandle(handle)) {
        return;
    }
    if (d.nextPart > 0 || !d.received.empty()) { // a look of --verify receives nothing
        WriteReceived();
    }
    FreeList();
    d.initialised = false;
    d.connected = false;
    if (d.trace != nullptr) {
        fclose(d.trace);
        d.trace = nullptr;
    }
}
#endif
