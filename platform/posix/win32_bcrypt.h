// CNG's hashing and signature-checking subset (bcrypt.h): SHA-256 over a hash object, and
// ECDSA P-256 verification with a public key imported from a BCRYPT_ECCPUBLIC_BLOB. Results
// are NTSTATUS values, negative on failure, as on Windows; see platform/posix/bcrypt.cpp for
// what is supported.
#pragma once

#include "win32_types.h"

typedef LONG NTSTATUS;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef ULONG* PULONG;
typedef void VOID;
typedef wchar_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef void* BCRYPT_HANDLE;
typedef void* BCRYPT_ALG_HANDLE;
typedef void* BCRYPT_HASH_HANDLE;
typedef void* BCRYPT_KEY_HANDLE;

#define BCRYPT_SUCCESS(Status) ((static_cast<NTSTATUS>(Status)) >= 0)

#define BCRYPT_SHA256_ALGORITHM L"SHA256"
#define BCRYPT_ECDSA_P256_ALGORITHM L"ECDSA_P256"
#define BCRYPT_ECCPUBLIC_BLOB L"ECCPUBLICBLOB"
#define BCRYPT_ECDSA_PUBLIC_P256_MAGIC 0x31534345  // "ECS1"

// Followed in the blob by the X and then the Y coordinate, cbKey bytes each, big-endian.
typedef struct _BCRYPT_ECCKEY_BLOB {
    ULONG dwMagic;
    ULONG cbKey;
} BCRYPT_ECCKEY_BLOB, *PBCRYPT_ECCKEY_BLOB;

// NTSTATUS values (ntstatus.h)
#define STATUS_SUCCESS (static_cast<NTSTATUS>(0x00000000L))
#define STATUS_INVALID_HANDLE (static_cast<NTSTATUS>(0xC0000008L))
#define STATUS_INVALID_PARAMETER (static_cast<NTSTATUS>(0xC000000DL))
#define STATUS_NO_MEMORY (static_cast<NTSTATUS>(0xC0000017L))
#define STATUS_NOT_SUPPORTED (static_cast<NTSTATUS>(0xC00000BBL))
#define STATUS_INTERNAL_ERROR (static_cast<NTSTATUS>(0xC00000E5L))
#define STATUS_NOT_FOUND (static_cast<NTSTATUS>(0xC0000225L))
#define STATUS_INVALID_SIGNATURE (static_cast<NTSTATUS>(0xC000A000L))

// BCRYPT_SHA256_ALGORITHM or BCRYPT_ECDSA_P256_ALGORITHM, the default implementation (null),
// no flags; another algorithm or implementation is STATUS_NOT_FOUND.
NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId,
                                     LPCWSTR pszImplementation, ULONG dwFlags);
NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags);

// A SHA-256 hash object. The object's memory is always the library's own: a buffer given in
// pbHashObject is not used. No secret (no HMAC), no flags.
NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash,
                          PUCHAR pbHashObject, ULONG cbHashObject, PUCHAR pbSecret, ULONG cbSecret,
                          ULONG dwFlags);
NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags);
// cbOutput must be the digest's size, 32 bytes. The object takes no more data afterwards.
NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput, ULONG dwFlags);
NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash);

// A P-256 public key from a BCRYPT_ECCPUBLIC_BLOB (magic BCRYPT_ECDSA_PUBLIC_P256_MAGIC, cbKey
// 32, then X and Y); hImportKey must be null. A point that is not on the curve is
// STATUS_INVALID_PARAMETER.
NTSTATUS BCryptImportKeyPair(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_KEY_HANDLE hImportKey,
                             LPCWSTR pszBlobType, BCRYPT_KEY_HANDLE* phKey, PUCHAR pbInput,
                             ULONG cbInput, ULONG dwFlags);
// pbSignature is r and then s, 32 bytes each, big-endian; pPaddingInfo must be null.
// STATUS_SUCCESS when it is the key's signature over the digest pbHash, STATUS_INVALID_SIGNATURE
// otherwise.
NTSTATUS BCryptVerifySignature(BCRYPT_KEY_HANDLE hKey, VOID* pPaddingInfo, PUCHAR pbHash,
                               ULONG cbHash, PUCHAR pbSignature, ULONG cbSignature, ULONG dwFlags);
NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE hKey);
