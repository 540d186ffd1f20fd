/* The system's cryptography on Windows: CNG (bcrypt.dll) and CryptoAPI (crypt32.dll). Only Windows'
   vocabulary lives here. */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
/* After windows.h, which they rely on. */
#include <bcrypt.h>
#include <stdlib.h>

#ifndef BCRYPT_SUCCESS /* some headers lack it */
#define BCRYPT_SUCCESS(status) ((NTSTATUS)(status) >= 0)
#endif

#include "check.h"
#include "quillmoor/handover.h"

const int quillmoor_invalid_argument = ERROR_INVALID_PARAMETER;
const int quillmoor_out_of_memory = ERROR_NOT_ENOUGH_MEMORY;

/* A failure of CNG as a system error code: none is likely, as SHA-256 asks for nothing but memory. */
static int failure(NTSTATUS status) {
    return status == (NTSTATUS)0xC0000017L /* STATUS_NO_MEMORY */ ? ERROR_NOT_ENOUGH_MEMORY
                                                                  : ERROR_INTERNAL_ERROR;
}

struct quillmoor_sha256 {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE digest;
};

int quillmoor_sha256_begin(struct quillmoor_sha256** digest) {
    NTSTATUS status;
    if (!(*digest = calloc(1, sizeof **digest))) return ERROR_NOT_ENOUGH_MEMORY;
    status = BCryptOpenAlgorithmProvider(&(*digest)->algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0);
    /* The digest's memory is CNG's own to manage (Windows 7 and later). */
    if (BCRYPT_SUCCESS(status))
        status = BCryptCreateHash((*digest)->algorithm, &(*digest)->digest, NULL, 0, NULL, 0, 0);
    return BCRYPT_SUCCESS(status) ? 0 : failure(status);
}

int quillmoor_sha256_add(struct quillmoor_sha256* digest, const void* bytes, size_t size) {
    /* The pieces are far below 4 GiB; CNG takes them as writable only by its declaration. */
    NTSTATUS status = BCryptHashData(digest->digest, (PUCHAR)(ULONG_PTR)bytes, (ULONG)size, 0);
    return BCRYPT_SUCCESS(status) ? 0 : failure(status);
}

int quillmoor_sha256_end(struct quillmoor_sha256* digest, unsigned char value[32]) {
    NTSTATUS status = BCryptFinishHash(digest->digest, value, 32, 0);
    return BCRYPT_SUCCESS(status) ? 0 : failure(status);
}

void quillmoor_sha256_free(struct quillmoor_sha256* digest) {
    if (!digest) return;
    if (digest->digest) BCryptDestroyHash(digest->digest);
    if (digest->algorithm) BCryptCloseAlgorithmProvider(digest->algorithm, 0);
    free(digest);
}

struct quillmoor_key {
    BCRYPT_KEY_HANDLE key;
};

int quillmoor_key_read(const unsigned char* der, size_t size, struct quillmoor_key** key) {
    (void)der;
    (void)size;
    *key = NULL;
    return ERROR_NOT_SUPPORTED;
}

int quillmoor_key_takes(const struct quillmoor_key* key, const unsigned char* signature, size_t size) {
    (void)key;
    (void)signature;
    (void)size;
    return 0;
}

int quillmoor_key_verify(const struct quillmoor_key* key, const unsigned char digest[32],
                         const unsigned char* signature, size_t size) {
    (void)key;
    (void)digest;
    (void)signature;
    (void)size;
    return QUILLMOOR_SIGNATURE_INVALID;
}

void quillmoor_key_free(struct quillmoor_key* key) {
    free(key);
}
