/* The hand-over on Windows: stages the new copy beside the target and starts the updater on it. */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "check.h"
#include "quillmoor/handover.h"

#ifndef ERROR_DIRECTORY_NOT_SUPPORTED
#define ERROR_DIRECTORY_NOT_SUPPORTED 336L
#endif

/* FILE_ID_INFO (Windows 8 and later), which older headers lack: the volume's serial number and the
   file's 128-bit id on it, asked for as the information class FileIdInfo. */
typedef struct {
    ULONGLONG volume;
    BYTE id[16];
} file_id;
#define FILE_ID_INFO_CLASS ((FILE_INFO_BY_HANDLE_CLASS)18)

/* The last error, never 0: a failure must not read as success, even where the system set none. */
static DWORD failure(void) {
    DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

/* `a`, `b` and `c` one after the other, in memory of its own; NULL when there is none. */
static wchar_t* joined(const wchar_t* a, const wchar_t* b, const wchar_t* c) {
    size_t a_length = wcslen(a), b_length = wcslen(b), c_length = wcslen(c);
    wchar_t* text = malloc((a_length + b_length + c_length + 1) * sizeof *text);
    if (text) {
        memcpy(text, a, a_length * sizeof *text);
        memcpy(text + a_length, b, b_length * sizeof *text);
        memcpy(text + a_length + b_length, c, (c_length + 1) * sizeof *text);
    }
    return text;
}

/* Where the last name in `path` begins: after its last separator, or after a drive's colon. */
static size_t name_start(const wchar_t* path) {
    size_t at = wcslen(path);
    while (at > 0 && !wcschr(L"\\/:", path[at - 1])) --at;
    return at;
}

/* The path of `name` in the folder that holds `path`. */
static wchar_t* beside(const wchar_t* path, const wchar_t* name) {
    size_t folder = name_start(path);
    wchar_t* text = malloc((folder + wcslen(name) + 1) * sizeof *text);
    if (text) {
        memcpy(text, path, folder * sizeof *text);
        memcpy(text + folder, name, (wcslen(name) + 1) * sizeof *text);
    }
    return text;
}

/* UTF-8 text as Windows takes it; text that is no valid UTF-8 gives ERROR_NO_UNICODE_TRANSLATION. */
static DWORD widen(const char* text, wchar_t** wide) {
    int size;
    DWORD error;
    if (!text) return ERROR_INVALID_PARAMETER;
    size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, NULL, 0);
    if (size <= 0) return failure();
    *wide = malloc((size_t)size * sizeof **wide);
    if (!*wide) return ERROR_NOT_ENOUGH_MEMORY;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, *wide, size) == size) return 0;
    error = failure();
    free(*wide);
    *wide = NULL;
    return error;
}

/* The name to hand the file calls. A default Windows refuses a plain path of MAX_PATH or more, so such
   a path takes the form of its full path that has no limit ("\\?\C:\...", "\\?\UNC\server\..."). */
static wchar_t* file_name(const wchar_t* name) {
    DWORD size = GetFullPathNameW(name, 0, NULL, NULL), length;
    wchar_t* full;
    wchar_t* result;
    if (size < MAX_PATH) return joined(name, L"", L""); /* the size counts the terminating NUL */
    full = malloc(size * sizeof *full);
    if (!full) return NULL;
    length = GetFullPathNameW(name, size, full, NULL);
    if (length < MAX_PATH || length >= size)
        result = joined(name, L"", L"");
    else if (wcsncmp(full, L"\\\\?\\", 4) == 0 || wcsncmp(full, L"\\\\.\\", 4) == 0)
        result = joined(full, L"", L"");
    else if (wcsncmp(full, L"\\\\", 2) == 0)
        result = joined(L"\\\\?\\UNC\\", full + 2, L"");
    else
        result = joined(L"\\\\?\\", full, L"");
    free(full);
    return result;
}

/* The name to start the updater by. CreateProcessW takes no name of MAX_PATH or more, in either
   form: a longer one is started by its short name, where its volume keeps short names. */
static wchar_t* launch_name(const wchar_t* updater) {
    wchar_t* full = file_name(updater);
    wchar_t* short_name;
    wchar_t* result = NULL;
    size_t size;
    DWORD length;
    if (!full || wcslen(full) < MAX_PATH) return full;
    size = wcslen(full) + 1;
    short_name = malloc(size * sizeof *short_name);
    length = short_name ? GetShortPathNameW(full, short_name, (DWORD)size) : 0;
    /* Back to the plain form, which is all CreateProcessW takes. */
    if (length > 0 && length < size && wcsncmp(short_name, L"\\\\?\\UNC\\", 8) == 0)
        result = joined(L"\\\\", short_name + 8, L"");
    else if (length > 0 && length < size && wcsncmp(short_name, L"\\\\?\\", 4) == 0)
        result = joined(short_name + 4, L"", L"");
    if (result && wcslen(result) >= MAX_PATH) {
        free(result);
        result = NULL;
    }
    free(full);
    free(short_name);
    return result ? result : joined(updater, L"", L"");
}

