/* The system's cryptography on Linux: OpenSSL's libcrypto. Only OpenSSL's vocabulary lives here. */
#include <errno.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <string.h>

#include "check.h"
#include "quillmoor/handover.h"

const int quillmoor_invalid_argument = EINVAL;
const int quillmoor_out_of_memory = ENOMEM;

struct quillmoor_sha256 {
    EVP_MD_CTX* context;
};

int quillmoor_sha256_begin(struct quillmoor_sha256** digest) {
    if (!(*digest = malloc(sizeof **digest))) return ENOMEM;
    if (!((*digest)->context = EVP_MD_CTX_new())) return ENOMEM;
    return EVP_DigestInit_ex((*digest)->context, EVP_sha256(), NULL) ? 0 : EIO;
}

int quillmoor_sha256_add(struct quillmoor_sha256* digest, const void* bytes, size_t size) {
    return EVP_DigestUpdate(digest->context, bytes, size) ? 0 : EIO;
}

int quillmoor_sha256_end(struct quillmoor_sha256* digest, unsigned char value[32]) {
    unsigned int length = 0;
    return EVP_DigestFinal_ex(digest->context, value, &length) && length == 32 ? 0 : EIO;
}

void quillmoor_sha256_free(struct quillmoor_sha256* digest) {
    if (digest) EVP_MD_CTX_free(digest->context);
    free(digest);
}

struct quillmoor_key {
    EVP_PKEY* key;
    int elliptic;
};

int quillmoor_key_read(const unsigned char* der, size_t size, struct quillmoor_key** key) {
    const unsigned char* at = der;
    EVP_PKEY* read = d2i_PUBKEY(NULL, &at, (long)size);
    char curve[32] = "";
    int taken = 0;
    *key = NULL;
    /* One whole key, nothing after it; and of a kind and size taken. */
    if (read && at == der + size) {
        if (EVP_PKEY_get_base_id(read) == EVP_PKEY_EC)
            taken = EVP_PKEY_get_group_name(read, curve, sizeof curve, NULL) && strcmp(curve, SN_X9_62_prime256v1) == 0;
        else if (EVP_PKEY_get_base_id(read) == EVP_PKEY_RSA)
            taken = EVP_PKEY_get_bits(read) >= 2048 && EVP_PKEY_get_bits(read) <= 4096;
    }
    if (taken && (*key = malloc(sizeof **key)) != NULL) {
        (*key)->key = read;
        (*key)->elliptic = EVP_PKEY_get_base_id(read) == EVP_PKEY_EC;
        return 0;
    }
    EVP_PKEY_free(read);
    return taken ? ENOMEM : EINVAL;
}

int quillmoor_key_takes(const struct quillmoor_key* key, const unsigned char* signature, size_t size) {
    const unsigned char* at = signature;
    ECDSA_SIG* read;
    int taken;
    if (!key->elliptic) return size == (size_t)EVP_PKEY_get_size(key->key);
    /* DER, as OpenSSL checks it: exactly its own encoding of the two numbers, each within the curve's
       256 bits. */
    read = d2i_ECDSA_SIG(NULL, &at, (long)size);
    taken = read && at == signature + size && BN_num_bits(ECDSA_SIG_get0_r(read)) <= 256 &&
            BN_num_bits(ECDSA_SIG_get0_s(read)) <= 256 && i2d_ECDSA_SIG(read, NULL) == (int)size;
    ECDSA_SIG_free(read);
    return taken;
}

int quillmoor_key_verify(const struct quillmoor_key* key, const unsigned char digest[32],
                         const unsigned char* signature, size_t size) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key->key, NULL);
    int verified = context && EVP_PKEY_verify_init(context) > 0 &&
                   EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) > 0 &&
                   (key->elliptic || EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) > 0);
    int error = !context ? ENOMEM : !verified ? EIO : 0;
    if (!error) error = EVP_PKEY_verify(context, signature, size, digest, 32) == 1 ? 0 : QUILLMOOR_SIGNATURE_INVALID;
    EVP_PKEY_CTX_free(context);
    return error;
}

void quillmoor_key_free(struct quillmoor_key* key) {
    if (key) EVP_PKEY_free(key->key);
    free(key);
}

/* Authenticode is Windows' own: nothing here has a publisher to compare. */
int quillmoor_publisher_of(const char* target, int running, struct quillmoor_publisher** publisher) {
    (void)target;
    (void)running;
    *publisher = NULL;
    return ENOTSUP;
}

int quillmoor_publisher_verdict(void* publisher, intptr_t staged_copy) {
    (void)publisher;
    (void)staged_copy;
    return ENOTSUP;
}

void quillmoor_publisher_free(struct quillmoor_publisher* publisher) {
    (void)publisher;
}
