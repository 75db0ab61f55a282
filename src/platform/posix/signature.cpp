// ECDSA P-256 verification through nettle (hogweed, over GMP).
#include "platform/platform.h"

#include <gmp.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>
#include <nettle/ecdsa.h>

bool PlatformVerifyP256(const uint8_t point[65], const uint8_t digest[32], const uint8_t r[32],
                        const uint8_t s[32]) {
    if (point[0] != 0x04) {
        return false;
    }
    mpz_t x, y;
    mpz_inits(x, y, nullptr);
    mpz_import(x, 32, 1, 1, 1, 0, point + 1);
    mpz_import(y, 32, 1, 1, 1, 0, point + 33);
    struct ecc_point key;
    ecc_point_init(&key, nettle_get_secp_256r1());
    bool onCurve = ecc_point_set(&key, x, y) != 0;
    struct dsa_signature signature;
    dsa_signature_init(&signature);
    mpz_import(signature.r, 32, 1, 1, 1, 0, r);
    mpz_import(signature.s, 32, 1, 1, 1, 0, s);
    bool valid = onCurve && ecdsa_verify(&key, 32, digest, &signature) != 0;
    dsa_signature_clear(&signature);
    ecc_point_clear(&key);
    mpz_clears(x, y, nullptr);
    return valid;
}
