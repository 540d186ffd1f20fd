/* The publisher of a signed executable on Windows: its Authenticode signer, as WinVerifyTrust finds it
   (wintrust.dll, crypt32.dll). */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "check.h"
#include "quillmoor/handover.h"

int quillmoor_publisher_of(const char* target, int running, struct quillmoor_publisher** publisher) {
    (void)target;
    (void)running;
    *publisher = NULL;
    return ERROR_NOT_SUPPORTED;
}

int quillmoor_publisher_verdict(void* publisher, intptr_t staged_copy) {
    (void)publisher;
    (void)staged_copy;
    return ERROR_NOT_SUPPORTED;
}

void quillmoor_publisher_free(struct quillmoor_publisher* publisher) {
    (void)publisher;
}
