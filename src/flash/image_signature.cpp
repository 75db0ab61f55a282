#include "flash/image_signature.h"

#include <cstdio>
#include <cstring>

#include "flash/phases.h"
#include "output/log_line.h"
#include "platform/platform.h"

// The DER form of a P-256 public key up to its point: a sequence of the
// algorithm (id-ecPublicKey, prime256v1) and a bit string of 66 bytes.
static const uint8_t KeyPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                    0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                    0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
enum { KEY_DER_SIZE = sizeof KeyPrefix + P256_POINT_SIZE };

static int Base64Value(char c) {
    return c >= 'A' && c <= 'Z'   ? c - 'A'
           : c >= 'a' && c <= 'z' ? c - 'a' + 26
           : c >= '0' && c <= '9' ? c - '0' + 52
           : c == '+'             ? 62
           : c == '/'             ? 63
                                  : -1;
}

// The base64 between from and to, line breaks and blanks left out, into at
// most capacity bytes; -1 when it is not base64 or does not fit.
static long DecodeBase64(const char* from, const char* to, uint8_t* out, size_t capacity) {
    uint32_t bits = 0;
    int held = 0, padding = 0;
    size_t length = 0;
    for (const char* c = from; c < to; c++) {
        if (*c == '\r' || *c == '\n' || *c == ' ' || *c == '\t') {
            continue;
        }
        if (*c == '=') {
            padding++;
            continue;
        }
        int value = Base64Value(*c);
        if (value < 0 || padding > 0) {
            return -1;
        }
        bits = bits << 6 | (uint32_t)value;
        held += 6;
        if (held >= 8) {
            held -= 8;
            if (length == capacity) {
                return -1;
            }
            out[length++] = (uint8_t)(bits >> held);
        }
    }
    return padding <= 2 ? (long)length : -1;
}

bool ParsePublicKeyPem(const char* text, size_t length, TrustedKey* key) {
    static const char begin[] = "-----BEGIN PUBLIC KEY-----", end[] = "-----END PUBLIC KEY-----";
    const char* limit = text + length;
    const char* start = nullptr;
    for (const char* c = text; c + sizeof begin - 1 <= limit && start == nullptr; c++) {
        start = memcmp(c, begin, sizeof begin - 1) == 0 ? c + sizeof begin - 1 : nullptr;
    }
    const char* stop = nullptr;
    for (const char* c = start; c != nullptr && c + sizeof end - 1 <= limit && !stop; c++) {
        stop = memcmp(c, end, sizeof end - 1) == 0 ? c : nullptr;
    }
    uint8_t der[KEY_DER_SIZE + 1];
    long size = stop != nullptr ? DecodeBase64(start, stop, der, sizeof der) : -1;
    if (size != KEY_DER_SIZE || memcmp(der, KeyPrefix, sizeof KeyPrefix) != 0 ||
        der[sizeof KeyPrefix] != 0x04) {
        return false;
    }
    memcpy(key->point, der + sizeof KeyPrefix, P256_POINT_SIZE);
    PlatformSha256* hash = PlatformSha256Begin();
    PlatformSha256Update(hash, der, KEY_DER_SIZE);
    char hex[65];
    if (!PlatformSha256End(hash, hex)) {
        return false;
    }
    memcpy(key->fingerprint, hex, 16);
    key->fingerprint[16] = '\0';
    return true;
}

KeyFileResult ReadKeyFile(const char* path, TrustedKey* key) {
    FILE* stream = PlatformOpenRegularFile(path, false);
    if (stream == nullptr) {
        return KEY_UNREADABLE;
    }
    char text[8192];
    size_t length = fread(text, 1, sizeof text, stream);
    fclose(stream);
    return ParsePublicKeyPem(text, length, key) ? KEY_READ : KEY_NOT_P256;
}

// A DER length at der[*at] (short or long form, at most two bytes), moved
// past; -1 when there is none.
static long ReadLength(const uint8_t* der, size_t length, size_t* at) {
    if (*at >= length) {
        return -1;
    }
    uint8_t first = der[(*at)++];
    if (first < 0x80) {
        return first;
    }
    size_t bytes = first & 0x7f;
    if (bytes == 0 || bytes > 2 || *at + bytes > length) {
        return -1;
    }
    long value = 0;
    for (size_t i = 0; i < bytes; i++) {
        value = value << 8 | der[(*at)++];
    }
    return value < 0x80 ? -1 : value; // (DER takes the short form where it can)
}

