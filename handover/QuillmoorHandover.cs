// The hand-over library for .NET, to drop into a project: every call, the codes, and an exception.
//
// Ship the library beside your assembly, with the updater. Each call returns once the updater has
// been started on the staged copy, and then the application should exit; or it throws a
// HandoverException, and then nothing was left behind and the application goes on running.
// Started as `dotnet Tool.dll`, the process is dotnet's: use the HandOverFile... calls, naming the
// updater and the file that starts your program (its apphost, Tool.exe).
using System;
using System.ComponentModel;
using System.Runtime.InteropServices;

namespace Quillmoor
{
    /// <summary>A hand-over that did not happen: nothing was left behind.</summary>
    public sealed class HandoverException : Exception
    {
        /// <summary>The system's error code (Windows), errno value (Linux) or HRESULT (a trust error,
        /// such as unchecked((int)0x800B0100)), or one of the library's own codes, Handover.DigestMismatch
        /// and the others.</summary>
        public int Code { get; private set; }

        public HandoverException(int code) : base(Handover.Describe(code))
        {
            Code = code;
        }
    }

    /// <summary>The application's half of a self-update.</summary>
    public static class Handover
    {
        /// <summary>The new copy's bytes are not the ones whose SHA-256 digest was promised.</summary>
        public const int DigestMismatch = 0x20000256;
        /// <summary>The signature is no valid signature of the new copy by any key of the ring.</summary>
        public const int SignatureInvalid = 0x20000257;
        /// <summary>The new copy is validly signed, but by another publisher than the executable.</summary>
        public const int PublisherMismatch = 0x20000258;
        /// <summary>The executable to be replaced carries no valid signature.</summary>
        public const int TargetUnsigned = 0x20000259;

        /// <summary>Stages newCopy as the running executable's "NAME~" and starts the updater beside it.</summary>
        public static void HandOver(string newCopy) { Check(quillmoor_hand_over(newCopy)); }

        /// <summary>The same for any file: target gets newCopy, and updater is started on it.</summary>
        public static void HandOverFile(string updater, string target, string newCopy)
        {
            Check(quillmoor_hand_over_file(updater, target, newCopy));
        }

        /// <summary>As HandOver, only if the SHA-256 digest of newCopy's bytes is sha256 (64 hex digits).</summary>
        public static void HandOverChecked(string newCopy, string sha256)
        {
            Check(quillmoor_hand_over_checked(newCopy, sha256));
        }

        public static void HandOverFileChecked(string updater, string target, string newCopy, string sha256)
        {
            Check(quillmoor_hand_over_file_checked(updater, target, newCopy, sha256));
        }

        /// <summary>As HandOver, only if signature (base64 of the DER signature over the file's SHA-256
        /// digest) verifies with one of publicKeys (PEM "PUBLIC KEY" blocks, ECDSA P-256 or RSA).</summary>
        public static void HandOverSigned(string newCopy, string signature, string publicKeys)
        {
            Check(quillmoor_hand_over_signed(newCopy, signature, publicKeys));
        }

        public static void HandOverFileSigned(string updater, string target, string newCopy, string signature,
                                              string publicKeys)
        {
            Check(quillmoor_hand_over_file_signed(updater, target, newCopy, signature, publicKeys));
        }

        /// <summary>Windows: as HandOver, only if newCopy's Authenticode signature is valid and by the
        /// running executable's publisher. Elsewhere it throws with ENOTSUP (95).</summary>
        public static void HandOverSamePublisher(string newCopy)
        {
            Check(quillmoor_hand_over_same_publisher(newCopy));
        }

        public static void HandOverFileSamePublisher(string updater, string target, string newCopy)
        {
            Check(quillmoor_hand_over_file_same_publisher(updater, target, newCopy));
        }

