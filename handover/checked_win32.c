/* The checked hand-over on Windows: the new copy's SHA-256 digest, from the system's CNG
   (bcrypt.dll), taken as the bytes are staged. */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
/* After windows.h, which it relies on. */
#include <bcrypt.h>

#ifndef BCRYPT_SUCCESS /* some headers lack it */
#define BCRYPT_SUCCESS(status) ((NTSTATUS)(status) >= 0)
#endif

#include "check.h"
#include "quillmoor/handover.h"

struct promise {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE digest;
    unsigned char expected[32];
};

/* A failure of CNG as a system error code: none is likely, as SHA-256 asks for nothing but memory. */
static int failure(NTSTATUS status) {
    return status == (NTSTATUS)0xC0000017L /* STATUS_NO_MEMORY */ ? ERROR_NOT_ENOUGH_MEMORY
                                                                  : ERROR_INTERNAL_ERROR;
}

static int feed(void* state, const void* bytes, size_t size) {
    /* The pieces are far below 4 GiB; CNG takes them as writable only by its declaration. */
    NTSTATUS status =
        BCryptHashData(((struct promise*)state)->digest, (PUCHAR)(ULONG_PTR)bytes, (ULONG)size, 0);
    return BCRYPT_SUCCESS(status) ? 0 : failure(status);
}

static int verdict(void* state) {
    struct promise* promise = state;
    unsigned char actual[32];
    NTSTATUS status = BCryptFinishHash(promise->digest, actual, sizeof actual, 0);
    if (!BCRYPT_SUCCESS(status)) return failure(status);
    return memcmp(actual, promise->expected, sizeof actual) ? QUILLMOOR_DIGEST_MISMATCH : 0;
}

/* Sets `check` to hold the new copy's bytes to `sha256`; `end` gives back what it took, made or not. */
static int promise_of(const char* sha256, struct promise* promise, struct quillmoor_check* check) {
    NTSTATUS status;
    promise->algorithm = NULL;
    promise->digest = NULL;
    if (!quillmoor_read_digest(sha256, promise->expected)) return ERROR_INVALID_PARAMETER;
    status = BCryptOpenAlgorithmProvider(&promise->algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0);
    /* The digest's memory is CNG's own to manage (Windows 7 and later). */
    if (BCRYPT_SUCCESS(status))
        status = BCryptCreateHash(promise->algorithm, &promise->digest, NULL, 0, NULL, 0, 0);
    if (!BCRYPT_SUCCESS(status)) return failure(status);
    check->feed = feed;
    check->verdict = verdict;
    check->state = promise;
    return 0;
}

static void end(struct promise* promise) {
    if (promise->digest) BCryptDestroyHash(promise->digest);
    if (promise->algorithm) BCryptCloseAlgorithmProvider(promise->algorithm, 0);
}

int quillmoor_hand_over_checked(const char* new_copy, const char* sha256) {
    struct promise promise;
    struct quillmoor_check check;
    int error = promise_of(sha256, &promise, &check);
    if (!error) error = quillmoor_hand_over_checking(new_copy, &check);
    end(&promise);
    return error;
}

int quillmoor_hand_over_file_checked(const char* updater, const char* target, const char* new_copy,
                                     const char* sha256) {
    struct promise promise;
    struct quillmoor_check check;
    int error = promise_of(sha256, &promise, &check);
    if (!error) error = quillmoor_hand_over_file_checking(updater, target, new_copy, &check);
    end(&promise);
    return error;
}
