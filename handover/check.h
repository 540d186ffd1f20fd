/* Between the hand-over and a check of the new copy's bytes; private to the library. */
#ifndef QUILLMOOR_HANDOVER_CHECK_H
#define QUILLMOOR_HANDOVER_CHECK_H

#include <stddef.h>
#include <string.h>

/* A check of the new copy's bytes, fed in the order they are read. `feed` returns 0 or an error
   code that ends the call; `verdict`, once every byte is in, returns 0 when they are the promised
   ones, else QUILLMOOR_DIGEST_MISMATCH or an error code. */
struct quillmoor_check {
    int (*feed)(void* state, const void* bytes, size_t size);
    int (*verdict)(void* state);
    void* state;
};

/* quillmoor_hand_over and quillmoor_hand_over_file, with every byte of the new copy checked as it is
   staged (where it already is the pending copy, as it is read in place) before it takes the
   pending name and before the updater starts. A null check checks nothing. */
int quillmoor_hand_over_checking(const char* new_copy, const struct quillmoor_check* check);
int quillmoor_hand_over_file_checking(const char* updater, const char* target, const char* new_copy,
                                      const struct quillmoor_check* check);

/* The 32 bytes that 64 hexadecimal digits of either case spell, into `digest`; 0 when `text` is
   anything else. */
static inline int quillmoor_read_digest(const char* text, unsigned char digest[32]) {
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

#endif
