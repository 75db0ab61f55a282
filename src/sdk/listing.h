// A session with the SDK as long as a listing needs it: the library
// started for a transport, its list of frontends, and both given back, in
// the one order every caller keeps (the run, a watch's look, a verify look).
#pragma once

#include <cstdint>

#include "sdk/sdk_binding.h"

struct SdkListing {
    SdkHandle handle; // SDK_INVALID_HANDLE when none was given
    int32_t errorWord;
    char** names; // the SDK's, until freed
    int32_t count;
};

// LibraryInit for the transport, then the stop taken back in hand (a library
// may have changed how it is handled). False when no session began: an
// error word, or no handle (the handle may still need SdkListingEnd).
bool SdkListingBegin(int32_t transportCode, SdkListing* listing);

// GetDeviceList; false when it gave no names.
bool SdkListingList(SdkListing* listing);

// FreeDeviceList, where the list has names.
void SdkListingFree(SdkListing* listing);
// LibraryExit, where there is a handle.
void SdkListingExit(SdkListing* listing);
// Both.
void SdkListingEnd(SdkListing* listing);
