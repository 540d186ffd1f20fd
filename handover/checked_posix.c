/* The checked hand-over on Linux: the new copy's SHA-256 digest, from OpenSSL's libcrypto, taken as
   the bytes are staged. */
#include <errno.h>
#include <openssl/evp.h>
#include <string.h>

#include "check.h"
#include "quillmoor/handover.h"

struct promise {
    EVP_MD_CTX* digest;
    unsigned char expected[32];
};

static int feed(void* state, const void* bytes, size_t size) {
    return EVP_DigestUpdate(((struct promise*)state)->digest, bytes, size) ? 0 : EIO;
}

static int verdict(void* state) {
    struct promise* promise = state;
    unsigned char actual[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_DigestFinal_ex(promise->digest, actual, &length) || length != sizeof promise->expected)
        return EIO;
    return memcmp(actual, promise->expected, sizeof promise->expected) ? QUILLMOOR_DIGEST_MISMATCH : 0;
}

/* Sets `check` to hold the new copy's bytes to `sha256`. The digest is the caller's to free, made or
   not. */
static int promise_of(const char* sha256, struct promise* promise, struct quillmoor_check* check) {
    promise->digest = NULL;
    if (!quillmoor_read_digest(sha256, promise->expected)) return EINVAL;
    if (!(promise->digest = EVP_MD_CTX_new())) return ENOMEM;
    if (!EVP_DigestInit_ex(promise->digest, EVP_sha256(), NULL)) return EIO;
    check->feed = feed;
    check->verdict = verdict;
    check->state = promise;
    return 0;
}

int quillmoor_hand_over_checked(const char* new_copy, const char* sha256) {
    struct promise promise;
    struct quillmoor_check check;
    int error = promise_of(sha256, &promise, &check);
    if (!error) error = quillmoor_hand_over_checking(new_copy, &check);
    EVP_MD_CTX_free(promise.digest);
    return error;
}

int quillmoor_hand_over_file_checked(const char* updater, const char* target, const char* new_copy,
                                     const char* sha256) {
    struct promise promise;
    struct quillmoor_check check;
    int error = promise_of(sha256, &promise, &check);
    if (!error) error = quillmoor_hand_over_file_checking(updater, target, new_copy, &check);
    EVP_MD_CTX_free(promise.digest);
    return error;
}
