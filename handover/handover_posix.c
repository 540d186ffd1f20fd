/* The hand-over on Linux: stages the new copy beside the target and starts the updater on it. */
#define _GNU_SOURCE /* POSIX_SPAWN_SETSID and the closefrom action are GNU's */

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quillmoor/handover.h"

extern char** environ;

/* `a` followed by `b`, in memory of its own; NULL when there is none. */
static char* joined(const char* a, const char* b) {
    size_t a_length = strlen(a), b_length = strlen(b);
    char* text = malloc(a_length + b_length + 1);
    if (text) {
        memcpy(text, a, a_length);
        memcpy(text + a_length, b, b_length + 1);
    }
    return text;
}

/* The path of `name` in the folder that holds `path`. */
static char* beside(const char* path, const char* name) {
    const char* slash = strrchr(path, '/');
    size_t folder = slash ? (size_t)(slash - path) + 1 : 0, length = strlen(name);
    char* text = malloc(folder + length + 1);
    if (text) {
        memcpy(text, path, folder);
        memcpy(text + folder, name, length + 1);
    }
    return text;
}

/* Whether `path` itself, not what a link there points to, is the open file with status `file`. */
static int is_same_file(const char* path, const struct stat* file) {
    struct stat other;
    return lstat(path, &other) == 0 && other.st_dev == file->st_dev && other.st_ino == file->st_ino;
}

static int own_path(char** path) {
    size_t size = 256;
    for (;;) {
        char* buffer = malloc(size);
        ssize_t length;
        if (!buffer) return ENOMEM;
        length = readlink("/proc/self/exe", buffer, size);
        if (length >= 0 && (size_t)length < size) {
            buffer[length] = '\0';
            *path = buffer;
            return 0;
        }
        free(buffer);
        if (length < 0) return errno;
        size *= 2; /* it may have been cut short */
    }
}

static int copy_bytes(int from, int to) {
    enum { chunk = 1 << 16 };
    char* buffer = malloc(chunk);
    int error = buffer ? 0 : ENOMEM;
    while (!error) {
        ssize_t got = read(from, buffer, chunk), done = 0;
        if (got == 0) break;
        if (got < 0 && errno != EINTR) error = errno;
        while (!error && done < got) {
            ssize_t put = write(to, buffer + done, (size_t)(got - done));
            if (put >= 0)
                done += put;
            else if (errno != EINTR)
                error = errno;
        }
    }
    free(buffer);
    return error;
}

/* Makes the open file `source` the pending copy: the bytes go to a temporary beside the target, to
   disk, and only then to the pending name, so no partial copy ever carries that name. */
static int stage(int source, const struct stat* source_status, const char* target, const char* pending) {
    /* A name of this process's own: a concurrent caller could otherwise remove our copy and put a
       partial one of its own in its place just before our rename. A leftover of that name is an
       interrupted earlier call's, in a process that had our id. */
    char suffix[32];
    char* partial;
    char* folder = beside(target, ".");
    struct stat target_status;
    int to = -1, folder_file, error;
    snprintf(suffix, sizeof suffix, ".%ld.partial", (long)getpid());
    partial = joined(pending, suffix);
    error = partial && folder ? 0 : ENOMEM;
    /* Clearing a leftover of that name would lose a new copy kept there. */
    if (!error && is_same_file(partial, source_status)) error = EINVAL;
    if (!error) {
        unlink(partial);
        to = open(partial, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
        if (to < 0) error = errno;
    }
    /* The rename keeps these bits: the target's own, or where there is none 0755 less the umask. */
    if (!error && stat(target, &target_status) == 0 && fchmod(to, target_status.st_mode & 0777) != 0)
        error = errno;
    if (!error) error = copy_bytes(source, to);
    if (!error && fsync(to) != 0) error = errno;
    if (to >= 0 && close(to) != 0 && !error) error = errno;
    if (!error && rename(partial, pending) != 0) error = errno;
    if (error && to >= 0) unlink(partial);
    if (!error) {
        /* The rename reaches the disk too before the updater acts on it. */
        folder_file = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder_file < 0 || (fsync(folder_file) != 0 && errno != EINVAL)) {
            error = errno;
            unlink(pending);
        }
        if (folder_file >= 0) close(folder_file);
    }
    free(partial);
    free(folder);
    return error;
}

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
static int close_beyond_standard(posix_spawn_file_actions_t* actions) {
    return posix_spawn_file_actions_addclosefrom_np(actions, 3);
}
#else
/* Where the C library has no action for it, one close for each descriptor open now. */
static int close_beyond_standard(posix_spawn_file_actions_t* actions) {
    DIR* open_files = opendir("/proc/self/fd");
    struct dirent* entry;
    int error = open_files ? 0 : errno;
    while (!error && (entry = readdir(open_files)) != NULL) {
        int fd = atoi(entry->d_name);
        if (fd > 2 && fd != dirfd(open_files)) error = posix_spawn_file_actions_addclose(actions, fd);
    }
    if (open_files) closedir(open_files);
    return error;
}
#endif

/* Starts the updater on the pending copy without waiting for it: in a session of its own, so that
   closing the application's terminal does not end it halfway; with the signals of a fresh program;
   and with nothing of ours open but standard input, output and error. */
static int start(const char* updater, const char* pending) {
    char* arguments[3];
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    sigset_t signals;
    pid_t child;
    int error;
    arguments[0] = (char*)updater;
    arguments[1] = (char*)pending;
    arguments[2] = NULL;
    if ((error = posix_spawnattr_init(&attributes)) != 0) return error;
    if ((error = posix_spawn_file_actions_init(&actions)) != 0) {
        posix_spawnattr_destroy(&attributes);
        return error;
    }
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    error = posix_spawnattr_setflags(
        &attributes, (short)(POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    if (!error) error = close_beyond_standard(&actions);
    if (!error) error = posix_spawn(&child, updater, &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error;
}

int quillmoor_hand_over_file(const char* updater, const char* target, const char* new_copy) {
    struct stat status;
    char* pending;
    int source, staged = 0, error = 0;
    size_t length = target ? strlen(target) : 0;
    if (!updater || !new_copy || length == 0 || target[length - 1] == '/') return EINVAL;
    if (!(pending = joined(target, "~"))) return ENOMEM;
    /* Non-blocking, or a pipe in the new copy's place would hold the open for good. */
    source = open(new_copy, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (source < 0 || fstat(source, &status) != 0)
        error = errno;
    else if (!S_ISREG(status.st_mode))
        error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    else if (!is_same_file(pending, &status)) /* else the caller has staged it already */
        staged = (error = stage(source, &status, target, pending)) == 0;
    if (source >= 0) close(source);
    if (!error) error = start(updater, pending);
    if (error && staged) unlink(pending);
    free(pending);
    return error;
}

int quillmoor_hand_over(const char* new_copy) {
    char* self = NULL;
    char* updater = NULL;
    int error = own_path(&self);
    if (!error) error = (updater = beside(self, "quillmoor-updater")) ? 0 : ENOMEM;
    if (!error) error = quillmoor_hand_over_file(updater, self, new_copy);
    free(self);
    free(updater);
    return error;
}
