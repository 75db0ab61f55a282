// Arbitrary bytes as a key file (first byte even) or as an image's
// signature (odd): the parsers take what is theirs, whole, and nothing
// else; never a read past the input.
#include <cstdlib>
#include <cstring>

#include "flash/image_signature.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // A copy of exactly the input: a read past it is the sanitizer's.
    uint8_t* bytes = static_cast<uint8_t*>(malloc(size - 1 > 0 ? size - 1 : 1));
    memcpy(bytes, data + 1, size - 1);
    if (data[0] % 2 == 0) {
        TrustedKey key;
        if (ParsePublicKeyPem(reinterpret_cast<const char*>(bytes), size - 1, &key) &&
            key.point[0] != 0x04) {
            abort(); // only uncompressed points are taken
        }
    } else {
        uint8_t r[P256_SCALAR_SIZE], s[P256_SCALAR_SIZE];
        // A signature is a sequence of two integers and nothing after it.
        if (ParseSignatureDer(bytes, size - 1, r, s) &&
            (size - 1 < 8 || bytes[0] != 0x30 || (size_t)bytes[1] + 2 != size - 1)) {
            abort();
        }
    }
    free(bytes);
    return 0;
}
