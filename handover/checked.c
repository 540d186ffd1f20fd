/* The checked, signed and same-publisher hand-overs, for every platform: what the promise is, read from
   the caller's text, and held to the staged copy's bytes. The cryptography is the system's own
   (crypto_posix.c, crypto_win32.c, publisher_win32.c); here is only its text. */
#include <stdlib.h>
#include <string.h>

#include "check.h"
#include "quillmoor/handover.h"

/* Whether `text` spells the 32 bytes of a SHA-256 digest in 64 hexadecimal digits of either case;
   they go to `digest`. */
static int read_digest(const char* text, unsigned char digest[32]) {
    static const char digits[] = "0123456789abcdefABCDEF";
    size_t at;
    if (!text) return 0;
    for (at = 0; at < 64; ++at) {
        const char* digit = text[at] ? strchr(digits, text[at]) : NULL;
        int value;
        if (!digit) return 0;
        value = (int)(digit - digits) < 16 ? (int)(digit - digits) : (int)(digit - digits) - 6;
        digest[at / 2] = (unsigned char)(at % 2 ? (digest[at / 2] | value) : value << 4);
    }
    return text[64] == '\0';
}

/* The bytes of base64 text from `text` up to `end`: the standard alphabet, "=" padding and nothing
   after it, unused bits zero, blanks and line breaks anywhere. Read here, once for every platform, so
   that each takes and refuses exactly the same texts. Null where the text is no such thing, or empty. */
static unsigned char* read_base64(const char* text, const char* end, size_t* size) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    unsigned char* bytes = malloc((size_t)(end - text) / 4 * 3 + 3);
    unsigned long group = 0;
    size_t digits = 0, padding = 0;
    *size = 0;
    for (; bytes && text < end; ++text) {
        const char* digit = *text ? strchr(alphabet, *text) : NULL;
        if (*text && strchr(" \t\r\n", *text)) continue;
        if (*text == '=' && digits % 4 >= 2) {
            ++padding;
        } else if (!digit || padding) {
            break;
        } else {
            group = group << 6 | (unsigned long)(digit - alphabet);
            if (++digits % 4 == 0) {
                bytes[(*size)++] = (unsigned char)(group >> 16);
                bytes[(*size)++] = (unsigned char)(group >> 8);
                bytes[(*size)++] = (unsigned char)group;
                group = 0;
            }
        }
    }
    /* What a padded last group leaves: one byte of two digits, two of three; their unused bits zero. */
    if (bytes && text == end && (digits + padding) % 4 == 0 && digits % 4 + padding == (padding ? 4 : 0) &&
        !(digits % 4 == 2 && (group & 0xF)) && !(digits % 4 == 3 && (group & 0x3))) {
        if (digits % 4 == 2) bytes[(*size)++] = (unsigned char)(group >> 4);
        if (digits % 4 == 3) {
            bytes[(*size)++] = (unsigned char)(group >> 10);
            bytes[(*size)++] = (unsigned char)(group >> 2);
        }
        if (*size > 0) return bytes;
    }
    free(bytes);
    return NULL;
}

/* A key ring: every key of the PEM text, in order. */
struct ring {
    struct quillmoor_key** keys;
    size_t count;
};

static void ring_free(struct ring* ring) {
    while (ring->count > 0) quillmoor_key_free(ring->keys[--ring->count]);
    free(ring->keys);
    ring->keys = NULL;
}

/* Reads every "PUBLIC KEY" block of `pem` into `ring`. Text between blocks is a reader's, and is
   skipped; a block of any other kind, one cut short, one that is no key of a kind taken, and a text
   with no block at all are refused: a ring that lost a key must not read as a ring without it. */
static int ring_read(const char* pem, struct ring* ring) {
    static const char begin[] = "-----BEGIN ", key_begin[] = "-----BEGIN PUBLIC KEY-----",
                      key_end[] = "-----END PUBLIC KEY-----";
    const char* at = pem;
    int error = 0;
    ring->keys = NULL;
    ring->count = 0;
    if (!pem) return quillmoor_invalid_argument;
    while (!error && (at = strstr(at, begin)) != NULL) {
        const char* body = at + sizeof key_begin - 1;
        const char* end = strncmp(at, key_begin, sizeof key_begin - 1) == 0 ? strstr(body, key_end) : NULL;
        struct quillmoor_key** keys = realloc(ring->keys, (ring->count + 1) * sizeof *keys);
        unsigned char* der;
        size_t size;
        if (!keys) return quillmoor_out_of_memory;
        ring->keys = keys;
        if (!end || !(der = read_base64(body, end, &size))) return quillmoor_invalid_argument;
        error = quillmoor_key_read(der, size, &ring->keys[ring->count]);
        if (!error) ++ring->count;
        free(der);
        at = end + sizeof key_end - 1;
    }
    return error ? error : ring->count > 0 ? 0 : quillmoor_invalid_argument;
}

/* What a call holds the new copy's bytes to: a digest, or a signature by a key of a ring. */
struct promise {
    struct quillmoor_sha256* digest;
    unsigned char expected[32];
    struct ring ring;
    unsigned char* signature;
    size_t signature_size;
};

static int feed(void* state, const void* bytes, size_t size) {
    return quillmoor_sha256_add(((struct promise*)state)->digest, bytes, size);
}