/* Our own path at any length: a full buffer may have cut it short, so it grows and we ask again. */
static DWORD own_path(wchar_t** path) {
    DWORD size = MAX_PATH, length, error;
    for (;;) {
        wchar_t* buffer = malloc(size * sizeof *buffer);
        if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
        length = GetModuleFileNameW(NULL, buffer, size);
        if (length > 0 && length < size) {
            *path = buffer;
            return 0;
        }
        error = length == 0 ? failure() : 0;
        free(buffer);
        if (error) return error;
        size *= 2;
    }
}

int quillmoor_path_of(const char* target, wchar_t** path) {
    wchar_t* wide = NULL;
    DWORD error = target ? widen(target, &wide) : own_path(&wide);
    *path = NULL;
    if (!error && (*path = file_name(wide)) == NULL) error = ERROR_NOT_ENOUGH_MEMORY;
    free(wide);
    return (int)error;
}

enum sameness { different, same, in_doubt };

/* Whether `name` itself, not what a link there points to, is the file open at `file`: the same
   volume and the same 128-bit id on it (the 64-bit index is not unique on ReFS). Where the id
   cannot be read (Windows 7, some redirectors), it is in doubt. */
static enum sameness compare_files(const wchar_t* name, HANDLE file) {
    file_id one, other;
    enum sameness answer = in_doubt;
    HANDLE named = CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (named == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? different : in_doubt;
    if (GetFileInformationByHandleEx(file, FILE_ID_INFO_CLASS, &one, sizeof one) &&
        GetFileInformationByHandleEx(named, FILE_ID_INFO_CLASS, &other, sizeof other)) {
        answer =
            one.volume == other.volume && memcmp(one.id, other.id, sizeof one.id) == 0 ? same : different;
    }
    CloseHandle(named);
    return answer;
}

/* The temporary beside the pending copy. Its name is short, so that a pending name near the limit of
   one name (255) still has one, and fixed for each pending name (its 64-bit FNV-1a hash), so that
   the next call finds an interrupted call's leftover. */
static wchar_t* temporary_name(const wchar_t* pending) {
    static const wchar_t digits[] = L"0123456789abcdef";
    wchar_t name[] = L".quillmoor-0000000000000000.partial";
    unsigned long long hash = 0xcbf29ce484222325ULL;
    const wchar_t* unit;
    int digit;
    for (unit = pending + name_start(pending); *unit; ++unit)
        hash = (hash ^ (unsigned long long)*unit) * 0x100000001b3ULL;
    for (digit = 0; digit < 16; ++digit) name[11 + digit] = digits[(hash >> (60 - 4 * digit)) & 15];
    return beside(pending, name);
}

/* Clears the read-only attribute of the file `name`, which its removal or a rename over it would fail
   on: that bit alone, and never of a folder or a link, whose target it could reach. */
static void clear_read_only(const wchar_t* name) {
    const DWORD kept = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                       FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;
    const DWORD attributes = GetFileAttributesW(name);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_READONLY)
        return;
    SetFileAttributesW(name, (attributes & kept) ? attributes & kept : FILE_ATTRIBUTE_NORMAL);
}

/* Reads `from` to its end into `to`, each piece through `check` where it has a feed. */
static DWORD copy_bytes(HANDLE from, HANDLE to, const struct quillmoor_check* check) {
    enum { chunk = 1 << 16 };
    char* buffer = malloc(chunk);
    DWORD got = 0, put = 0, error = buffer ? 0 : ERROR_NOT_ENOUGH_MEMORY;
    while (!error) {
        if (!ReadFile(from, buffer, chunk, &got, NULL))
            error = failure();
        else if (got == 0)
            break;
        else if (check && check->feed && (error = (DWORD)check->feed(check->state, buffer, got)) != 0)
            break;
        else if (!WriteFile(to, buffer, got, &put, NULL))
            error = failure();
        else if (put != got)
            error = ERROR_WRITE_FAULT;
    }
    free(buffer);
    return error;
}

/* Creates the temporary, ours alone from then on: shared with no one, so that no other caller writes
   into it, renames it or removes it. An interrupted call's leftover of that name goes first; a
   concurrent caller's, which it holds that way, stays, and the call is told so (32). */