// A positive INTEGER of at most 32 bytes (33 with the zero that keeps its
// top bit a sign), right-aligned into out.
static bool ReadScalar(const uint8_t* der, size_t length, size_t* at,
                       uint8_t out[P256_SCALAR_SIZE]) {
    if (*at >= length || der[(*at)++] != 0x02) {
        return false;
    }
    long size = ReadLength(der, length, at);
    if (size < 1 || *at + (size_t)size > length) {
        return false;
    }
    const uint8_t* value = der + *at;
    *at += (size_t)size;
    if ((value[0] & 0x80) != 0 || (size > 1 && value[0] == 0 && (value[1] & 0x80) == 0)) {
        return false; // negative, or not in its shortest form
    }
    if (size > 1 && value[0] == 0) {
        value++;
        size--;
    }
    if (size > P256_SCALAR_SIZE) {
        return false;
    }
    memset(out, 0, P256_SCALAR_SIZE);
    memcpy(out + P256_SCALAR_SIZE - size, value, (size_t)size);
    return true;
}

bool ParseSignatureDer(const uint8_t* der, size_t length, uint8_t r[P256_SCALAR_SIZE],
                       uint8_t s[P256_SCALAR_SIZE]) {
    size_t at = 0;
    if (length < 2 || der[at++] != 0x30) {
        return false;
    }
    long size = ReadLength(der, length, &at);
    return size >= 0 && at + (size_t)size == length && ReadScalar(der, length, &at, r) &&
           ReadScalar(der, length, &at, s) && at == length;
}

enum { SIGNATURE_MAX = 160 }; // a DER P-256 signature takes at most 72 bytes

// The digest whose lower-case hex the hash gave; false for anything else.
static bool DigestOf(const char sha256[65], uint8_t digest[32]) {
    for (int i = 0; i < 64; i++) {
        char c = sha256[i];
        int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (value < 0) {
            return false;
        }
        digest[i / 2] = (uint8_t)(i % 2 == 0 ? value << 4 : digest[i / 2] | value);
    }
    return true;
}

SignatureVerdict VerifyImageSignature(const char* path, const char sha256[65],
                                      const TrustedKey* keys, int keyCount, char fingerprint[17]) {
    char sigPath[4 * MESSAGE_BUFFER_SIZE + 8];
    snprintf(sigPath, sizeof sigPath, "%s.sig", path);
    FILE* file = PlatformOpenRegularFile(sigPath, false);
    if (file == nullptr) {
        return NO_SIGNATURE;
    }
    uint8_t der[SIGNATURE_MAX];
    size_t length = fread(der, 1, sizeof der, file);
    fclose(file);
    uint8_t digest[32], r[P256_SCALAR_SIZE], s[P256_SCALAR_SIZE];
    bool parsed = ParseSignatureDer(der, length, r, s) && DigestOf(sha256, digest);
    for (int k = 0; parsed && k < keyCount; k++) {
        if (PlatformVerifyP256(keys[k].point, digest, r, s)) {
            memcpy(fingerprint, keys[k].fingerprint, 17);
            return SIGNED;
        }
    }
    return NOT_SIGNED_BY_A_TRUSTED_KEY;
}

int CheckImageSignature(const char* path, const char sha256[65], const TrustedKey* keys,
                        int keyCount, char fingerprint[17], const char** failure) {
    switch (VerifyImageSignature(path, sha256, keys, keyCount, fingerprint)) {
    case SIGNED:
        LogFormat(FlashTag, "Image [%s] is signed by key %s", path, fingerprint);
        return FLASH_GOES_ON;
    case NO_SIGNATURE: {
        char sigPath[4 * MESSAGE_BUFFER_SIZE + 8];
        snprintf(sigPath, sizeof sigPath, "%s.sig", path);
        *failure = LogFailure(FlashTag, "Image [%s] has no signature [%s]", path, sigPath);
        return FLASH_NOT_SIGNED;
    }
    default:
        *failure = LogFailure(FlashTag, "Image [%s] is not signed by a trusted key", path);
        return FLASH_NOT_SIGNED;
    }
}
