/* The consumer's own program. Given a download, it hands it over in one call and exits; started
   without one, as the updater restarts it, it records its start in a log beside itself. */
#include <quillmoor/handover.h>
#include <stdio.h>

int main(int argc, char** argv) {
    char log[4096];
    FILE* out;
    if (argc > 1) {
        int error = quillmoor_hand_over(argv[1]);
        if (error != 0) fprintf(stderr, "hand-over failed: %d\n", error);
        return error != 0;
    }
    snprintf(log, sizeof log, "%s.log", argv[0]); /* the updater starts us by our full path */
    out = fopen(log, "a");
    return !out || fputs("started\n", out) < 0 || fclose(out) != 0;
}
