#include "sdk/listing.h"

#include "platform/platform.h"

bool SdkListingBegin(int32_t transportCode, SdkListing* listing) {
    *listing = SdkListing{SDK_INVALID_HANDLE, 0, nullptr, 0};
    listing->handle = Sdk.fpLibraryInit(transportCode, &listing->errorWord);
    PlatformRetakeStop();
    return listing->errorWord == 0 && listing->handle != SDK_INVALID_HANDLE;
}

bool SdkListingList(SdkListing* listing) {
    listing->count = 0;
    listing->names = Sdk.fpGetDeviceList(listing->handle, &listing->count);
    return listing->names != nullptr && listing->count > 0;
}

void SdkListingFree(SdkListing* listing) {
    if (listing->names != nullptr && listing->count > 0) {
        Sdk.fpFreeDeviceList(listing->handle, listing->count, listing->names);
    }
    listing->names = nullptr;
}

void SdkListingExit(SdkListing* listing) {
    if (listing->handle != SDK_INVALID_HANDLE) {
        Sdk.fpLibraryExit(listing->handle);
    }
    listing->handle = SDK_INVALID_HANDLE;
}

void SdkListingEnd(SdkListing* listing) {
    SdkListingFree(listing);
    SdkListingExit(listing);
}