static DWORD create_temporary(const wchar_t* temporary, HANDLE* copy) {
    int attempt;
    for (attempt = 0; attempt < 4; ++attempt) {
        clear_read_only(temporary);
        if (!DeleteFileW(temporary) && GetLastError() != ERROR_FILE_NOT_FOUND) return failure();
        *copy = CreateFileW(temporary, GENERIC_READ | GENERIC_WRITE | DELETE, 0, NULL, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, NULL);
        if (*copy != INVALID_HANDLE_VALUE) return 0;
        /* Another caller made it between our removal and our creation. */
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return failure();
    }
    return ERROR_SHARING_VIOLATION;
}

/* Gives the open file `file` the name `name`, replacing what holds it: the file itself is renamed, not
   whatever carries its old name by then. */
static DWORD rename_open_file(HANDLE file, const wchar_t* name) {
    const size_t length = wcslen(name);
    const DWORD size = (DWORD)(offsetof(FILE_RENAME_INFO, FileName) + (length + 1) * sizeof(wchar_t));
    FILE_RENAME_INFO* rename = calloc(1, size);
    DWORD error = 0;
    if (!rename) return ERROR_NOT_ENOUGH_MEMORY;
    rename->ReplaceIfExists = TRUE;
    rename->FileNameLength = (DWORD)(length * sizeof(wchar_t));
    memcpy(rename->FileName, name, (length + 1) * sizeof(wchar_t));
    if (!SetFileInformationByHandle(file, FileRenameInfo, rename, size)) error = failure();
    free(rename);
    return error;
}

