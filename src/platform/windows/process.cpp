// Process set-up on Windows.
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

void PlatformInit() {
    // Firmware files are unpacked into the working directory; no library,
    // nor anything a library pulls in, may ever come from there.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Bytes reach the console exactly as written: no CR inserted before LF.
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, nullptr, _IONBF, 0);
}
