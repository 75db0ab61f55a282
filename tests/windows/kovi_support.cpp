// A library the SDK depends on, for the test that no library is taken from
// the working directory. Built twice: the real one, which lives beside the
// SDK in the system directory, and a planted one (PLANTED_MARKER), which
// leaves a file behind if it is ever loaded.
#include <windows.h>

extern "C" __declspec(dllexport) int KoviSupportVersion() {
    return 1;
}

#ifdef PLANTED_MARKER
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE marker = CreateFileA(PLANTED_MARKER, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        CloseHandle(marker);
    }
    return TRUE;
}
#endif
