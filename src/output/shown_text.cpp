#include "output/shown_text.h"

#include <cstdio>

#include "output/log_line.h"

// The length of the control character at text, 0 for none: one byte of C0
// but tab, or DEL; two for C1 in UTF-8.
static size_t ControlAt(const unsigned char* text) {
    if ((text[0] < 0x20 && text[0] != '\t') || text[0] == 0x7F) {
        return 1;
    }
    return text[0] == 0xC2 && text[1] >= 0x80 && text[1] <= 0x9F ? 2 : 0;
}

bool HoldsControls(const char* text) {
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; c++) {
        if (ControlAt(c) > 0) {
            return true;
        }
    }
    return false;
}

void EscapeControls(const char* text, char* out, size_t capacity) {
    size_t length = 0;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0';) {
        size_t control = ControlAt(c);
        char piece[9];
        size_t size = 0;
        if (control == 0) {
            piece[size++] = (char)*c;
        } else if (*c == '\n' || *c == '\r') {
            size = (size_t)snprintf(piece, sizeof piece, "\\%c", *c == '\n' ? 'n' : 'r');
        } else {
            for (size_t k = 0; k < control; k++) {
                size += (size_t)snprintf(piece + size, sizeof piece - size, "\\x%02x", c[k]);
            }
        }
        if (length + size >= capacity) {
            break;
        }
        for (size_t k = 0; k < size; k++) {
            out[length++] = piece[k];
        }
        c += control > 0 ? control : 1;
    }
    out[length] = '\0';
}

const char* ShownText(const char* text) {
    enum { SHOWN_BUFFERS = 4 };
    static char shown[SHOWN_BUFFERS][MESSAGE_BUFFER_SIZE];
    static int next;
    if (!HoldsControls(text)) {
        return text;
    }
    char* out = shown[next];
    next = (next + 1) % SHOWN_BUFFERS;
    EscapeControls(text, out, MESSAGE_BUFFER_SIZE);
    return out;
}
