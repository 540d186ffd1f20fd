/* The physical floor of the native road: one rename and one process start, no checks, no pause.
   The native updater's start to restart is reported as a ratio to this program's. */
#include <spawn.h>
#include <stdio.h>
#include <string.h>

extern char** environ;

int main(int argc, char** argv) {
    if (argc < 2) return 0;
    /* The target is the pending path less its last character. */
    char target[4096];
    const size_t length = strlen(argv[1]);
    if (length == 0 || length >= sizeof target) return 0;
    memcpy(target, argv[1], length - 1);
    target[length - 1] = '\0';
    rename(argv[1], target);
    char* arguments[] = {target, NULL};
    pid_t child;
    posix_spawn(&child, target, NULL, NULL, arguments, environ);
    return 0;
}
