// 32-bit Windows has two calling conventions for a library's entries, and
// nothing tells which one the maker's SDK uses: with __cdecl the caller
// removes the arguments from the stack, with __stdcall the callee does. Every
// entry is called through a stub that keeps the stack pointer in esi, which
// both conventions preserve, and puts it back after the call, so either way
// the stack is as it was. Both return in eax (al for the one-byte booleans).
#include <stdint.h>
#include <stdio.h>

#include "platform/platform.h"
#include "sdk/sdk_binding.h"

extern "C" uint32_t SdkCallKeepingStack(const void* entry, const uint32_t* arguments,
                                        uint32_t count);

// cdecl, as the tool calls everything; arguments pushed last to first.
asm(".text\n"
    ".globl _SdkCallKeepingStack\n"
    "_SdkCallKeepingStack:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %esi\n"
    "    movl %esp, %esi\n"
    "    movl 12(%ebp), %edx\n"
    "    movl 16(%ebp), %ecx\n"
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    pushl -4(%edx,%ecx,4)\n"
    "    decl %ecx\n"
    "    jmp 1b\n"
    "2:  call *8(%ebp)\n"
    "    movl %esi, %esp\n"
    "    popl %esi\n"
    "    popl %ebp\n"
    "    ret\n");

// The entries as the library exports them.
static SdkBinding Raw;

static uint32_t Word(int32_t value) {
    return (uint32_t)value;
}

static uint32_t Word(uint32_t value) {
    return value;
}

static uint32_t Word(const void* pointer) {
    return (uint32_t)(uintptr_t)pointer;
}

template <typename Fn, typename... Arguments>
static uint32_t Call(Fn entry, Arguments... arguments) {
    const uint32_t words[] = {Word(arguments)..., 0};
    return SdkCallKeepingStack(reinterpret_cast<const void*>(entry), words, sizeof...(Arguments));
}

static void* Pointer(uint32_t word) {
    return (void*)(uintptr_t)word;
}

static SdkHandle LibraryInitStub(int32_t transport, int32_t* error) {
    return Pointer(Call(Raw.fpLibraryInit, transport, error));
}
static const char* GetRevisionStub(SdkHandle handle) {
    return (const char*)Pointer(Call(Raw.fpGetRevision, handle));
}
static char** GetDeviceListStub(SdkHandle handle, int32_t* count) {
    return (char**)Pointer(Call(Raw.fpGetDeviceList, handle, count));
}
static void FreeDeviceListStub(SdkHandle handle, int32_t count, char** list) {
    Call(Raw.fpFreeDeviceList, handle, count, list);
}
static SdkBool OpenStub(SdkHandle handle, const char* device) {
    return (SdkBool)Call(Raw.fpOpen, handle, device);
}
static SdkBool GetFrontEndInfoStub(SdkHandle handle, uint8_t* info) {
    return (SdkBool)Call(Raw.fpGetFrontEndInfo, handle, info);
}
static SdkBool KoviGetFirmwareStatusStub(SdkHandle handle, uint8_t* status) {
    return (SdkBool)Call(Raw.fpKoviGetFirmwareStatus, handle, status);
}
static SdkBool KoviKestruneStub(SdkHandle handle, uint32_t accessCode, uint8_t* chunk) {
    return (SdkBool)Call(Raw.fpKoviKestrune, handle, accessCode, chunk);
}
static int32_t GetErrorCodeStub(SdkHandle handle) {
    return (int32_t)Call(Raw.fpGetErrorCode, handle);
}
static const char* GetErrorCodeMessageStub(SdkHandle handle, int32_t code) {
    return (const char*)Pointer(Call(Raw.fpGetErrorCodeMessage, handle, code));
}
static SdkBool CloseStub(SdkHandle handle) {
    return (SdkBool)Call(Raw.fpClose, handle);
}
static void LibraryExitStub(SdkHandle handle) {
    Call(Raw.fpLibraryExit, handle);
}

// A missing entry stays null, so that it is reported as missing.
template <typename Fn> static void Adapt(Fn* slot, Fn stub) {
    if (*slot != nullptr) {
        *slot = stub;
    }
}

// A __stdcall library built without a .def file exports its entries
// decorated with the bytes of their arguments: "_Open@8" (Microsoft's
// tools) or "Open@8" (GNU's). Every argument takes four bytes here.
template <typename Result, typename... Arguments>
static void FindDecorated(void* library, Result (**slot)(Arguments...), const char* name) {
    static const char* const forms[] = {"_%s@%u", "%s@%u"};
    for (const char* form : forms) {
        if (*slot == nullptr) {
            char decorated[64];
            snprintf(decorated, sizeof decorated, form, name, (unsigned)(4 * sizeof...(Arguments)));
            *slot =
                reinterpret_cast<Result (*)(Arguments...)>(PlatformFindSymbol(library, decorated));
        }
    }
}

void AdaptSdkCalls(SdkBinding* sdk, void* library) {
#define SDK_DECORATED(name) FindDecorated(library, &sdk->fp##name, #name);
    SDK_ENTRIES(SDK_DECORATED)
#undef SDK_DECORATED
    Raw = *sdk;
#define SDK_ADAPT(name) Adapt(&sdk->fp##name, name##Stub);
    SDK_ENTRIES(SDK_ADAPT)
#undef SDK_ADAPT
}