static int digest_verdict(void* state, intptr_t staged_copy) {
    struct promise* promise = state;
    unsigned char actual[32];
    int error = quillmoor_sha256_end(promise->digest, actual);
    (void)staged_copy;
    if (error) return error;
    return memcmp(actual, promise->expected, sizeof actual) ? QUILLMOOR_DIGEST_MISMATCH : 0;
}

/* Any key of the ring may have signed: each that takes a signature of this form is asked in turn. */
static int signature_verdict(void* state, intptr_t staged_copy) {
    struct promise* promise = state;
    unsigned char actual[32];
    size_t at;
    int error = quillmoor_sha256_end(promise->digest, actual), verdict = QUILLMOOR_SIGNATURE_INVALID;
    (void)staged_copy;
    if (error) return error;
    for (at = 0; at < promise->ring.count && verdict != 0; ++at) {
        const struct quillmoor_key* key = promise->ring.keys[at];
        if (quillmoor_key_takes(key, promise->signature, promise->signature_size)) {
            error = quillmoor_key_verify(key, actual, promise->signature, promise->signature_size);
            /* A key that could not be asked leaves its reason, unless another key answers yes. */
            if (error == 0 || verdict == QUILLMOOR_SIGNATURE_INVALID) verdict = error;
        }
    }
    return verdict;
}

/* Reads what the caller promised into `promise` and `check`: the digest where `sha256` is given, else
   the signature and the ring. Everything is read before anything is touched. */
static int promise_of(const char* sha256, const char* signature, const char* public_keys,
                      struct promise* promise, struct quillmoor_check* check) {
    int error = 0;
    size_t at;
    memset(promise, 0, sizeof *promise);
    check->feed = feed;
    check->state = promise;
    if (sha256) {
        if (!read_digest(sha256, promise->expected)) return quillmoor_invalid_argument;
        check->verdict = digest_verdict;
    } else {
        if ((error = ring_read(public_keys, &promise->ring)) != 0) return error;
        promise->signature =
            signature ? read_base64(signature, signature + strlen(signature), &promise->signature_size) : NULL;
        if (!promise->signature) return quillmoor_invalid_argument;
        /* A signature that no key of the ring could have made is no signature of that form at all. */
        for (at = 0; at < promise->ring.count; ++at)
            if (quillmoor_key_takes(promise->ring.keys[at], promise->signature, promise->signature_size)) break;
        if (at == promise->ring.count) return quillmoor_invalid_argument;
        check->verdict = signature_verdict;
    }
    return quillmoor_sha256_begin(&promise->digest);
}

/* The hand-over of `new_copy` to `updater` for `target`, or where `target` is null for the running
   executable, held to what the caller promised. */
static int hand_over_promised(const char* updater, const char* target, const char* new_copy, const char* sha256,
                              const char* signature, const char* public_keys) {
    struct promise promise;
    struct quillmoor_check check;
    int error = promise_of(sha256, signature, public_keys, &promise, &check);
    if (!error)
        error = target ? quillmoor_hand_over_file_checking(updater, target, new_copy, &check)
                       : quillmoor_hand_over_checking(new_copy, &check);
    quillmoor_sha256_free(promise.digest);
    ring_free(&promise.ring);
    free(promise.signature);
    return error;
}

int QUILLMOOR_CALL quillmoor_hand_over_checked(const char* new_copy, const char* sha256) {
    return sha256 ? hand_over_promised(NULL, NULL, new_copy, sha256, NULL, NULL) : quillmoor_invalid_argument;
}

int QUILLMOOR_CALL quillmoor_hand_over_file_checked(const char* updater, const char* target,
                                                    const char* new_copy, const char* sha256) {
    if (!sha256 || !target) return quillmoor_invalid_argument;
    return hand_over_promised(updater, target, new_copy, sha256, NULL, NULL);
}

int QUILLMOOR_CALL quillmoor_hand_over_signed(const char* new_copy, const char* signature,
                                              const char* public_keys) {
    return hand_over_promised(NULL, NULL, new_copy, NULL, signature, public_keys);
}

int QUILLMOOR_CALL quillmoor_hand_over_file_signed(const char* updater, const char* target,
                                                   const char* new_copy, const char* signature,
                                                   const char* public_keys) {
    if (!target) return quillmoor_invalid_argument;
    return hand_over_promised(updater, target, new_copy, NULL, signature, public_keys);
}

/* The hand-over held to the publisher of `target`'s signature, or with `running` of the running
   executable's. */
static int hand_over_same_publisher(const char* updater, const char* target, int running, const char* new_copy) {
    struct quillmoor_publisher* publisher = NULL;
    struct quillmoor_check check;
    int error = quillmoor_publisher_of(running ? NULL : target, running, &publisher);
    check.feed = NULL;
    check.verdict = quillmoor_publisher_verdict;
    check.state = publisher;
    if (!error)
        error = running ? quillmoor_hand_over_checking(new_copy, &check)
                        : quillmoor_hand_over_file_checking(updater, target, new_copy, &check);
    quillmoor_publisher_free(publisher);
    return error;
}

int QUILLMOOR_CALL quillmoor_hand_over_same_publisher(const char* new_copy) {
    return hand_over_same_publisher(NULL, NULL, 1, new_copy);
}

int QUILLMOOR_CALL quillmoor_hand_over_file_same_publisher(const char* updater, const char* target,
                                                           const char* new_copy) {
    return hand_over_same_publisher(updater, target, 0, new_copy);
}
