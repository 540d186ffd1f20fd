/* The consumer's own program. Given a download and its SHA-256 digest, it hands it over in one
   checked call and exits; started without them, as the updater restarts it, it records its start in
   a log beside itself. On Windows it calls the library's DLL, loaded from its own folder through the
   header's pointer types; elsewhere it links the library. */
#include <quillmoor/handover.h>
#include <stdio.h>

#ifdef _WIN32
#include <windows.h>

static int hand_over_checked(const char* new_copy, const char* sha256) {
    /* From our own folder only, and its own imports from the system's. */
    HMODULE library = LoadLibraryExW(L"quillmoor-handover.dll", NULL,
                                     LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    quillmoor_hand_over_checked_fn call =
        library ? (quillmoor_hand_over_checked_fn)(void (*)(void))GetProcAddress(library, "quillmoor_hand_over_checked")
                : NULL;
    return call ? call(new_copy, sha256) : (int)GetLastError();
}
#else
#define hand_over_checked quillmoor_hand_over_checked
#endif

int main(int argc, char** argv) {
    char log[4096];
    FILE* out;
    if (argc > 2) {
        int error = hand_over_checked(argv[1], argv[2]);
        if (error != 0) fprintf(stderr, "hand-over failed: %d\n", error);
        return error != 0;
    }
    snprintf(log, sizeof log, "%s.log", argv[0]); /* the updater starts us by our full path */
    out = fopen(log, "a");
    return !out || fputs("started\n", out) < 0 || fclose(out) != 0;
}
