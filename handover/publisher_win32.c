/* The publisher of a signed executable on Windows: its Authenticode signer, as WinVerifyTrust finds it
   (wintrust.dll, crypt32.dll). */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
/* After windows.h, which they rely on. */
#include <softpub.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "check.h"
#include "quillmoor/handover.h"

/* Who signed: the subject Common Name and Organization of the signer's certificate. */
struct quillmoor_publisher {
    wchar_t* name;
    wchar_t* organization;
};

/* The first attribute `oid` of the certificate's subject, in memory of its own ("" where it has
   none); NULL when there is no memory. */
static wchar_t* subject_attribute(PCCERT_CONTEXT certificate, const char* oid) {
    /* CryptoAPI takes the identifier as writable only by its declaration. */
    void* type = (void*)(ULONG_PTR)oid;
    const DWORD size = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, type, NULL, 0);
    wchar_t* text = malloc(size * sizeof *text);
    if (text && CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, type, text, size) != size) {
        free(text);
        text = NULL;
    }
    return text;
}

/* The signer of a signature that WinVerifyTrust found valid, taken from its own state: never a
   certificate picked from those that the signature carries, which anyone can add to it. The signer's
   chain is held to the Authenticode policy again: Wine's WinVerifyTrust passes a signer whose
   certificate is signed with SHA-256 even when its root is untrusted, it has expired or it is not for
   code signing. 0, or the trust error. */
static LONG trusted_signer(HANDLE state, struct quillmoor_publisher* signer) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signature = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : NULL;
    CRYPT_PROVIDER_CERT* certificate = signature ? WTHelperGetProvCertFromChain(signature, 0) : NULL;
    AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_PARA authenticode;
    CERT_CHAIN_POLICY_PARA policy;
    CERT_CHAIN_POLICY_STATUS status;
    if (!certificate || !certificate->pCert || !signature->pChainContext) return TRUST_E_NOSIGNATURE;
    memset(&authenticode, 0, sizeof authenticode);
    memset(&policy, 0, sizeof policy);
    memset(&status, 0, sizeof status);
    /* The machine's Authenticode settings, as WinVerifyTrust's own policy reads them. */
    authenticode.cbSize = sizeof authenticode;
    authenticode.dwRegPolicySettings = provider->dwRegPolicySettings;
    authenticode.pSignerInfo = signature->psSigner;
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &authenticode;
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, signature->pChainContext, &policy,
                                          &status))
        return GetLastError() ? (LONG)GetLastError() : TRUST_E_SYSTEM_ERROR;
    if (status.dwError) return (LONG)status.dwError;
    signer->name = subject_attribute(certificate->pCert, szOID_COMMON_NAME);
    signer->organization = subject_attribute(certificate->pCert, szOID_ORGANIZATION_NAME);
    return signer->name && signer->organization ? 0 : ERROR_NOT_ENOUGH_MEMORY;
}

/* The publisher of the file at `path`, read through `file` where one is given: 0, or the trust error. */
static int signer_of(const wchar_t* path, HANDLE file, struct quillmoor_publisher* signer) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO subject;
    WINTRUST_DATA data;
    LONG error;
    memset(&subject, 0, sizeof subject);
    memset(&data, 0, sizeof data);
    subject.cbStruct = sizeof subject;
    subject.pcwszFilePath = path;
    subject.hFile = file;
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    /* No revocation check beyond what the machine's policy asks for, and that from the local cache
       only: a hand-over never waits on the network. */
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &subject;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    error = WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
    if (!error) error = trusted_signer(data.hWVTStateData, signer);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &data);
    return (int)error;
}

void quillmoor_publisher_free(struct quillmoor_publisher* publisher) {
    if (!publisher) return;
    free(publisher->name);
    free(publisher->organization);
    free(publisher);
}

int quillmoor_publisher_of(const char* target, int running, struct quillmoor_publisher** publisher) {
    wchar_t* path = NULL;
    int error =
        running || target ? quillmoor_path_of(running ? NULL : target, &path) : ERROR_INVALID_PARAMETER;
    *publisher = NULL;
    if (!error && (*publisher = calloc(1, sizeof **publisher)) == NULL) error = ERROR_NOT_ENOUGH_MEMORY;
    if (!error && signer_of(path, NULL, *publisher) != 0) error = QUILLMOOR_TARGET_UNSIGNED;
    if (error) {
        quillmoor_publisher_free(*publisher);
        *publisher = NULL;
    }
    free(path);
    return error;
}

/* The path of the open file `file`, in memory of its own; NULL where it cannot be told, with the
   reason as the last error. */
static wchar_t* path_of_handle(HANDLE file) {
    const DWORD size = GetFinalPathNameByHandleW(file, NULL, 0, 0);
    wchar_t* path = size ? malloc(size * sizeof *path) : NULL;
    const DWORD length = path ? GetFinalPathNameByHandleW(file, path, size, 0) : 0;
    if (length > 0 && length < size) return path;
    if (size && !path) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    free(path);
    return NULL;
}

/* The staged copy is read through its handle, as no one else may open it; WinVerifyTrust is given its
   path too. The same publisher is the same names, exactly: a renewed certificate (a new key, the same
   names) is the same publisher. */
int quillmoor_publisher_verdict(void* publisher, intptr_t staged_copy) {
    const struct quillmoor_publisher* expected = publisher;
    struct quillmoor_publisher signer = {NULL, NULL};
    HANDLE file = (HANDLE)staged_copy;
    wchar_t* path = path_of_handle(file);
    int error = path             ? signer_of(path, file, &signer)
                : GetLastError() ? (int)GetLastError()
                                 : ERROR_GEN_FAILURE;
    if (!error && (wcscmp(signer.name, expected->name) != 0 ||
                   wcscmp(signer.organization, expected->organization) != 0))
        error = QUILLMOOR_PUBLISHER_MISMATCH;
    free(signer.name);
    free(signer.organization);
    free(path);
    return error;
}
