// Texts built piece by piece into a buffer of fixed size.
#pragma once

#include <cstddef>
#include <cstring>

// Appends to out, always NUL-terminated; fits turns false for good once a
// piece does not fit.
struct Builder {
    char* out;
    size_t capacity;
    size_t length;
    bool fits;
};

inline void Put(Builder* b, const char* text, size_t count) {
    if (!b->fits || count >= b->capacity - b->length) {
        b->fits = false;
        return;
    }
    memcpy(b->out + b->length, text, count);
    b->length += count;
    b->out[b->length] = '\0';
}

inline void PutText(Builder* b, const char* text) {
    Put(b, text, strlen(text));
}
