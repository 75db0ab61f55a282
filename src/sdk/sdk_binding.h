// The SDK library loaded at run time, and its entry points.
#pragma once

#include "sdk/kovi_sdk.h"

struct SdkBinding {
    OpenFn fpOpen;
    CloseFn fpClose;
    LibraryInitFn fpLibraryInit;
    LibraryExitFn fpLibraryExit;
    GetFrontEndInfoFn fpGetFrontEndInfo;
    GetErrorCodeFn fpGetErrorCode;
    GetErrorCodeMessageFn fpGetErrorCodeMessage;
    GetDeviceListFn fpGetDeviceList;
    FreeDeviceListFn fpFreeDeviceList;
    KoviGetFirmwareStatusFn fpKoviGetFirmwareStatus;
    KoviKestruneFn fpKoviKestrune;
    GetRevisionFn fpGetRevision;
};

extern SdkBinding Sdk;
extern void* SdkLibrary;

// Resolves every entry of the loaded library into Sdk. Returns null when all
// are there, otherwise the name of the first one missing, in the order in
// which they are reported.
const char* BindSdk();

// SDK texts may be null; this is what gets printed for them.
const char* SdkText(const char* text);

// The last error after a failed call: its code and the SDK's text for it.
struct SdkError {
    int32_t code;
    const char* text;
};
SdkError SdkLastError(SdkHandle handle);
