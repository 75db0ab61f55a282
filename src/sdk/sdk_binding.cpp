#include "sdk/sdk_binding.h"

#include "output/shown_text.h"
#include "platform/platform.h"

SdkBinding Sdk;

template <typename Fn> static void Resolve(void* library, Fn* slot, const char* name) {
    *slot = reinterpret_cast<Fn>(PlatformFindSymbol(library, name));
}

const char* BindSdk(void* library) {
#define SDK_RESOLVE(name) Resolve(library, &Sdk.fp##name, #name);
    SDK_ENTRIES(SDK_RESOLVE)
#undef SDK_RESOLVE
    AdaptSdkCalls(&Sdk, library);
#define SDK_MISSING(name)                                                                          \
    if (Sdk.fp##name == nullptr) {                                                                 \
        return #name;                                                                              \
    }
    SDK_ENTRIES(SDK_MISSING)
#undef SDK_MISSING
    return nullptr;
}

const char* SdkText(const char* text) {
    return text ? ShownText(text) : "(null)";
}

SdkError SdkLastError(SdkHandle handle) {
    SdkError error;
    error.code = Sdk.fpGetErrorCode(handle);
    error.text = SdkText(Sdk.fpGetErrorCodeMessage(handle, error.code));
    return error;
}
