/* The hand-over on Windows: stages the new copy beside the target and starts the updater on it. */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "quillmoor/handover.h"

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

/* The path of `name` in the folder that holds `path`. */
static wchar_t* beside(const wchar_t* path, const wchar_t* name) {
    size_t folder = wcslen(path);
    wchar_t* text;
    while (folder > 0 && path[folder - 1] != L'\\' && path[folder - 1] != L'/') --folder;
    text = malloc((folder + wcslen(name) + 1) * sizeof *text);
    if (text) {
        memcpy(text, path, folder * sizeof *text);
        memcpy(text + folder, name, (wcslen(name) + 1) * sizeof *text);
    }
    return text;
}

/* UTF-8 text as Windows takes it; text that is no valid UTF-8 gives ERROR_NO_UNICODE_TRANSLATION. */
static DWORD widen(const char* text, wchar_t** wide) {
    int size;
    if (!text) return ERROR_INVALID_PARAMETER;
    size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, NULL, 0);
    if (size <= 0) return failure();
    *wide = malloc((size_t)size * sizeof **wide);
    if (!*wide) return ERROR_NOT_ENOUGH_MEMORY;
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, *wide, size);
    return 0;
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

/* Whether `name` itself, not what a link there points to, is the file open at `file`: the same
   volume and the same index on it. */
static int is_same_file(const wchar_t* name, HANDLE file) {
    BY_HANDLE_FILE_INFORMATION one, other;
    int same = 0;
    HANDLE named = CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (named == INVALID_HANDLE_VALUE) return 0;
    if (GetFileInformationByHandle(file, &one) && GetFileInformationByHandle(named, &other)) {
        same = one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
               one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
    }
    CloseHandle(named);
    return same;
}

static DWORD copy_bytes(HANDLE from, HANDLE to) {
    enum { chunk = 1 << 16 };
    char* buffer = malloc(chunk);
    DWORD got = 0, put = 0, error = buffer ? 0 : ERROR_NOT_ENOUGH_MEMORY;
    while (!error) {
        if (!ReadFile(from, buffer, chunk, &got, NULL))
            error = failure();
        else if (got == 0)
            break;
        else if (!WriteFile(to, buffer, got, &put, NULL))
            error = failure();
        else if (put != got)
            error = ERROR_WRITE_FAULT;
    }
    free(buffer);
    return error;
}

/* Makes the open file `source` the pending copy: the bytes go to a temporary beside the target, to
   disk, and only then to the pending name, so no partial copy ever carries that name. Copied by hand
   rather than with CopyFileW, which would carry the download's streams (its mark of the web) along. */
static DWORD stage(HANDLE source, const wchar_t* partial, const wchar_t* pending) {
    HANDLE to;
    DWORD error;
    /* An interrupted earlier call's leftover. A concurrent caller's copy, open without delete sharing,
       stays, and is never written into (CREATE_NEW); nor is a new copy kept under that name. */
    DeleteFileW(partial);
    to = CreateFileW(partial, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (to == INVALID_HANDLE_VALUE) return failure();
    error = copy_bytes(source, to);
    if (!error && !FlushFileBuffers(to)) error = failure();
    if (!CloseHandle(to) && !error) error = failure();
    if (!error && !MoveFileExW(partial, pending, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = failure();
    if (error) DeleteFileW(partial);
    return error;
}

/* Starts the updater on the pending copy and does not wait for it. */
static DWORD start(const wchar_t* updater, const wchar_t* pending) {
    /* Detached from our console, in a process group of its own (a Ctrl+Break meant for ours never
       reaches it), and out of our job where the job allows it: a job that kills its processes when
       it closes would otherwise end the updater with us. A job that allows no breakaway refuses
       the first attempt with ERROR_ACCESS_DENIED, and the second goes without it. */
    const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
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

static DWORD hand_over(const wchar_t* updater, const wchar_t* target, const wchar_t* new_copy) {
    size_t length = wcslen(target);
    wchar_t* pending = joined(target, L"~", L"");
    wchar_t* partial = joined(target, L"~.partial", L"");
    wchar_t* pending_file = pending ? file_name(pending) : NULL;
    wchar_t* partial_file = partial ? file_name(partial) : NULL;
    wchar_t* source_file = file_name(new_copy);
    HANDLE source = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    int staged = 0;
    if (length == 0 || wcschr(L"\\/:", target[length - 1])) {
        error = ERROR_INVALID_NAME;
    } else if (!pending_file || !partial_file || !source_file) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    } else if (wcschr(updater, L'"') || wcschr(pending, L'"')) {
        error = ERROR_INVALID_NAME; /* no file name holds a quote, which is what makes quoting exact */
    } else {
        source = CreateFileW(source_file, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, NULL);
        if (source == INVALID_HANDLE_VALUE)
            error = failure();
        else if (GetFileType(source) != FILE_TYPE_DISK)
            error = ERROR_INVALID_PARAMETER;
        else if (!is_same_file(pending_file, source)) { /* else the caller has staged it already */
            error = stage(source, partial_file, pending_file);
            staged = error == 0;
        }
    }
    if (source != INVALID_HANDLE_VALUE) CloseHandle(source);
    if (!error) error = start(updater, pending);
    if (error && staged) DeleteFileW(pending_file);
    free(pending);
    free(partial);
    free(pending_file);
    free(partial_file);
    free(source_file);
    return error;
}

int quillmoor_hand_over_file(const char* updater, const char* target, const char* new_copy) {
    wchar_t* wide_updater = NULL;
    wchar_t* wide_target = NULL;
    wchar_t* wide_copy = NULL;
    DWORD error = widen(updater, &wide_updater);
    if (!error) error = widen(target, &wide_target);
    if (!error) error = widen(new_copy, &wide_copy);
    if (!error) error = hand_over(wide_updater, wide_target, wide_copy);
    free(wide_updater);
    free(wide_target);
    free(wide_copy);
    return (int)error;
}

int quillmoor_hand_over(const char* new_copy) {
    wchar_t* self = NULL;
    wchar_t* updater = NULL;
    wchar_t* wide_copy = NULL;
    DWORD error = widen(new_copy, &wide_copy);
    if (!error) error = own_path(&self);
    if (!error) {
        updater = beside(self, L"quillmoor-updater.exe");
        error = updater ? hand_over(updater, self, wide_copy) : ERROR_NOT_ENOUGH_MEMORY;
    }
    free(self);
    free(updater);
    free(wide_copy);
    return (int)error;
}
