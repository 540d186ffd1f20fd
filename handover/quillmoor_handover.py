"""The hand-over library for Python, to drop in beside a program: every call, the codes, an error.

Ship it with the library and the updater, in your program's folder. Each call returns once the
updater has been started on the staged copy, and then the program should exit; or it raises
HandoverError, and then nothing was left behind and the program goes on running. A script runs
inside the interpreter, so name the file that starts your program (its PyInstaller executable, or a
script with its interpreter line and execute bit on Linux) with the hand_over_file... calls.
Paths are str, bytes or os.PathLike, passed as os.fsencode gives them (UTF-8 on Windows, the bytes
of the name on Linux, which need not be UTF-8).
"""
import ctypes
import os
import sys

__all__ = ["DIGEST_MISMATCH", "SIGNATURE_INVALID", "PUBLISHER_MISMATCH", "TARGET_UNSIGNED", "HandoverError",
           "hand_over", "hand_over_file", "hand_over_checked", "hand_over_file_checked", "hand_over_signed",
           "hand_over_file_signed", "hand_over_same_publisher", "hand_over_file_same_publisher"]

DIGEST_MISMATCH = 0x20000256
SIGNATURE_INVALID = 0x20000257
PUBLISHER_MISMATCH = 0x20000258
TARGET_UNSIGNED = 0x20000259

_TEXTS = {
    DIGEST_MISMATCH: "The new copy is not the file whose digest was promised.",
    SIGNATURE_INVALID: "The new copy is not signed by any of the given keys.",
    PUBLISHER_MISMATCH: "The new copy is signed by another publisher than the program it replaces.",
    TARGET_UNSIGNED: "The program to be replaced carries no valid signature.",
}
_WINDOWS = sys.platform == "win32"


class HandoverError(OSError):
    """A hand-over that did not happen. `code` is the system's error code (Windows; trust errors as
    unsigned HRESULTs such as 0x800B0100), the errno value (Linux), or one of the library's own codes;
    `strerror` says what it means."""

    def __init__(self, code):
        self.code = code
        # Windows takes its codes as C's int: an HRESULT is a negative one there.
        signed = code - (1 << 32) if code & 0x80000000 else code
        if code in _TEXTS:
            super().__init__(code, _TEXTS[code])
        elif _WINDOWS:
            super().__init__(None, ctypes.FormatError(signed).strip(), None, signed)
        else:
            super().__init__(code, os.strerror(code))


def _folders():
    """Where the library may lie: the application's folder first, then this module's."""
    if getattr(sys, "frozen", False):  # PyInstaller and the like: the executable, and what it unpacked
        yield os.path.dirname(os.path.abspath(sys.executable))
        if hasattr(sys, "_MEIPASS"):
            yield sys._MEIPASS
    elif sys.argv and sys.argv[0]:
        yield os.path.dirname(os.path.abspath(sys.argv[0]))
    yield os.path.dirname(os.path.abspath(__file__))


def _load():
    names = ["quillmoor-handover.dll"] if _WINDOWS else ["libquillmoor-handover.so", "libquillmoor-handover.so.1"]
    tried = []
    for folder in _folders():
        for name in names:
            path = os.path.join(folder, name)
            if path in tried:
                continue
            tried.append(path)
            if os.path.isfile(path):
                # By its full path; on Windows its own imports from System32 only
                # (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32).
                return ctypes.CDLL(path, winmode=0x100 | 0x800) if _WINDOWS else ctypes.CDLL(path)
    raise FileNotFoundError(f"The hand-over library is in none of: {', '.join(tried)}")


_library = None


def _call(name, *arguments):
    global _library
    if _library is None:
        _library = _load()
    function = getattr(_library, name)
    function.argtypes = [ctypes.c_char_p] * len(arguments)
    function.restype = ctypes.c_int
    code = function(*arguments)
    if code != 0:
        raise HandoverError(code & 0xFFFFFFFF if _WINDOWS else code)


def _path(path):
    return os.fsencode(path)


def _text(text):
    return text.encode("ascii") if isinstance(text, str) else bytes(text)


def hand_over(new_copy):
    """Stages new_copy as the running executable's NAME~ and starts the updater beside it."""
    _call("quillmoor_hand_over", _path(new_copy))


def hand_over_file(updater, target, new_copy):
    """The same for any file: target gets new_copy as target~, and updater is started on it."""
    _call("quillmoor_hand_over_file", _path(updater), _path(target), _path(new_copy))


def hand_over_checked(new_copy, sha256):
    """As hand_over, only if the SHA-256 digest of new_copy's bytes is sha256 (64 hex digits)."""
    _call("quillmoor_hand_over_checked", _path(new_copy), _text(sha256))


def hand_over_file_checked(updater, target, new_copy, sha256):
    _call("quillmoor_hand_over_file_checked", _path(updater), _path(target), _path(new_copy), _text(sha256))


def hand_over_signed(new_copy, signature, public_keys):
    """As hand_over, only if signature (base64 of the DER signature over the file's SHA-256 digest)
    verifies with one of public_keys (PEM "PUBLIC KEY" blocks: ECDSA P-256 or RSA)."""
    _call("quillmoor_hand_over_signed", _path(new_copy), _text(signature), _text(public_keys))


def hand_over_file_signed(updater, target, new_copy, signature, public_keys):
    _call("quillmoor_hand_over_file_signed", _path(updater), _path(target), _path(new_copy), _text(signature),
          _text(public_keys))


def hand_over_same_publisher(new_copy):
    """Windows: as hand_over, only if new_copy's Authenticode signature is valid and by the running
    executable's publisher. Elsewhere it raises with ENOTSUP."""
    _call("quillmoor_hand_over_same_publisher", _path(new_copy))


def hand_over_file_same_publisher(updater, target, new_copy):
    _call("quillmoor_hand_over_file_same_publisher", _path(updater), _path(target), _path(new_copy))
