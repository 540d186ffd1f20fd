/* The application's half of a self-update: stage the new copy beside the executable, start the updater. */
#ifndef QUILLMOOR_HANDOVER_H
#define QUILLMOOR_HANDOVER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Makes the complete file at `new_copy` the pending copy of the running executable, as
   "<executable>~" beside it, then starts the updater that sits beside the executable on that
   pending copy. Returns 0, after which the caller should exit; or a system error code, and then
   nothing is left behind and the application goes on running. Paths are UTF-8. */
int quillmoor_hand_over(const char* new_copy);

/* The same for any file: `target` gets `new_copy` as "<target>~", and `updater` is started on it. */
int quillmoor_hand_over_file(const char* updater, const char* target, const char* new_copy);

/* What the checked calls return when the new copy's bytes are not the promised ones. No system
   error code is this number: bit 29 marks an application's own codes on Windows, and errno values
   are far smaller. */
#define QUILLMOOR_DIGEST_MISMATCH 0x20000256

/* As quillmoor_hand_over, but the new copy is staged only if the SHA-256 digest of its bytes is
   `sha256`: 64 hexadecimal digits, either case. The digest is taken of the bytes as they are written
   to the staged copy, so what the updater installs is exactly what was checked. Where the new copy
   already is the pending copy, it is read and checked in place before the updater starts. A digest
   that doesn't match returns QUILLMOOR_DIGEST_MISMATCH, leaves nothing behind and starts nothing;
   a `sha256` that is no such text is refused with the system's invalid-argument code (EINVAL,
   ERROR_INVALID_PARAMETER) before anything is touched. */
int quillmoor_hand_over_checked(const char* new_copy, const char* sha256);
int quillmoor_hand_over_file_checked(const char* updater, const char* target, const char* new_copy,
                                     const char* sha256);

#ifdef __cplusplus
}
#endif

#endif
