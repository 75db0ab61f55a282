#include "session/unit_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// What a look reported, in order: "+NAME" arrived, "-NAME" left.
static std::vector<std::string> Look(UnitTable* table, std::vector<const char*> names) {
    std::vector<std::string> changes;
    UnitsTakeLook(
        table, const_cast<char**>(names.data()), (int32_t)names.size(),
        [](void* context, bool arrived, Unit*, const char* name) {
            static_cast<std::vector<std::string>*>(context)->push_back((arrived ? "+" : "-") +
                                                                       std::string(name));
        },
        &changes);
    return changes;
}

static void End(UnitTable* table, const char* name, Outcome outcome,
                const WatchLimits* limits = nullptr) {
    for (int32_t i = table->count - 1; i >= 0; i--) {
        Unit* unit = &table->units[i];
        if (std::string(unit->name) == name && unit->state != UNIT_ENDED) {
            unit->state = UNIT_ENDED;
            unit->outcome = outcome;
            UnitCount(table, *unit, limits);
            return;
        }
    }
    FAIL() << name << " has no unit to end";
}

// A look reports each frontend that arrived and each that left, once. A
// name is a slot: a frontend that leaves while its unit is flashed has
// left, and what comes back is a new unit, which waits for the old one's
// worker; one that leaves while its unit reboots is its unit's affair.
TEST(UnitTable, ALookReportsArrivalsAndDepartures) {
    UnitTable table;
    ASSERT_TRUE(UnitsBegin(&table, nullptr, 0));
    EXPECT_EQ(Look(&table, {"A", "B", "A"}), (std::vector<std::string>{"+A", "+B"}));
    EXPECT_EQ(Look(&table, {"A", "B"}), std::vector<std::string>{});
    table.units[0].state = UNIT_WORKING;
    End(&table, "B", OUTCOME_FAILED);
    EXPECT_EQ(Look(&table, {"C"}), (std::vector<std::string>{"-A", "-B", "+C"}));
    EXPECT_TRUE(table.units[0].left);
    EXPECT_EQ(Look(&table, {"A", "C"}), (std::vector<std::string>{"+A"})); // another unit
    ASSERT_EQ(table.count, 4);
    EXPECT_EQ(table.units[3].number, 4);
    EXPECT_FALSE(UnitMayStart(table, table.units[3])); // the old unit's worker runs
    EXPECT_TRUE(UnitMayStart(table, table.units[2]));
    table.units[0].state = UNIT_ENDED;
    EXPECT_TRUE(UnitMayStart(table, table.units[3]));

    table.units[2].state = UNIT_REBOOTING; // C: programming done
    EXPECT_EQ(Look(&table, {"A"}), std::vector<std::string>{});
    EXPECT_EQ(Look(&table, {"A", "C"}), std::vector<std::string>{}); // back after its reboot
    EXPECT_EQ(Look(&table, {"A"}), std::vector<std::string>{});      // away again
    table.units[2].state = UNIT_ENDED;                               // never came back
    EXPECT_EQ(Look(&table, {"A"}), std::vector<std::string>{"-C"});
    UnitsEnd(&table);
}

// The table never holds more than the fixture: an ended unit stays while
// its frontend is in the fixture or as an empty slot, until a newer unit
// takes its name or more slots are empty than the fixture ever held.
TEST(UnitTable, EndedUnitsAreForgottenBeyondTheFixture) {
    UnitTable table;
    ASSERT_TRUE(UnitsBegin(&table, nullptr, 0));
    Look(&table, {"A", "B"});
    End(&table, "A", OUTCOME_FLASHED);
    UnitsForget(&table);
    EXPECT_EQ(table.count, 2); // A is still in the fixture
    Look(&table, {"B"});
    End(&table, "B", OUTCOME_FAILED);
    Look(&table, {"C"});
    UnitsForget(&table);
    // A and B are empty slots; two slots, and C's unit waits.
    EXPECT_EQ(table.count, 3);
    Look(&table, {"C", "A"}); // a new unit under A's name
    UnitsForget(&table);
    ASSERT_EQ(table.count, 3);
    EXPECT_STREQ(table.units[0].name, "B");
    EXPECT_EQ(table.units[2].number, 4);
    UnitsEnd(&table);
}

// --count counts flashed units (and starts no worker once those working
// could reach it), --max-failures set-aside ones in a row;
// a unit gone or current counts as neither, and resets nothing.
TEST(UnitTable, WatchLimitsCountUnitsAsTheyEnd) {
    UnitTable table;
    ASSERT_TRUE(UnitsBegin(&table, nullptr, 0));
    WatchLimits limits = {2, 2};
    Look(&table, {"A", "B", "C", "D", "E"});
    End(&table, "A", OUTCOME_FAILED, &limits);
    End(&table, "B", OUTCOME_GONE, &limits);
    End(&table, "C", OUTCOME_VERIFIED, &limits);
    End(&table, "D", OUTCOME_REFUSED, &limits);
    EXPECT_EQ(table.ended, WATCH_GOES_ON);
    End(&table, "E", OUTCOME_UNVERIFIED, &limits);
    EXPECT_EQ(table.ended, WATCH_MAX_FAILURES);
    EXPECT_EQ(table.counts[OUTCOME_GONE], 1);
    EXPECT_FALSE(table.allDone);
    UnitsEnd(&table);

    ASSERT_TRUE(UnitsBegin(&table, nullptr, 0));
    Look(&table, {"A", "B", "C"});
    EXPECT_FALSE(UnitsCouldReachCount(table, limits, 1));
    EXPECT_TRUE(UnitsCouldReachCount(table, limits, 2)); // a third waits: two could do
    End(&table, "A", OUTCOME_FLASHED, &limits);
    EXPECT_TRUE(UnitsCouldReachCount(table, limits, 1));
    End(&table, "B", OUTCOME_CURRENT, &limits);
    End(&table, "C", OUTCOME_VERIFIED, &limits);
    EXPECT_EQ(table.ended, WATCH_COUNT);
    EXPECT_TRUE(table.allDone);
    EXPECT_EQ(UnitsExitStatus(table, true, false), 0);
    UnitsEnd(&table);
}

// A worker's log: the station's log name with -K before its extension, and
// with --watch the worker's start before K.
TEST(UnitTable, WorkerLogNames) {
    char name[64];
    ASSERT_TRUE(UnitLogName("logs/kovi_kestrune.log", nullptr, 3, name, sizeof name));
    EXPECT_STREQ(name, "logs/kovi_kestrune-3.log");
    ASSERT_TRUE(UnitLogName("a.b\\station", nullptr, 1, name, sizeof name));
    EXPECT_STREQ(name, "a.b\\station-1");
    ASSERT_TRUE(UnitLogName(".log", nullptr, 2, name, sizeof name));
    EXPECT_STREQ(name, ".log-2");
    ASSERT_TRUE(UnitLogName("w.log", "2026-12-09T10:15:02+01:00", 17, name, sizeof name));
    EXPECT_STREQ(name, "w-20261209-101502-17.log");
    EXPECT_FALSE(UnitLogName("kovi_kestrune.log", nullptr, 1, name, 12));
}
