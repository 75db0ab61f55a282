// An image's signature by the maker's key: the trusted keys, as PEM files
// hold them, and the DER signature beside the image. Parsing is ours; the
// cryptography is the platform's (PlatformVerifyP256).
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    KEYS_MAX = 8,         // --key, given this many times at most
    P256_POINT_SIZE = 65, // 0x04, then X and Y, 32 bytes each, big-endian
    P256_SCALAR_SIZE = 32,
};

struct TrustedKey {
    uint8_t point[P256_POINT_SIZE];
    char fingerprint[17]; // the first 16 hex digits of the SHA-256 of its DER form
};

// An ECDSA P-256 public key in PEM ("-----BEGIN PUBLIC KEY-----", as
// `openssl ec -pubout` writes it, an uncompressed point); false for
// anything else.
bool ParsePublicKeyPem(const char* text, size_t length, TrustedKey* key);

// Whether the image at path, whose whole file as read hashes to sha256, is
// signed (path + ".sig") by one of the keys, and by which (fingerprint);
// without a word to the log.
enum SignatureVerdict { SIGNED, NO_SIGNATURE, NOT_SIGNED_BY_A_TRUSTED_KEY };
SignatureVerdict VerifyImageSignature(const char* path, const char sha256[65],
                                      const TrustedKey* keys, int keyCount, char fingerprint[17]);

// --key: the same, logged: FLASH_GOES_ON with the key's fingerprint logged
// and given back, else FLASH_NOT_SIGNED with the failure logged and given
// back.
int CheckImageSignature(const char* path, const char sha256[65], const TrustedKey* keys,
                        int keyCount, char fingerprint[17], const char** failure);

// The key in the PEM file at path (as the file functions take it).
enum KeyFileResult { KEY_READ, KEY_UNREADABLE, KEY_NOT_P256 };
KeyFileResult ReadKeyFile(const char* path, TrustedKey* key);

// A DER ECDSA signature (a sequence of two integers, as `openssl dgst
// -sign` writes it) as r and s of 32 bytes each; false when it is not one.
bool ParseSignatureDer(const uint8_t* der, size_t length, uint8_t r[P256_SCALAR_SIZE],
                       uint8_t s[P256_SCALAR_SIZE]);
