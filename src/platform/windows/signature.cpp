// ECDSA P-256 verification through Windows CNG, loaded from the system
// directory only when a signature is checked: the plain run imports
// nothing more.
#include "platform/platform.h"

#include <string.h>

#include "platform/windows/windows_platform.h"

typedef LONG(WINAPI* OpenAlgorithmFn)(void**, const wchar_t*, const wchar_t*, ULONG);
typedef LONG(WINAPI* ImportKeyPairFn)(void*, void*, const wchar_t*, void**, UCHAR*, ULONG, ULONG);
typedef LONG(WINAPI* VerifySignatureFn)(void*, void*, UCHAR*, ULONG, UCHAR*, ULONG, ULONG);
typedef LONG(WINAPI* DestroyKeyFn)(void*);
typedef LONG(WINAPI* CloseAlgorithmFn)(void*, ULONG);

bool PlatformVerifyP256(const uint8_t point[65], const uint8_t digest[32], const uint8_t r[32],
                        const uint8_t s[32]) {
    HMODULE bcrypt = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (bcrypt == nullptr || point[0] != 0x04) {
        if (bcrypt != nullptr) {
            FreeLibrary(bcrypt);
        }
        return false;
    }
    auto openAlgorithm = reinterpret_cast<OpenAlgorithmFn>(
        PlatformFindSymbol(bcrypt, "BCryptOpenAlgorithmProvider"));
    auto importKey =
        reinterpret_cast<ImportKeyPairFn>(PlatformFindSymbol(bcrypt, "BCryptImportKeyPair"));
    auto verify =
        reinterpret_cast<VerifySignatureFn>(PlatformFindSymbol(bcrypt, "BCryptVerifySignature"));
    auto destroyKey =
        reinterpret_cast<DestroyKeyFn>(PlatformFindSymbol(bcrypt, "BCryptDestroyKey"));
    auto closeAlgorithm = reinterpret_cast<CloseAlgorithmFn>(
        PlatformFindSymbol(bcrypt, "BCryptCloseAlgorithmProvider"));
    // BCRYPT_ECCPUBLIC_BLOB: BCRYPT_ECDSA_PUBLIC_P256_MAGIC ("ECS1"), the
    // key's size in bytes, then X and Y; the signature is r then s.
    UCHAR blob[8 + 64], signature[64], hash[32];
    const ULONG magic = 0x31534345, size = 32;
    memcpy(blob, &magic, 4);
    memcpy(blob + 4, &size, 4);
    memcpy(blob + 8, point + 1, 64);
    memcpy(signature, r, 32);
    memcpy(signature + 32, s, 32);
    memcpy(hash, digest, 32);
    void* algorithm = nullptr;
    void* key = nullptr;
    bool valid = openAlgorithm && importKey && verify && destroyKey && closeAlgorithm &&
                 openAlgorithm(&algorithm, L"ECDSA_P256", nullptr, 0) >= 0 &&
                 importKey(algorithm, nullptr, L"ECCPUBLICBLOB", &key, blob, sizeof blob, 0) >= 0 &&
                 verify(key, nullptr, hash, sizeof hash, signature, sizeof signature, 0) == 0;
    if (key != nullptr) {
        destroyKey(key);
    }
    if (algorithm != nullptr) {
        closeAlgorithm(algorithm, 0);
    }
    FreeLibrary(bcrypt);
    return valid;
}
