/* Between the hand-over, the checks of the new copy and the system's cryptography; private to the
   library. */
#ifndef QUILLMOOR_HANDOVER_CHECK_H
#define QUILLMOOR_HANDOVER_CHECK_H

#include <stddef.h>
#include <stdint.h>

/* A check of the new copy. `feed`, where there is one, takes its bytes in the order they are read and
   returns 0 or an error code that ends the call. `verdict`, once every byte is in the staged copy and
   before that copy takes the pending name, returns 0 when the copy may be installed, else the library's
   own code or an error code. It is given the staged copy, open for reading: a HANDLE on Windows, a
   file descriptor on Linux. */
struct quillmoor_check {
    int (*feed)(void* state, const void* bytes, size_t size);
    int (*verdict)(void* state, intptr_t staged_copy);
    void* state;
};

/* quillmoor_hand_over and quillmoor_hand_over_file, with every byte of the new copy checked as it is
   staged, before it takes the pending name and before the updater starts. A null check checks
   nothing. (handover_posix.c, handover_win32.c) */
int quillmoor_hand_over_checking(const char* new_copy, const struct quillmoor_check* check);
int quillmoor_hand_over_file_checking(const char* updater, const char* target, const char* new_copy,
                                      const struct quillmoor_check* check);

/* The system's cryptography, one source per platform (crypto_posix.c, crypto_win32.c). Each call
   returns 0 or a system error code. */

/* The platform's codes for an argument that is no such text, and for memory that ran out. */
extern const int quillmoor_invalid_argument;
extern const int quillmoor_out_of_memory;

/* A SHA-256 digest taken piece by piece. `end` gives the 32 bytes; `free` takes a null digest too. */
struct quillmoor_sha256;
int quillmoor_sha256_begin(struct quillmoor_sha256** digest);
int quillmoor_sha256_add(struct quillmoor_sha256* digest, const void* bytes, size_t size);
int quillmoor_sha256_end(struct quillmoor_sha256* digest, unsigned char value[32]);
void quillmoor_sha256_free(struct quillmoor_sha256* digest);

/* A public key read from its DER SubjectPublicKeyInfo: an ECDSA key on P-256, or an RSA key of 2048
   to 4096 bits. Any other kind or size, or bytes that are no such key, give quillmoor_invalid_argument. */
struct quillmoor_key;
int quillmoor_key_read(const unsigned char* der, size_t size, struct quillmoor_key** key);
/* Whether `signature` has the form of one by `key`: a DER ECDSA-Sig-Value whose numbers fit the
   curve, or PKCS#1 v1.5 bytes as long as the RSA modulus. */
int quillmoor_key_takes(const struct quillmoor_key* key, const unsigned char* signature, size_t size);
/* 0 when `signature`, of the form `key` takes, is `key`'s over the SHA-256 digest `digest`; else
   QUILLMOOR_SIGNATURE_INVALID, or an error code. */
int quillmoor_key_verify(const struct quillmoor_key* key, const unsigned char digest[32],
                         const unsigned char* signature, size_t size);
void quillmoor_key_free(struct quillmoor_key* key);

/* The publisher of a signed executable (publisher_win32.c; Linux has none, and says ENOTSUP): the
   publisher of `target`'s own valid Authenticode signature, or with `running` of the running
   executable's; QUILLMOOR_TARGET_UNSIGNED where it has none. Its verdict holds a staged copy to it;
   `free` takes a null publisher too. */
struct quillmoor_publisher;
int quillmoor_publisher_of(const char* target, int running, struct quillmoor_publisher** publisher);
int quillmoor_publisher_verdict(void* publisher, intptr_t staged_copy);
void quillmoor_publisher_free(struct quillmoor_publisher* publisher);

/* Windows: the path of `target` (UTF-8), or where it is null of the running executable, in the form
   the file calls take at any length; the caller frees it. 0 or a system error code.
   (handover_win32.c, for publisher_win32.c) */
int quillmoor_path_of(const char* target, wchar_t** path);

#endif