        /// <summary>What a code means: the library's own text for its codes, else the system's.</summary>
        public static string Describe(int code)
        {
            switch (code)
            {
                case DigestMismatch: return "The new copy is not the file whose digest was promised.";
                case SignatureInvalid: return "The new copy is not signed by any of the given keys.";
                case PublisherMismatch: return "The new copy is signed by another publisher than the program it replaces.";
                case TargetUnsigned: return "The program to be replaced carries no valid signature.";
            }
            // The system's own wording: FormatMessage on Windows (trust errors included), strerror on
            // Linux, where Mono's Win32Exception would give Windows' text for an errno value.
            if (Environment.OSVersion.Platform == PlatformID.Unix)
            {
                try
                {
                    return Marshal.PtrToStringAnsi(strerror(code));
                }
                catch (DllNotFoundException)
                {
                }
                catch (EntryPointNotFoundException)
                {
                }
            }
            return new Win32Exception(code).Message;
        }

        static void Check(int code)
        {
            if (code != 0) throw new HandoverException(code);
        }

        // The library by its bare name: quillmoor-handover.dll on Windows, libquillmoor-handover.so
        // elsewhere, looked for beside this assembly first. Its own imports come from System32 only.
        const string Library = "quillmoor-handover";
        const DllImportSearchPath Beside = DllImportSearchPath.AssemblyDirectory | DllImportSearchPath.System32;

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [DefaultDllImportSearchPaths(Beside)]
        static extern int quillmoor_hand_over([MarshalAs(UnmanagedType.LPUTF8Str)] string newCopy);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [DefaultDllImportSearchPaths(Beside)]
        static extern int quillmoor_hand_over_file([MarshalAs(UnmanagedType.LPUTF8Str)] string updater,
                                                   [MarshalAs(UnmanagedType.LPUTF8Str)] string target,
                                                   [MarshalAs(UnmanagedType.LPUTF8Str)] string newCopy);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [DefaultDllImportSearchPaths(Beside)]
        static extern int quillmoor_hand_over_checked([MarshalAs(UnmanagedType.LPUTF8Str)] string newCopy,
                                                      [MarshalAs(UnmanagedType.LPUTF8Str)] string sha256);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [DefaultDllImportSearchPaths(Beside)]
        static extern int quillmoor_hand_over_file_checked([MarshalAs(UnmanagedType.LPUTF8Str)] string updater,
                                                           [MarshalAs(UnmanagedType.LPUTF8Str)] string target,
                                                           [MarshalAs(UnmanagedType.LPUTF8Str)] string newCopy,
                                                           [MarshalAs(UnmanagedType.LPUTF8Str)] string sha256);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [DefaultDllImportSearchPaths(Beside)]
        static extern int quillmoor_hand_over_signed([MarshalAs(UnmanagedType.LPUTF8Str)] string newCopy,
                                                     [MarshalAs(UnmanagedType.LPUTF8Str)] string signature,
                                                     [MarshalAs(UnmanagedType.LPUTF8Str)] string publicKeys);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [DefaultDllImportSearchPaths(Beside)]
        static extern int quillmoor_hand_over_file_signed([MarshalAs(UnmanagedType.LPUTF8Str)] string updater,
                                                          [MarshalAs(UnmanagedType.LPUTF8Str)] string target,
                                                          [MarshalAs(UnmanagedType.LPUTF8Str)] string newCopy,
                                                          [MarshalAs(UnmanagedType.LPUTF8Str)] string signature,
                                                          [MarshalAs(UnmanagedType.LPUTF8Str)] string publicKeys);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [DefaultDllImportSearchPaths(Beside)]
        static extern int quillmoor_hand_over_same_publisher([MarshalAs(UnmanagedType.LPUTF8Str)] string newCopy);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [DefaultDllImportSearchPaths(Beside)]
        static extern int quillmoor_hand_over_file_same_publisher(
            [MarshalAs(UnmanagedType.LPUTF8Str)] string updater, [MarshalAs(UnmanagedType.LPUTF8Str)] string target,
            [MarshalAs(UnmanagedType.LPUTF8Str)] string newCopy);

        // glibc's, by its soname (plain "libc" names a linker script there).
        [DllImport("libc.so.6")]
        static extern IntPtr strerror(int code);
    }
}