/* Removes the open file `file`, whatever its name by now, and nothing else. */
static void remove_open_file(HANDLE file) {
    /* Its one member's name is a macro of the headers' too (DeleteFile): set by position. */
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

/* Makes the open file `source` the pending copy, and closes `source`: the bytes go to a temporary
   beside the target, checked, to disk, and only then to the pending name, so no partial or unchecked
   copy ever carries that name. The temporary is held open from its creation until the updater has
   been started on it, or it has been removed: it is renamed and removed through its handle, never by
   a name that another caller could have taken meanwhile. `copy` gets that handle. Copied by hand
   rather than with CopyFileW, which would carry the download's streams (its mark of the web) along. */
static DWORD stage(HANDLE source, const wchar_t* temporary, const wchar_t* pending,
                   const struct quillmoor_check* check, HANDLE* copy) {
    DWORD error = create_temporary(temporary, copy);
    if (!error) error = copy_bytes(source, *copy, check);
    /* Closed before the rename, which cannot replace a file held open: the source may be the pending
       copy itself, staged by the caller. */
    CloseHandle(source);
    if (!error && check) error = (DWORD)check->verdict(check->state, (intptr_t)*copy);
    if (!error && !FlushFileBuffers(*copy)) error = failure();
    if (!error) {
        clear_read_only(pending);
        error = rename_open_file(*copy, pending);
        /* A plain file (not a folder, a link, or read-only) that can't be replaced is held open by
           another: a concurrent caller starting its updater on it, or another program. */
        if (error == ERROR_ACCESS_DENIED && !(GetFileAttributesW(pending) & (FILE_ATTRIBUTE_DIRECTORY |
                                                                              FILE_ATTRIBUTE_REPARSE_POINT |
                                                                              FILE_ATTRIBUTE_READONLY)))
            error = ERROR_SHARING_VIOLATION;
    }
    if (error && *copy != INVALID_HANDLE_VALUE) {
        remove_open_file(*copy);
        CloseHandle(*copy);
        *copy = INVALID_HANDLE_VALUE;
    }
    return error;
}

/* Starts the updater on the pending copy and does not wait for it. */
static DWORD start(const wchar_t* updater, const wchar_t* pending) {
    /* Detached from our console, so that no console signal reaches it, and out of our job where the
       job allows it: a job that kills its processes when it closes would otherwise end the updater
       with us. A job that allows no breakaway refuses the first attempt with ERROR_ACCESS_DENIED, and
       the second goes without it. No process group of its own: that would make the updater ignore
       Ctrl+C, and everything it starts after it. */
    const DWORD flags = DETACHED_PROCESS;
    wchar_t* quoted = joined(L"\"", updater, L"\" \"");
    wchar_t* command_line = quoted ? joined(quoted, pending, L"\"") : NULL;
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    DWORD error = command_line ? ERROR_ACCESS_DENIED : ERROR_NOT_ENOUGH_MEMORY;
    int attempt;
    memset(&startup, 0, sizeof startup);
    memset(&process, 0, sizeof process);
    startup.cb = sizeof startup;
    /* No busy cursor: the updater shows no window that would end it. */
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    /* No inherited handles: a file of ours held open that way would stay locked. The environment
       and the current directory are ours, which the restarted application then gets. */
    for (attempt = 0; attempt < 2 && error == ERROR_ACCESS_DENIED; ++attempt) {
        if (CreateProcessW(updater, command_line, NULL, NULL, FALSE,
                           attempt == 0 ? flags | CREATE_BREAKAWAY_FROM_JOB : flags, NULL, NULL, &startup,
                           &process)) {
            error = 0;
        } else {
            error = failure();
        }
    }
    if (!error) {
        /* Our right to the front goes to the updater: for its error box, or the copy it restarts. */
        AllowSetForegroundWindow(process.dwProcessId);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    free(quoted);
    free(command_line);
    return error;
}

static DWORD hand_over(const wchar_t* updater, const wchar_t* target, const wchar_t* new_copy,
                       const struct quillmoor_check* check) {
    size_t length = wcslen(target);
    wchar_t* pending = joined(target, L"~", L"");
    wchar_t* pending_file = pending ? file_name(pending) : NULL;
    /* Derived from the plain pending name, then given the unlimited form where it needs it: the
       temporary's name is longer than the pending one's. */
    wchar_t* temporary_plain = pending ? temporary_name(pending) : NULL;
    wchar_t* temporary = temporary_plain ? file_name(temporary_plain) : NULL;
    wchar_t* target_file = file_name(target);
    wchar_t* source_file = file_name(new_copy);
    wchar_t* updater_name = launch_name(updater);
    HANDLE source = INVALID_HANDLE_VALUE, copy = INVALID_HANDLE_VALUE;
    DWORD error = 0, attributes;
    enum sameness pending_is = in_doubt;
    if (length == 0 || wcschr(L"\\/:", target[length - 1])) {
        error = ERROR_INVALID_NAME;
    } else if (!pending_file || !temporary || !target_file || !source_file || !updater_name) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } else if (wcschr(updater, L'"') || wcschr(pending, L'"')) {
        error = ERROR_INVALID_NAME; /* no file name holds a quote, which is what makes quoting exact */
    } else if ((attributes = GetFileAttributesW(target_file)) != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = ERROR_DIRECTORY_NOT_SUPPORTED;
    } else {
        source = CreateFileW(source_file, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, NULL);
        if (source == INVALID_HANDLE_VALUE) {
            error = failure();
        } else if (GetFileType(source) != FILE_TYPE_DISK) {
            error = ERROR_INVALID_PARAMETER;
            CloseHandle(source);
        } else {
            /* Where the new copy is the pending copy already, the copy staged from it replaces it. */
            pending_is = compare_files(pending_file, source);
            error = stage(source, temporary, pending_file, check, &copy);
        }
    }
    if (!error) error = start(updater_name, pending);
    /* Only a copy known to be made from another file goes after a failed start: one staged from the
       pending copy, or in doubt of it, holds the caller's only copy of the download. */
    if (copy != INVALID_HANDLE_VALUE) {
        if (error && pending_is == different) remove_open_file(copy);
        CloseHandle(copy);
    }
    free(pending);
    free(pending_file);
    free(temporary_plain);
    free(temporary);
    free(target_file);
    free(source_file);
    free(updater_name);
    return error;
}

int quillmoor_hand_over_file_checking(const char* updater, const char* target, const char* new_copy,
                                      const struct quillmoor_check* check) {
    wchar_t* wide_updater = NULL;
    wchar_t* wide_target = NULL;
    wchar_t* wide_copy = NULL;
    DWORD error = widen(updater, &wide_updater);
    if (!error) error = widen(target, &wide_target);
    if (!error) error = widen(new_copy, &wide_copy);
    if (!error) error = hand_over(wide_updater, wide_target, wide_copy, check);
    free(wide_updater);
    free(wide_target);
    free(wide_copy);
    return (int)error;
}

int QUILLMOOR_CALL quillmoor_hand_over_file(const char* updater, const char* target, const char* new_copy) {
    return quillmoor_hand_over_file_checking(updater, target, new_copy, NULL);
}

int quillmoor_hand_over_checking(const char* new_copy, const struct quillmoor_check* check) {
    wchar_t* self = NULL;
    wchar_t* updater = NULL;
    wchar_t* wide_copy = NULL;
    DWORD error = widen(new_copy, &wide_copy);
    if (!error) error = own_path(&self);
    if (!error) {
        updater = beside(self, L"quillmoor-updater.exe");
        error = updater ? hand_over(updater, self, wide_copy, check) : ERROR_NOT_ENOUGH_MEMORY;
    }
    free(self);
    free(updater);
    free(wide_copy);
    return (int)error;
}

int QUILLMOOR_CALL quillmoor_hand_over(const char* new_copy) {
    return quillmoor_hand_over_checking(new_copy, NULL);
}
