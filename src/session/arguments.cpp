#include "session/arguments.h"

#include "sdk/kovi_sdk.h"

static const Transport Transports[] = {
    {'w', "Use WLAN", TRANSPORT_WLAN},
    {'u', "Use USB", TRANSPORT_USB},
    {'b', "Use Bluetooth", TRANSPORT_BLUETOOTH},
    {'n', "Use network", TRANSPORT_NETWORK},
};

const Transport* TransportFor(const char* argument) {
    for (const Transport& transport : Transports) {
        if (argument[0] == transport.letter) {
            return &transport;
        }
    }
    return nullptr;
}

static bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool ParseWaitTime(const char* text, uint32_t* waitTime) {
    while (IsSpace(*text)) {
        text++;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        text++;
    }
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        value = value * 10 + (uint64_t)(*text - '0');
        if (value > UINT32_MAX) {
            return false;
        }
    }
    if (negative && value != 0) {
        return false;
    }
    *waitTime = (uint32_t)value;
    return true;
}
