/* The application's half of a self-update: stage the new copy beside the executable, start the updater. */
#ifndef QUILLMOOR_HANDOVER_H
#define QUILLMOOR_HANDOVER_H

/* Every call uses C's own calling convention, as the DLL is built, whatever a Windows compiler takes
   by default (/Gz, /Gr, /Gv). */
#if defined(_WIN32)
#define QUILLMOOR_CALL __cdecl
#else
#define QUILLMOOR_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's own codes. No system error code is one of them: bit 29 marks an application's own
   codes on Windows, and errno values are far smaller. */
/* The new copy's bytes are not the ones whose digest was promised. */
#define QUILLMOOR_DIGEST_MISMATCH 0x20000256
/* The signature is no valid signature of the new copy's bytes by any key of the ring. */
#define QUILLMOOR_SIGNATURE_INVALID 0x20000257
/* The new copy is validly signed, but by another publisher than the executable it replaces. */
#define QUILLMOOR_PUBLISHER_MISMATCH 0x20000258
/* The executable to be replaced carries no valid signature to hold the new copy's publisher to. */
#define QUILLMOOR_TARGET_UNSIGNED 0x20000259

/* Makes the complete file at `new_copy` the pending copy of the running executable, as
   "<executable>~" beside it, then starts the updater that sits beside the executable on that
   pending copy. Returns 0, after which the caller should exit; or a system error code, and then
   nothing is left behind and the application goes on running. Paths are UTF-8. */
int QUILLMOOR_CALL quillmoor_hand_over(const char* new_copy);

/* The same for any file: `target` gets `new_copy` as "<target>~", and `updater` is started on it. */
int QUILLMOOR_CALL quillmoor_hand_over_file(const char* updater, const char* target, const char* new_copy);

/* As quillmoor_hand_over, but the new copy is staged only if the SHA-256 digest of its bytes is
   `sha256`: 64 hexadecimal digits, either case. The digest is taken of the bytes as they are written
   to the staged copy, so what the updater installs is exactly what was checked. A digest that
   doesn't match returns QUILLMOOR_DIGEST_MISMATCH, leaves nothing behind and starts nothing; a
   `sha256` that is no such text is refused with the system's invalid-argument code (EINVAL,
   ERROR_INVALID_PARAMETER) before anything is touched. */
int QUILLMOOR_CALL quillmoor_hand_over_checked(const char* new_copy, const char* sha256);
int QUILLMOOR_CALL quillmoor_hand_over_file_checked(const char* updater, const char* target,
                                                    const char* new_copy, const char* sha256);

/* As quillmoor_hand_over, but the new copy is staged only if `signature` is a valid signature of its
   bytes by one of `public_keys`, verified over the bytes as they are written to the staged copy.
   `public_keys`: PEM text of one or more "-----BEGIN PUBLIC KEY-----" blocks, each an ECDSA key on
   P-256 or an RSA key of 2048 to 4096 bits; the signature may be by any of them. `signature`: the
   base64 text of the DER signature over the SHA-256 digest of the file, as
   `openssl dgst -sha256 -sign key.pem FILE | base64` gives it. A signature that verifies with none of
   the keys returns QUILLMOOR_SIGNATURE_INVALID, leaves nothing behind and starts nothing. A ring
   without a key, a key that can't be read or is of another kind or size, and a signature that is no
   such text are refused with the system's invalid-argument code before anything is touched. */
int QUILLMOOR_CALL quillmoor_hand_over_signed(const char* new_copy, const char* signature,
                                              const char* public_keys);
int QUILLMOOR_CALL quillmoor_hand_over_file_signed(const char* updater, const char* target,
                                                   const char* new_copy, const char* signature,
                                                   const char* public_keys);

/* Windows: as quillmoor_hand_over, but the new copy is staged only if it carries a valid Authenticode
   signature, chained to a root this machine trusts for code signing, by the same publisher as the
   running executable's own valid signature (the same subject Common Name and Organization). Verified
   on the staged copy itself, once every byte is in. Another publisher returns
   QUILLMOOR_PUBLISHER_MISMATCH; an unsigned, altered or untrusted new copy the trust error that
   Windows gives (TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST, CERT_E_UNTRUSTEDROOT, ...); a running
   executable without a valid signature QUILLMOOR_TARGET_UNSIGNED before anything is touched. The
   _file form holds the new copy to the publisher of `target`'s signature.
   Elsewhere both return ENOTSUP and touch nothing. */
int QUILLMOOR_CALL quillmoor_hand_over_same_publisher(const char* new_copy);
int QUILLMOOR_CALL quillmoor_hand_over_file_same_publisher(const char* updater, const char* target,
                                                           const char* new_copy);

/* The calls' types, for a program that loads the DLL or shared library and looks them up by name. */
typedef int(QUILLMOOR_CALL* quillmoor_hand_over_fn)(const char* new_copy);
typedef int(QUILLMOOR_CALL* quillmoor_hand_over_file_fn)(const char* updater, const char* target,
                                                         const char* new_copy);
typedef int(QUILLMOOR_CALL* quillmoor_hand_over_checked_fn)(const char* new_copy, const char* sha256);
typedef int(QUILLMOOR_CALL* quillmoor_hand_over_file_checked_fn)(const char* updater, const char* target,
                                                                 const char* new_copy, const char* sha256);
typedef int(QUILLMOOR_CALL* quillmoor_hand_over_signed_fn)(const char* new_copy, const char* signature,
                                                           const char* public_keys);
typedef int(QUILLMOOR_CALL* quillmoor_hand_over_file_signed_fn)(const char* updater, const char* target,
                                                                const char* new_copy, const char* signature,
                                                                const char* public_keys);
typedef int(QUILLMOOR_CALL* quillmoor_hand_over_same_publisher_fn)(const char* new_copy);
typedef int(QUILLMOOR_CALL* quillmoor_hand_over_file_same_publisher_fn)(const char* updater, const char* target,
                                                                        const char* new_copy);

#ifdef __cplusplus
}
#endif

#endif
