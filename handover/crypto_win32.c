/* The system's cryptography on Windows: CNG (bcrypt.dll) and CryptoAPI (crypt32.dll). Only Windows'
   vocabulary lives here. */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
/* After windows.h, which they rely on. */
#include <bcrypt.h>
#include <stdlib.h>
#include <string.h>
#include <wincrypt.h>

#ifndef BCRYPT_SUCCESS /* some headers lack it */
#define BCRYPT_SUCCESS(status) ((NTSTATUS)(status) >= 0)
#endif
#ifndef CRYPT_OID_INFO_PUBKEY_SIGN_KEY_FLAG /* Wine's headers lack it */
#define CRYPT_OID_INFO_PUBKEY_SIGN_KEY_FLAG 0x80000000u
#endif

#include "check.h"
#include "quillmoor/handover.h"

const int quillmoor_invalid_argument = ERROR_INVALID_PARAMETER;
const int quillmoor_out_of_memory = ERROR_NOT_ENOUGH_MEMORY;

/* A failure of CNG as a system error code: none is likely, as what it is asked for needs nothing but
   memory. */
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
    int elliptic;
    size_t modulus_size; /* RSA: the modulus' length in bytes, which is every signature's */
};

/* Whether `der` is one DER value with nothing after it: CryptoAPI's decoder ignores what follows a
   value, where OpenSSL's reader would have refused it, so the length in its header must end the input. */
static int whole_value(const unsigned char* der, size_t size) {
    size_t length = 0, header = 2, at;
    if (size < 2) return 0;
    if (der[1] < 0x80) {
        length = der[1];
    } else {
        header += der[1] & 0x7Fu;
        if (header == 2 || header > 6 || header > size) return 0;
        for (at = 2; at < header; ++at) length = length << 8 | der[at];
    }
    return length == size - header;
}

/* The bits of the RSA modulus of `key` (to its highest set bit, as OpenSSL counts them), from the
   public numbers CNG holds: Wine's CNG does not say the key's strength. 0 where it cannot be read. */
static size_t modulus_bits(BCRYPT_KEY_HANDLE key) {
    ULONG size = 0;
    unsigned char* blob;
    const BCRYPT_RSAKEY_BLOB* header;
    size_t bits = 0;
    if (!BCRYPT_SUCCESS(BCryptExportKey(key, NULL, BCRYPT_RSAPUBLIC_BLOB, NULL, 0, &size, 0)) ||
        size < sizeof *header || !(blob = malloc(size)))
        return 0;
    header = (const BCRYPT_RSAKEY_BLOB*)(void*)blob;
    if (BCRYPT_SUCCESS(BCryptExportKey(key, NULL, BCRYPT_RSAPUBLIC_BLOB, blob, size, &size, 0)) &&
        (size_t)header->cbPublicExp + header->cbModulus <= size - sizeof *header) {
        const unsigned char* modulus = blob + sizeof *header + header->cbPublicExp;
        size_t length = header->cbModulus;
        unsigned int top;
        while (length > 0 && *modulus == 0) ++modulus, --length;
        if (length > 0)
            for (bits = length * 8, top = *modulus; !(top & 0x80u); top <<= 1) --bits;
    }
    free(blob);
    return bits;
}

int quillmoor_key_read(const unsigned char* der, size_t size, struct quillmoor_key** key) {
    /* The named curve P-256, as DER writes its object identifier: the one curve taken. */
    static const unsigned char p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    CERT_PUBLIC_KEY_INFO* info = NULL;
    DWORD info_size = 0;
    BCRYPT_KEY_HANDLE handle = NULL;
    int elliptic = 0, taken = 0;
    size_t bits = 0;
    *key = NULL;
    if (size > MAXDWORD || !whole_value(der, size) ||
        !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der, (DWORD)size,
                             CRYPT_DECODE_ALLOC_FLAG, NULL, &info, &info_size))
        return ERROR_INVALID_PARAMETER;
    if (strcmp(info->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) == 0) {
        elliptic = 1;
        taken = info->Algorithm.Parameters.cbData == sizeof p256 &&
                memcmp(info->Algorithm.Parameters.pbData, p256, sizeof p256) == 0;
    } else {
        taken = strcmp(info->Algorithm.pszObjId, szOID_RSA_RSA) == 0;
    }
    /* Imported as a key that verifies: CryptoAPI would take an elliptic key for key agreement too. */
    if (taken)
        taken = CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, info, CRYPT_OID_INFO_PUBKEY_SIGN_KEY_FLAG,
                                            NULL, &handle);
    LocalFree(info);
    if (taken && !elliptic) taken = (bits = modulus_bits(handle)) >= 2048 && bits <= 4096;
    if (taken && (*key = malloc(sizeof **key)) != NULL) {
        (*key)->key = handle;
        (*key)->elliptic = elliptic;
        (*key)->modulus_size = (bits + 7) / 8;
        return 0;
    }
    if (handle) BCryptDestroyKey(handle);
    return taken ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER;
}

