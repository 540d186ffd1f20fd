/* Between the hand-over and a check of the new copy's bytes; private to the library. */
#ifndef QUILLMOOR_HANDOVER_CHECK_H
#define QUILLMOOR_HANDOVER_CHECK_H

#include <stddef.h>

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

#endif
