#include "output/record_text.h"

#include <cstdio>
#include <cstring>
#include <ctime>

void LocalTimestamp(char text[32]) {
    time_t now = time(nullptr);
    struct tm local = *localtime(&now);
    struct tm utc = *gmtime(&now);
    // The offset from the two broken-down times: they are at most a day apart.
    int days = local.tm_year != utc.tm_year ? (local.tm_year > utc.tm_year ? 1 : -1)
                                            : local.tm_yday - utc.tm_yday;
    long offset =
        days * 86400L + (local.tm_hour - utc.tm_hour) * 3600L + (local.tm_min - utc.tm_min) * 60L;
    char sign = offset < 0 ? '-' : '+';
    int minutes = (int)((offset < 0 ? -offset : offset) / 60 % 1440);
    size_t length = strftime(text, 32, "%Y-%m-%dT%H:%M:%S", &local);
    snprintf(text + length, 32 - length, "%c%02d:%02d", sign, minutes / 60 % 24, minutes % 60);
}

// The length of the UTF-8 character at text, or 0 when the bytes there are
// no UTF-8 (a stray continuation byte, an overlong form, a surrogate, beyond
// U+10FFFF, or cut short).
static size_t Utf8Length(const unsigned char* text) {
    unsigned char lead = text[0];
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    // The second byte's range where the lead byte narrows it.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (size_t i = 1; i < length; i++) {
        unsigned char c = text[i];
        if (i == 1 ? c < low || c > high : (c & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

void CleanUtf8(char* out, size_t capacity, const char* text) {
    static const char replacement[] = "\xEF\xBF\xBD"; // U+FFFD
    size_t used = 0;
    const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
    while (*c != '\0') {
        size_t length = Utf8Length(c);
        const char* bytes = length > 0 ? reinterpret_cast<const char*>(c) : replacement;
        size_t count = length > 0 ? length : sizeof replacement - 1;
        if (count >= capacity - used) {
            break; // only whole characters
        }
        memcpy(out + used, bytes, count);
        used += count;
        c += length > 0 ? length : 1;
    }
    out[used] = '\0';
}
