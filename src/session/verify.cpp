#include "session/verify.h"

#include <cstring>

#include "flash/phases.h"
#include "output/json.h"
#include "output/log_line.h"
#include "output/shown_text.h"
#include "platform/platform.h"
#include "sdk/listing.h"
#include "sdk/sdk_binding.h"

static const char* const Tag = "main";

enum { LOOK_EVERY_MS = 5000 };

// What one look found under the name.
struct Sight {
    enum { NOT_LISTED, VERSION, OTHER_UNIT } seen;
    int32_t serial;
    uint16_t swVersion;
};

// One short session: the list, and the frontend of that name if it is
// there. A look that fails anywhere is what a rebooting frontend gives: it
// is logged nowhere.
static Sight Look(const VerifyPlan& plan) {
    Sight sight = {Sight::NOT_LISTED, 0, 0};
    SdkListing listing;
    if (!SdkListingBegin(plan.transportCode, &listing) && listing.handle == SDK_INVALID_HANDLE) {
        return sight;
    }
    bool listed = listing.errorWord == 0 && SdkListingList(&listing);
    const char* name = nullptr;
    for (int32_t i = 0; listed && i < listing.count && name == nullptr; i++) {
        const char* listedName = listing.names[i];
        name = listedName != nullptr && strcmp(listedName, plan.name) == 0 ? listedName : nullptr;
    }
    uint8_t info[FRONTEND_INFO_SIZE] = {};
    if (name != nullptr && Sdk.fpOpen(listing.handle, name)) {
        if (Sdk.fpGetFrontEndInfo(listing.handle, info)) {
            sight.serial = ReadI32(info, FRONTEND_INFO_SERIAL);
            sight.swVersion = ReadU16(info, FRONTEND_INFO_SW_VERSION);
            sight.seen = sight.serial == plan.serial ? Sight::VERSION : Sight::OTHER_UNIT;
        }
        Sdk.fpClose(listing.handle);
    }
    SdkListingEnd(&listing);
    return sight;
}

static void Conclude(const VerifyPlan& plan, const Sight& last, RunRecord* record) {
    if (last.seen == Sight::VERSION && last.swVersion == plan.firmwareVer) {
        record->verdict = RunRecord::VERIFIED;
        LogFormat(Tag, "Frontend serial %d runs firmware version %d: verified", plan.serial,
                  plan.firmwareVer);
        return;
    }
    char what[96];
    if (last.seen == Sight::VERSION) {
        snprintf(what, sizeof what, "it runs version %d", last.swVersion);
    } else if (last.seen == Sight::OTHER_UNIT) {
        snprintf(what, sizeof what, "another unit, serial %d, is listed under its name",
                 last.serial);
    } else {
        snprintf(what, sizeof what, "it was not listed");
    }
    record->verdict = RunRecord::UNVERIFIED;
    record->flashResult = FLASH_UNVERIFIED;
    record->verdictWhy =
        LogFailure(Tag, "Frontend serial %d did not run firmware version %d within %d minutes, %s",
                   plan.serial, plan.firmwareVer, plan.minutes, what);
}

void VerifyFlash(const VerifyPlan& plan, RunRecord* record) {
    LogFormat(Tag, "Waiting up to %d minutes for frontend [%s] to run firmware version %d",
              plan.minutes, ShownText(plan.name), plan.firmwareVer);
    record->verifyAsked = true;
    uint64_t deadline = PlatformMilliseconds() + (uint64_t)plan.minutes * 60000;
    static const char* const seenWords[] = {"not listed", "version", "other unit"};
    for (;;) {
        Sight sight = Look(plan);
        bool version = sight.seen == Sight::VERSION;
        record->haveVerifiedVersion = record->haveVerifiedVersion || version;
        record->verifiedVersion = version ? sight.swVersion : record->verifiedVersion;
        uint64_t now = PlatformMilliseconds();
        bool done = (version && sight.swVersion == plan.firmwareVer) || now >= deadline;
        if (!done && !PlatformStopRequested()) {
            JsonVerify((long long)((deadline - now) / 1000), seenWords[sight.seen], version,
                       sight.swVersion);
            PlatformSleep(LOOK_EVERY_MS);
        }
        if (PlatformStopRequested()) {
            // The flash is done, but nothing proves it took: never a good unit.
            record->verdict = RunRecord::UNPROVEN;
            record->verdictWhy =
                LogFailureLine(Tag, "Stopped by the operator before the frontend was verified");
            return;
        }
        if (done) {
            Conclude(plan, sight, record);
            return;
        }
    }
}
