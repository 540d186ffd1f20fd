/* Times the hand-over of one new copy, unchecked, checked and signed (by each key given), and the
   SHA-256 digest alone over the same bytes in memory, with the system's own cryptography (libcrypto,
   CNG). Usage: checked NEW_COPY TARGET SHA256 RUNS [SIGNATURE_FILE KEYS_FILE]...; prints the medians
   in milliseconds: unchecked, checked, the digest alone, each signed one, then for each key the median
   of what its signed call took beyond the checked call of the same turn. Given one argument, it plays
   the updater that the hand-over starts, and ends at once. */
#define _POSIX_C_SOURCE 200809L /* clock_gettime */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quillmoor/handover.h"

#ifdef _WIN32
#include <windows.h>
/* After windows.h, which it relies on. */
#include <bcrypt.h>

static double now_ms(void) {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (double)count.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

static void digest(const unsigned char* bytes, size_t size, unsigned char result[32]) {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0);
    BCryptCreateHash(algorithm, &hash, NULL, 0, NULL, 0, 0);
    BCryptHashData(hash, (PUCHAR)bytes, (ULONG)size, 0);
    BCryptFinishHash(hash, result, 32, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
}
#else
#include <openssl/evp.h>
#include <time.h>

static double now_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6;
}

static void digest(const unsigned char* bytes, size_t size, unsigned char result[32]) {
    unsigned int length = 32;
    EVP_Digest(bytes, size, result, &length, EVP_sha256(), NULL);
}
#endif

static int by_value(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static double median(double* values, int count) {
    qsort(values, (size_t)count, sizeof *values, by_value);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

/* The whole content of a text file, or NULL. */
static char* text_of(const char* path) {
    FILE* file = fopen(path, "rb");
    char* text = NULL;
    long size;
    if (file && fseek(file, 0, SEEK_END) == 0 && (size = ftell(file)) >= 0 && fseek(file, 0, SEEK_SET) == 0 &&
        (text = calloc(1, (size_t)size + 1)) != NULL && fread(text, 1, (size_t)size, file) != (size_t)size) {
        free(text);
        text = NULL;
    }
    if (file) fclose(file);
    return text;
}

int main(int argc, char** argv) {
    enum { most_runs = 64, most_keys = 4 };
    double unchecked[most_runs], checked[most_runs], alone[most_runs], signed_by[most_keys][most_runs], begun;
    char* signatures[most_keys];
    char* keys[most_keys];
    unsigned char result[32], *bytes;
    char pending[4096];
    long size;
    int runs, run, key, key_count = (argc - 5) / 2;
    FILE* file;
    if (argc == 2) return 0; /* started as the updater */
    if (argc < 5 || (argc - 5) % 2 || key_count > most_keys || (runs = atoi(argv[4])) < 1 || runs > most_runs) {
        fprintf(stderr, "usage: checked NEW_COPY TARGET SHA256 RUNS (1 to %d) [SIGNATURE_FILE KEYS_FILE]...\n",
                most_runs);
        return 2;
    }
    for (key = 0; key < key_count; ++key) {
        if (!(signatures[key] = text_of(argv[5 + 2 * key])) || !(keys[key] = text_of(argv[6 + 2 * key]))) {
            fprintf(stderr, "cannot read %s or %s\n", argv[5 + 2 * key], argv[6 + 2 * key]);
            return 1;
        }
    }
    snprintf(pending, sizeof pending, "%s~", argv[2]);
    /* The same bytes in memory, for the digest alone. */
    if (!(file = fopen(argv[1], "rb")) || fseek(file, 0, SEEK_END) != 0 || (size = ftell(file)) < 0 ||
        !(bytes = malloc((size_t)size + 1)) || fseek(file, 0, SEEK_SET) != 0 ||
        fread(bytes, 1, (size_t)size, file) != (size_t)size) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    fclose(file);
    /* Taken in turns, so that whatever else the machine does falls on both alike. */
    for (run = 0; run < runs; ++run) {
        int error;
        remove(pending);
        begun = now_ms();
        error = quillmoor_hand_over_file(argv[0], argv[2], argv[1]);
        unchecked[run] = now_ms() - begun;
        remove(pending);
        begun = now_ms();
        error |= quillmoor_hand_over_file_checked(argv[0], argv[2], argv[1], argv[3]);
        checked[run] = now_ms() - begun;
        begun = now_ms();
        digest(bytes, (size_t)size, result);
        alone[run] = now_ms() - begun;
        for (key = 0; key < key_count; ++key) {
            remove(pending);
            begun = now_ms();
            error |= quillmoor_hand_over_file_signed(argv[0], argv[2], argv[1], signatures[key], keys[key]);
            signed_by[key][run] = now_ms() - begun;
        }
        if (error) {
            fprintf(stderr, "a hand-over failed: %d\n", error);
            return 1;
        }
    }
    remove(pending);
    printf("%.1f %.1f %.1f", median(unchecked, runs), median(checked, runs), median(alone, runs));
    for (key = 0; key < key_count; ++key) printf(" %.1f", median(signed_by[key], runs));
    /* What a signature adds, run by run: each signed call against the checked one of its turn, so
       that what the disk does in one turn falls on both. */
    for (key = 0; key < key_count; ++key) {
        for (run = 0; run < runs; ++run) signed_by[key][run] -= checked[run];
        printf(" %.2f", median(signed_by[key], runs));
    }
    printf("\n");
    return 0;
}
