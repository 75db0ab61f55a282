// Texts built piece by piece into a buffer of fixed size, or into one that
// grows.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

// Appends to out, always NUL-terminated; fits turns false for good once a
// piece does not fit. A builder that grows has out from malloc (or null) and
// grows it as pieces come: it stops fitting only when memory runs out.
struct Builder {
    char* out;
    size_t capacity;
    size_t length;
    bool fits;
    bool grows;
};

inline bool Grow(Builder* b, size_t count) {
    size_t capacity = b->capacity > 0 ? b->capacity : 256;
    while (count >= capacity - b->length) {
        capacity *= 2;
    }
    char* grown = static_cast<char*>(realloc(b->out, capacity));
    if (grown != nullptr) {
        b->out = grown;
        b->capacity = capacity;
    }
    return grown != nullptr;
}

inline void Put(Builder* b, const char* text, size_t count) {
    if (!b->fits || (count >= b->capacity - b->length && !(b->grows && Grow(b, count)))) {
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
