#include "session/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sdk/kovi_sdk.h"

TEST(Transport, ChosenByTheFirstLowerCaseLetterAlone) {
    EXPECT_EQ(TransportFor("w")->code, TRANSPORT_WLAN);
    EXPECT_EQ(TransportFor("usb")->code, TRANSPORT_USB);
    EXPECT_EQ(TransportFor("bogus")->code, TRANSPORT_BLUETOOTH);
    EXPECT_EQ(TransportFor("nope")->code, TRANSPORT_NETWORK);
    EXPECT_STREQ(TransportFor("wired")->message, "Use WLAN");
    EXPECT_STREQ(TransportFor("n")->message, "Use network");
}

TEST(Transport, AnythingElseSelectsNothing) {
    EXPECT_EQ(TransportFor("W"), nullptr);
    EXPECT_EQ(TransportFor("U"), nullptr);
    EXPECT_EQ(TransportFor("x"), nullptr);
    EXPECT_EQ(TransportFor(""), nullptr);
    EXPECT_EQ(TransportFor(" u"), nullptr);
}

TEST(WaitTime, ReadLikeAtoi) {
    const struct {
        const char* text;
        uint32_t expected;
    } cases[] = {
        {"250", 250},
        {"  42", 42},
        {"\t7ms", 7},
        {"+15", 15},
        {"abc", 0},
        {"", 0},
        {"-0", 0},
        {"-", 0},
        {"0x10", 0},
        {"007", 7},
        {"4294967295", 4294967295u},
        {"00000000000000000000001", 1},
    };
    for (const auto& c : cases) {
        uint32_t waitTime = 12345;
        EXPECT_TRUE(ParseWaitTime(c.text, &waitTime)) << c.text;
        EXPECT_EQ(waitTime, c.expected) << c.text;
    }
}

TEST(WaitTime, NegativeOrBeyond32BitsIsRefused) {
    const char* refused[] = {"-1", " -100", "4294967296", "99999999999999999999999", "-5abc"};
    for (const char* text : refused) {
        uint32_t waitTime = 12345;
        EXPECT_FALSE(ParseWaitTime(text, &waitTime)) << text;
        EXPECT_EQ(waitTime, 12345u) << text;
    }
}

// Every option says what it does in a station, so that a new one can never
// be dropped on the way to the workers again; --help lists no option the
// table lacks.
TEST(OptionTable, EveryOptionHasAStationRole) {
    ForEachOptionName(
        [](const char* name, void*) { EXPECT_NE(StationRoleOf(name), ROLE_MISSING) << name; },
        nullptr);
    for (const char* at = strstr(OptionsHelp, "  --"); at != nullptr;
         at = strstr(at + 1, "\n  --")) {
        const char* start = strstr(at, "--");
        std::string name(start, strcspn(start, " \r"));
        EXPECT_NE(StationRoleOf(name.c_str()), ROLE_MISSING) << name;
    }
}

TEST(OptionTable, WorkersGetEveryOptionPassedOnAsGiven) {
    const char* argv[] = {
        "Kestrune", "--all",  "--exit-status",  "--history", "h.csv", "--allow-older",
        "--image",  "-x.bin", "--skip-current", "--verify",  "5",     "--retries",
        "2",        "--key",  "k.pub",          "--station", "s-3",   "--publish",
        "cat",      "u"};
    Options options;
    char problem[256];
    ASSERT_TRUE(ParseOptions(20, const_cast<char**>(argv), &options, problem, sizeof problem));
    ResolveFiles(&options, 20, const_cast<char**>(argv),
                 [](int, char** args, int index) -> const char* { return args[index]; });
    const char* arguments[WORKER_OPTIONS_MAX];
    char numbers[WORKER_OPTIONS_MAX][NUMBER_TEXT_MAX];
    size_t count = WorkerOptions(options, arguments, numbers);
    std::string passed;
    for (size_t i = 0; i < count; i++) {
        passed += std::string(arguments[i]) + " ";
    }
    EXPECT_EQ(passed, "--exit-status --history h.csv --allow-older --image -x.bin --key k.pub "
                      "--skip-current --verify 5 --retries 2 --station s-3 ");
    ForEachOptionName(
        [](const char* name, void* context) {
            if (StationRoleOf(name) == PASSED_ON) {
                EXPECT_NE(static_cast<std::string*>(context)->find(name), std::string::npos)
                    << name << " is passed on but missing here: add it to this test";
            }
        },
        &passed);
}

// The value after --device, --image, --log and --history is the value,
// whatever it looks like; --all refuses what it cannot pass on.
TEST(OptionTable, ValuesAreTakenWhateverTheyLookLike) {
    const char* argv[] = {"Kestrune", "--device", "--", "--log", "--json", "u"};
    Options options;
    char problem[256];
    ASSERT_TRUE(ParseOptions(6, const_cast<char**>(argv), &options, problem, sizeof problem));
    EXPECT_STREQ(options.device, "--");
    EXPECT_STREQ(options.log.path, "--json");
    EXPECT_FALSE(options.json);
    EXPECT_STREQ(options.transport, "u");

    const char* station[] = {"Kestrune", "--all", "--expect-serial", "1", "u"};
    EXPECT_FALSE(ParseOptions(5, const_cast<char**>(station), &options, problem, sizeof problem));
    EXPECT_STREQ(problem, "Option --all does not go with --expect-serial");

    for (const char* limit : {"--count", "--max-failures"}) { // even with --all
        const char* unwatched[] = {"Kestrune", "--all", limit, "2", "u"};
        EXPECT_FALSE(
            ParseOptions(5, const_cast<char**>(unwatched), &options, problem, sizeof problem));
        EXPECT_EQ(std::string(problem), std::string("Option ") + limit + " goes only with --watch");
    }

    for (const char* minutes : {"0", "61", "x"}) {
        const char* verify[] = {"Kestrune", "--verify", minutes, "u"};
        EXPECT_FALSE(
            ParseOptions(4, const_cast<char**>(verify), &options, problem, sizeof problem));
        EXPECT_STREQ(problem, "Option --verify needs a number of minutes from 1 to 60") << minutes;
    }
}