/* A number of an ECDSA signature, which CryptoAPI gives little-endian, as CNG takes it: 32 bytes,
   big-endian. Returns how many bytes it needs without its leading zeros: more than 32 where it does
   not fit, and then `value` is untouched. */
static size_t big_endian(const CRYPT_UINT_BLOB* number, unsigned char value[32]) {
    size_t needed = number->cbData, at;
    while (needed > 0 && number->pbData[needed - 1] == 0) --needed;
    if (needed > 32) return needed;
    memset(value, 0, 32);
    for (at = 0; at < needed; ++at) value[31 - at] = number->pbData[at];
    return needed;
}

/* Appends DER's one encoding of the non-negative INTEGER whose `needed` big-endian bytes end `value`:
   a zero byte first where the highest bit is set, so that it does not read as negative, and for 0. */
static size_t der_integer(unsigned char* out, const unsigned char value[32], size_t needed) {
    const size_t sign = needed == 0 || (value[32 - needed] & 0x80u) ? 1 : 0;
    out[0] = 0x02;
    out[1] = (unsigned char)(needed + sign);
    if (sign) out[2] = 0;
    memcpy(out + 2 + sign, value + 32 - needed, needed);
    return 2 + sign + needed;
}

/* r and s of a DER ECDSA-Sig-Value, 32 bytes each, into `rs` as CNG takes them; 0 where `signature`
   is not exactly DER's encoding of two numbers within 256 bits. CryptoAPI's decoder takes more
   (bytes after it, other length forms, a sign byte missing or one too many), which OpenSSL refuses:
   the bytes are held to the encoding made again of the numbers it read. */
static int read_ecdsa(const unsigned char* signature, size_t size, unsigned char rs[64]) {
    CERT_ECC_SIGNATURE* read = NULL;
    DWORD read_size = 0;
    unsigned char again[2 + 2 * 35];
    size_t r_needed, s_needed, length = 2;
    if (size > sizeof again ||
        !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ECC_SIGNATURE, signature, (DWORD)size,
                             CRYPT_DECODE_ALLOC_FLAG, NULL, &read, &read_size))
        return 0;
    r_needed = big_endian(&read->r, rs);
    s_needed = big_endian(&read->s, rs + 32);
    LocalFree(read);
    if (r_needed > 32 || s_needed > 32) return 0;
    length += der_integer(again + length, rs, r_needed);
    length += der_integer(again + length, rs + 32, s_needed);
    again[0] = 0x30;
    again[1] = (unsigned char)(length - 2);
    return length == size && memcmp(again, signature, size) == 0;
}

int quillmoor_key_takes(const struct quillmoor_key* key, const unsigned char* signature, size_t size) {
    unsigned char rs[64];
    return key->elliptic ? read_ecdsa(signature, size, rs) : size == key->modulus_size;
}

int quillmoor_key_verify(const struct quillmoor_key* key, const unsigned char digest[32],
                         const unsigned char* signature, size_t size) {
    BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
    unsigned char rs[64];
    NTSTATUS status;
    /* CNG takes what it only reads as writable, by its declarations. */
    if (key->elliptic) {
        if (!read_ecdsa(signature, size, rs)) return ERROR_INVALID_PARAMETER;
        status = BCryptVerifySignature(key->key, NULL, (PUCHAR)(ULONG_PTR)digest, 32, rs, sizeof rs, 0);
    } else {
        if (size != key->modulus_size) return ERROR_INVALID_PARAMETER;
        status = BCryptVerifySignature(key->key, &padding, (PUCHAR)(ULONG_PTR)digest, 32,
                                       (PUCHAR)(ULONG_PTR)signature, (ULONG)size, BCRYPT_PAD_PKCS1);
    }
    if (status == (NTSTATUS)0xC000A000L /* STATUS_INVALID_SIGNATURE */) return QUILLMOOR_SIGNATURE_INVALID;
    return BCRYPT_SUCCESS(status) ? 0 : failure(status);
}

void quillmoor_key_free(struct quillmoor_key* key) {
    if (key && key->key) BCryptDestroyKey(key->key);
    free(key);
}
