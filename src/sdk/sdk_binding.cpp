#include "sdk/sdk_binding.h"

#include "platform/platform.h"

SdkBinding Sdk;
void* SdkLibrary;

template <typename Fn> static void Resolve(Fn* slot, const char* name) {
    *slot = reinterpret_cast<Fn>(PlatformFindSymbol(SdkLibrary, name));
}

const char* BindSdk() {
    Resolve(&Sdk.fpOpen, "Open");
    Resolve(&Sdk.fpClose, "Close");
    Resolve(&Sdk.fpLibraryInit, "LibraryInit");
    Resolve(&Sdk.fpLibraryExit, "LibraryExit");
    Resolve(&Sdk.fpGetFrontEndInfo, "GetFrontEndInfo");
    Resolve(&Sdk.fpGetErrorCode, "GetErrorCode");
    Resolve(&Sdk.fpGetErrorCodeMessage, "GetErrorCodeMessage");
    Resolve(&Sdk.fpGetDeviceList, "GetDeviceList");
    Resolve(&Sdk.fpFreeDeviceList, "FreeDeviceList");
    Resolve(&Sdk.fpKoviGetFirmwareStatus, "KoviGetFirmwareStatus");
    Resolve(&Sdk.fpKoviKestrune, "KoviKestrune");
    Resolve(&Sdk.fpGetRevision, "GetRevision");
    PlatformAdaptSdkCalls(&Sdk);

    // The flash entries and the revision are reported first, as operators
    // know these messages; the rest follow in the order they were resolved.
    const struct {
        const char* name;
        bool present;
    } entries[] = {
        {"KoviGetFirmwareStatus", Sdk.fpKoviGetFirmwareStatus != nullptr},
        {"KoviKestrune", Sdk.fpKoviKestrune != nullptr},
        {"GetRevision", Sdk.fpGetRevision != nullptr},
        {"Open", Sdk.fpOpen != nullptr},
        {"Close", Sdk.fpClose != nullptr},
        {"LibraryInit", Sdk.fpLibraryInit != nullptr},
        {"LibraryExit", Sdk.fpLibraryExit != nullptr},
        {"GetFrontEndInfo", Sdk.fpGetFrontEndInfo != nullptr},
        {"GetErrorCode", Sdk.fpGetErrorCode != nullptr},
        {"GetErrorCodeMessage", Sdk.fpGetErrorCodeMessage != nullptr},
        {"GetDeviceList", Sdk.fpGetDeviceList != nullptr},
        {"FreeDeviceList", Sdk.fpFreeDeviceList != nullptr},
    };
    for (const auto& entry : entries) {
        if (!entry.present) {
            return entry.name;
        }
    }
    return nullptr;
}

const char* SdkText(const char* text) {
    return text ? text : "(null)";
}

SdkError SdkLastError(SdkHandle handle) {
    SdkError error;
    error.code = Sdk.fpGetErrorCode(handle);
    error.text = SdkText(Sdk.fpGetErrorCodeMessage(handle, error.code));
    return error;
}
