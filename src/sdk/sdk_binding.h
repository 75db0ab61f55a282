// The SDK library loaded at run time, and its entry points.
#pragma once

#include "sdk/kovi_sdk.h"

// The SDK's entries, in the order a missing one is reported: the flash
// entries and the revision first, as operators know these messages. Every
// list of the entries is made from this one.
#define SDK_ENTRIES(X)                                                                             \
    X(KoviGetFirmwareStatus)                                                                       \
    X(KoviKestrune)                                                                                \
    X(GetRevision)                                                                                 \
    X(Open)                                                                                        \
    X(Close)                                                                                       \
    X(LibraryInit)                                                                                 \
    X(LibraryExit)                                                                                 \
    X(GetFrontEndInfo)                                                                             \
    X(GetErrorCode)                                                                                \
    X(GetErrorCodeMessage)                                                                         \
    X(GetDeviceList)                                                                               \
    X(FreeDeviceList)

// One pointer per entry: "fp" and the entry's name.
struct SdkBinding {
#define SDK_SLOT(name) name##Fn fp##name;
    SDK_ENTRIES(SDK_SLOT)
#undef SDK_SLOT
};

extern SdkBinding Sdk;

// Resolves every entry of the loaded library into Sdk. Returns null when all
// are there, otherwise the name of the first one missing, in the order in
// which they are reported.
const char* BindSdk(void* library);

// Makes the resolved entries callable the way the tool calls them. Where
// the SDK's calling convention cannot be known (32-bit Windows: __cdecl or
// __stdcall) each entry found is replaced by a stub that works with either.
void AdaptSdkCalls(SdkBinding* sdk, void* library);

// An SDK text as it is shown: "(null)" for none, control characters
// escaped (see ShownText). Never for what goes back to the SDK.
const char* SdkText(const char* text);

// The last error after a failed call: its code and the SDK's text for it.
struct SdkError {
    int32_t code;
    const char* text;
};
SdkError SdkLastError(SdkHandle handle);
