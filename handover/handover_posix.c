/* The hand-over on Linux: stages the new copy beside the target and starts the updater on it. */
#define _GNU_SOURCE /* O_TMPFILE, POSIX_SPAWN_SETSID and the closefrom action are GNU's */

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "check.h"
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

/* Our own path at any length, while it still names the program that runs: once that file has been
   replaced or removed, the link reads "<path> (deleted)", and the path may hold a newer copy than
   the download, so there is no right name to guess. */
static int own_path(char** path) {
    size_t size = 256;
    struct stat running;
    for (;;) {
        char* buffer = malloc(size);
        ssize_t length;
        if (!buffer) return ENOMEM;
        length = readlink("/proc/self/exe", buffer, size);
        if (length >= 0 && (size_t)length < size) {
            buffer[length] = '\0';
            if (stat("/proc/self/exe", &running) == 0 && is_same_file(buffer, &running)) {
                *path = buffer;
                return 0;
            }
            free(buffer);
            return ESTALE;
        }
        free(buffer);
        if (length < 0) return errno;
        size *= 2; /* it may have been cut short */
    }
}

/* Reads `from` to its end into `to`, each piece through `check` where it has a feed. */
static int copy_bytes(int from, int to, const struct quillmoor_check* check) {
    enum { chunk = 1 << 16 };
    char* buffer = malloc(chunk);
    int error = buffer ? 0 : ENOMEM;
    while (!error) {
        ssize_t got = read(from, buffer, chunk), done = 0;
        if (got == 0) break;
        if (got < 0 && errno != EINTR) error = errno;
        if (!error && got > 0 && check && check->feed) error = check->feed(check->state, buffer, (size_t)got);
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

/* Writes all of `source` into `copy`, checked, and to disk. The rename or link that names it keeps
   its bits: the target's own, or where there is none 0755 less the umask, from its creation. */
static int fill(int source, int copy, const char* target, const struct quillmoor_check* check) {
    struct stat target_status;
    int error = 0;
    if (stat(target, &target_status) == 0 && fchmod(copy, target_status.st_mode & 0777) != 0) error = errno;
    if (!error) error = copy_bytes(source, copy, check);
    if (!error && check) error = check->verdict(check->state, copy);
    if (!error && fsync(copy) != 0) error = errno;
    return error;
}

/* Gives the unnamed file `file` the name `name`, which must be free: a link never replaces. */
static int name_unnamed(int file, const char* name) {
    char self[32];
    if (linkat(file, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno == EEXIST) return EEXIST;
    /* Without the privilege that the call above needs: through our own view of the descriptor. */
    snprintf(self, sizeof self, "/proc/self/fd/%d", file);
    return linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

/* The complete unnamed copy takes the pending name, whatever holds it now (an earlier update's
   leftover, the caller's own copy, a concurrent caller's) going first. A name that other callers
   keep taking meanwhile is busy. */
static int publish_unnamed(int file, const char* pending) {
    int attempt, error = EEXIST;
    for (attempt = 0; attempt < 4 && error == EEXIST; ++attempt) {
        error = name_unnamed(file, pending);
        if (error == EEXIST && unlink(pending) != 0 && errno != ENOENT) error = errno;
    }
    return error == EEXIST ? EBUSY : error;
}

/* The one name that a copy in progress has where the file system has no unnamed files: short, so
   that it fits beside any pending name, and fixed for each, so that an interrupted call's leftover
   is the next call's to remove. */
static char* partial_name(const char* pending) {
    const char* name = strrchr(pending, '/');
    unsigned long long hash = 0xcbf29ce484222325ULL; /* FNV-1a */
    char text[48];
    for (name = name ? name + 1 : pending; *name; ++name)
        hash = (hash ^ (unsigned char)*name) * 0x100000001b3ULL;
    snprintf(text, sizeof text, ".quillmoor-%016llx.partial", hash);
    return beside(pending, text);
}

/* Removes an interrupted call's copy at `name`. A copy that a concurrent caller is writing is locked,
   and the new copy itself may have been kept under that name: both stay. The lock is asked on a
   descriptor open for writing, which NFS requires of an exclusive one, and only where writing is
   refused on one open for reading. */
static int remove_leftover(const char* name, const struct stat* source_status) {
    struct stat status;
    int error = 0, file = open(name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0 && errno != ENOENT) file = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) return errno == ENOENT ? 0 : errno;
    if (flock(file, LOCK_EX | LOCK_NB) != 0)
        error = errno == EWOULDBLOCK ? EBUSY : errno;
    else if (fstat(file, &status) != 0)
        error = errno;
    else if (status.st_dev == source_status->st_dev && status.st_ino == source_status->st_ino)
        error = EINVAL;
    else if (is_same_file(name, &status) && unlink(name) != 0)
        error = errno;
    close(file);
    return error;
}

/* Creates the copy at `name`, locked while it is open, so that no other caller writes into it or
   takes it for a leftover. */
static int create_locked(const char* name, const struct stat* source_status, int* copy) {
    int attempt, error;
    for (attempt = 0; attempt < 4; ++attempt) {
        struct stat status;
        int file = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755);
        if (file < 0) {
            if (errno != EEXIST) return errno;
            if ((error = remove_leftover(name, source_status)) != 0) return error;
            continue;
        }
        /* Another caller may have taken it for a leftover before our lock. */
        if (flock(file, LOCK_EX | LOCK_NB) == 0 && fstat(file, &status) == 0 && is_same_file(name, &status)) {
            *copy = file;
            return 0;
        }
        close(file);
    }
    return EBUSY;
}

/* The copy written under a name of its own, locked, then renamed to the pending name; `staged` gets
   what took that name. */
static int stage_named(int source, const struct stat* source_status, const char* target, const char* pending,
                       const struct quillmoor_check* check, struct stat* staged) {
    char* partial = partial_name(pending);
    int copy = -1, error = partial ? create_locked(partial, source_status, &copy) : ENOMEM;
    if (!error) error = fill(source, copy, target, check);
    if (!error && fstat(copy, staged) != 0) error = errno;
    if (!error && rename(partial, pending) != 0) error = errno;
    if (error && copy >= 0) unlink(partial);
    if (copy >= 0) close(copy); /* the lock goes only once the name has */
    free(partial);
    return error;
}

/* Makes the open file `source` the pending copy, whatever the pending name holds now (the caller's
   own copy included: what takes the name is always a copy that this call wrote and checked). Its
   bytes reach the disk before it takes the pending name, so no partial copy ever carries that name;
   where the file system allows, it has no name at all until then, so a call killed halfway leaves
   nothing behind. `staged` gets what took the name. */
static int stage(int source, const struct stat* source_status, const char* target, const char* pending,
                 const struct quillmoor_check* check, struct stat* staged) {
    char* folder = beside(target, ".");
    int copy = -1, error = folder ? 0 : ENOMEM;
#ifdef O_TMPFILE
    if (!error) copy = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0755);
#endif
    if (!error && copy >= 0) {
        error = fill(source, copy, target, check);
        if (!error && fstat(copy, staged) != 0) error = errno;
        if (!error) error = publish_unnamed(copy, pending);
        /* Where it can't be named (no privilege for the first link, no /proc for the second), the
           copy, checked already, goes the named road. */
        if ((error == ENOENT || error == EPERM) && lseek(copy, 0, SEEK_SET) == 0)
            error = stage_named(copy, source_status, target, pending, NULL, staged);
        close(copy);
    } else if (!error) {
        error = stage_named(source, source_status, target, pending, check, staged);
    }
    if (!error) {
        /* The name reaches the disk too before the updater acts on it. A folder that may be written
           but not read can't be opened for that; the name is there all the same. */
        int folder_file = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder_file >= 0) {
            fsync(folder_file);
            close(folder_file);
        }
    }
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

int quillmoor_hand_over_file_checking(const char* updater, const char* target, const char* new_copy,
                                      const struct quillmoor_check* check) {
    struct stat status, staged;
    char* pending;
    int source, made = 0, was_pending = 0, error = 0;
    size_t length = target ? strlen(target) : 0;
    if (!updater || !new_copy || length == 0 || target[length - 1] == '/') return EINVAL;
    /* A file can't take a folder's place. */
    if (stat(target, &status) == 0 && S_ISDIR(status.st_mode)) return EISDIR;
    if (!(pending = joined(target, "~"))) return ENOMEM;
    /* Non-blocking, or a pipe in the new copy's place would hold the open for good. */
    source = open(new_copy, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (source < 0 || fstat(source, &status) != 0)
        error = errno;
    else if (!S_ISREG(status.st_mode))
        error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    else {
        was_pending = is_same_file(pending, &status);
        made = (error = stage(source, &status, target, pending, check, &staged)) == 0;
    }
    if (source >= 0) close(source);
    if (!error) error = start(updater, pending);
    /* Only the copy that this call staged from another file goes: a later caller's may have taken the
       name since, and one staged from the pending copy holds the caller's only copy of the download. */
    if (error && made && !was_pending && is_same_file(pending, &staged)) unlink(pending);
    free(pending);
    return error;
}

int QUILLMOOR_CALL quillmoor_hand_over_file(const char* updater, const char* target, const char* new_copy) {
    return quillmoor_hand_over_file_checking(updater, target, new_copy, NULL);
}

int quillmoor_hand_over_checking(const char* new_copy, const struct quillmoor_check* check) {
    char* self = NULL;
    char* updater = NULL;
    int error = own_path(&self);
    if (!error) error = (updater = beside(self, "quillmoor-updater")) ? 0 : ENOMEM;
    if (!error) error = quillmoor_hand_over_file_checking(updater, self, new_copy, check);
    free(self);
    free(updater);
    return error;
}

int QUILLMOOR_CALL quillmoor_hand_over(const char* new_copy) {
    return quillmoor_hand_over_checking(new_copy, NULL);
}
