// CNG's SHA-256 hashing and ECDSA P-256 signature checks on OpenSSL's libcrypto.
// Supports: BCryptOpenAlgorithmProvider for SHA256 and ECDSA_P256 (default implementation, no
// flags) and BCryptCloseAlgorithmProvider; BCryptCreateHash, BCryptHashData, BCryptFinishHash,
// BCryptDestroyHash; BCryptImportKeyPair of a BCRYPT_ECCPUBLIC_BLOB, BCryptVerifySignature of an
// r-and-s signature over a digest, BCryptDestroyKey. Handles live in the POSIX handle table.
// Quirks:
// - A hash object's memory is libcrypto's; a caller's pbHashObject buffer is accepted and left
//   unused. After BCryptFinishHash the object takes nothing more but BCryptDestroyHash
//   (STATUS_INVALID_HANDLE), where Windows may reset it.
// - The import refuses a point that is not on the curve (STATUS_INVALID_PARAMETER) and a blob
//   of any other size than 72 bytes; Wine accepts both and fails the signature check later.
// - A signature of any other length than 64 bytes does not verify; Wine ignores bytes after
//   the 64th.
// - An unknown algorithm is STATUS_NOT_FOUND, as Windows documents it (Wine says
//   STATUS_NOT_IMPLEMENTED).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "handle_table.h"
#include "win32_bcrypt.h"

namespace {

constexpr ULONG kSha256Size = 32;
constexpr ULONG kP256CoordinateSize = 32;

enum class Algorithm { Sha256, EcdsaP256 };

template <auto Free>
struct OpenSslFree {
    template <class T>
    void operator()(T* object) const {
        Free(object);
    }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, OpenSslFree<&EVP_MD_CTX_free>>;
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<&EVP_PKEY_CTX_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, OpenSslFree<&EVP_PKEY_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, OpenSslFree<&ECDSA_SIG_free>>;
using Bignum = std::unique_ptr<BIGNUM, OpenSslFree<&BN_free>>;

struct AlgorithmObject : posix::HandleObject {
    explicit AlgorithmObject(Algorithm which)
        : HandleObject(posix::HandleKind::CryptAlgorithm), algorithm(which) {}
    Algorithm algorithm;
};

struct HashObject : posix::HandleObject {
    explicit HashObject(MdContext md)
        : HandleObject(posix::HandleKind::CryptHash), context(std::move(md)) {}
    MdContext context;
    bool finished = false;
};

struct KeyObject : posix::HandleObject {
    explicit KeyObject(Pkey pkey)
        : HandleObject(posix::HandleKind::CryptKey), key(std::move(pkey)) {}
    Pkey key;
};

template <class T>
T* Lookup(const void* handle, posix::HandleKind kind) {
    posix::HandleObject* object = handle ? posix::handles::Find(handle) : nullptr;
    return object != nullptr && object->Kind() == kind ? static_cast<T*>(object) : nullptr;
}

AlgorithmObject* LookupAlgorithm(const void* handle, Algorithm which) {
    auto* object = Lookup<AlgorithmObject>(handle, posix::HandleKind::CryptAlgorithm);
    return object != nullptr && object->algorithm == which ? object : nullptr;
}

bool Is(LPCWSTR text, std::wstring_view expected) {
    return text != nullptr && expected == text;
}

// The key from X and Y; null when they are no point of P-256.
Pkey P256PublicKey(const unsigned char* x, const unsigned char* y) {
    unsigned char point[1 + 2 * kP256CoordinateSize];
    point[0] = POINT_CONVERSION_UNCOMPRESSED;
    std::memcpy(point + 1, x, kP256CoordinateSize);
    std::memcpy(point + 1 + kP256CoordinateSize, y, kP256CoordinateSize);
    char group[] = SN_X9_62_prime256v1;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
        OSSL_PARAM_construct_end(),
    };
    PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    // The decoding of the point checks that it lies on the curve.
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        return nullptr;
    }
    return Pkey(key);
}

// r and s as libcrypto checks them: the DER encoding of the pair; nothing when memory runs out.
std::optional<std::vector<unsigned char>> DerSignature(const unsigned char* rs) {
    EcdsaSig signature(ECDSA_SIG_new());
    Bignum r(BN_bin2bn(rs, kP256CoordinateSize, nullptr));
    Bignum s(BN_bin2bn(rs + kP256CoordinateSize, kP256CoordinateSize, nullptr));
    if (!signature || !r || !s || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) {
        return std::nullopt;
    }
    r.release();  // the signature owns them now
    s.release();
    const int size = i2d_ECDSA_SIG(signature.get(), nullptr);
    if (size <= 0) return std::nullopt;
    std::vector<unsigned char> der(static_cast<size_t>(size));
    unsigned char* out = der.data();
    if (i2d_ECDSA_SIG(signature.get(), &out) != size) return std::nullopt;
    return der;
}

}  // namespace

NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId,
                                     LPCWSTR pszImplementation, ULONG dwFlags) {
    if (phAlgorithm == nullptr || pszAlgId == nullptr) return STATUS_INVALID_PARAMETER;
    *phAlgorithm = nullptr;
    if (dwFlags != 0) return STATUS_NOT_SUPPORTED;
    if (pszImplementation != nullptr) return STATUS_NOT_FOUND;
    Algorithm which;
    if (Is(pszAlgId, BCRYPT_SHA256_ALGORITHM)) {
        which = Algorithm::Sha256;
    } else if (Is(pszAlgId, BCRYPT_ECDSA_P256_ALGORITHM)) {
        which = Algorithm::EcdsaP256;
    } else {
        return STATUS_NOT_FOUND;
    }
    *phAlgorithm = posix::handles::Add(std::make_unique<AlgorithmObject>(which));
    return STATUS_SUCCESS;
}

NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG /*dwFlags*/) {
    if (Lookup<AlgorithmObject>(hAlgorithm, posix::HandleKind::CryptAlgorithm) == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    posix::handles::Remove(hAlgorithm);
    return STATUS_SUCCESS;
}

NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash,
                          PUCHAR /*pbHashObject*/, ULONG /*cbHashObject*/, PUCHAR pbSecret,
                          ULONG cbSecret, ULONG dwFlags) {
    if (LookupAlgorithm(hAlgorithm, Algorithm::Sha256) == nullptr) return STATUS_INVALID_HANDLE;
    if (phHash == nullptr) return STATUS_INVALID_PARAMETER;
    *phHash = nullptr;
    if (pbSecret != nullptr || cbSecret != 0 || dwFlags != 0) return STATUS_NOT_SUPPORTED;
    MdContext context(EVP_MD_CTX_new());
    if (!context) return STATUS_NO_MEMORY;
    if (EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return STATUS_INTERNAL_ERROR;
    *phHash = posix::handles::Add(std::make_unique<HashObject>(std::move(context)));
    return STATUS_SUCCESS;
}

NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags) {
    auto* hash = Lookup<HashObject>(hHash, posix::HandleKind::CryptHash);
    if (hash == nullptr || hash->finished) return STATUS_INVALID_HANDLE;
    if ((pbInput == nullptr && cbInput != 0) || dwFlags != 0) return STATUS_INVALID_PARAMETER;
    if (cbInput != 0 && EVP_DigestUpdate(hash->context.get(), pbInput, cbInput) != 1) {
        return STATUS_INTERNAL_ERROR;
    }
    return STATUS_SUCCESS;
}

NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput,
                          ULONG dwFlags) {
    auto* hash = Lookup<HashObject>(hHash, posix::HandleKind::CryptHash);
    if (hash == nullptr || hash->finished) return STATUS_INVALID_HANDLE;
    if (pbOutput == nullptr || cbOutput != kSha256Size || dwFlags != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    hash->finished = true;
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(hash->context.get(), pbOutput, &size) != 1 || size != kSha256Size) {
        return STATUS_INTERNAL_ERROR;
    }
    return STATUS_SUCCESS;
}

NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) {
    // Wine's answer for a handle that is none.
    if (Lookup<HashObject>(hHash, posix::HandleKind::CryptHash) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    posix::handles::Remove(hHash);
    return STATUS_SUCCESS;
}

NTSTATUS BCryptImportKeyPair(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_KEY_HANDLE hImportKey,
                             LPCWSTR pszBlobType, BCRYPT_KEY_HANDLE* phKey, PUCHAR pbInput,
                             ULONG cbInput, ULONG dwFlags) {
    if (LookupAlgorithm(hAlgorithm, Algorithm::EcdsaP256) == nullptr) {
        return Lookup<AlgorithmObject>(hAlgorithm, posix::HandleKind::CryptAlgorithm)
                   ? STATUS_NOT_SUPPORTED
                   : STATUS_INVALID_HANDLE;
    }
    if (!Is(pszBlobType, BCRYPT_ECCPUBLIC_BLOB)) return STATUS_NOT_SUPPORTED;
    if (phKey == nullptr || pbInput == nullptr || hImportKey != nullptr || dwFlags != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *phKey = nullptr;
    BCRYPT_ECCKEY_BLOB header;
    if (cbInput != sizeof header + 2 * kP256CoordinateSize) return STATUS_INVALID_PARAMETER;
    std::memcpy(&header, pbInput, sizeof header);
    if (header.dwMagic != BCRYPT_ECDSA_PUBLIC_P256_MAGIC || header.cbKey != kP256CoordinateSize) {
        return STATUS_INVALID_PARAMETER;
    }
    const unsigned char* x = pbInput + sizeof header;
    Pkey key = P256PublicKey(x, x + kP256CoordinateSize);
    if (!key) return STATUS_INVALID_PARAMETER;
    *phKey = posix::handles::Add(std::make_unique<KeyObject>(std::move(key)));
    return STATUS_SUCCESS;
}

NTSTATUS BCryptVerifySignature(BCRYPT_KEY_HANDLE hKey, VOID* pPaddingInfo, PUCHAR pbHash,
                               ULONG cbHash, PUCHAR pbSignature, ULONG cbSignature, ULONG dwFlags) {
    auto* key = Lookup<KeyObject>(hKey, posix::HandleKind::CryptKey);
    if (key == nullptr) return STATUS_INVALID_HANDLE;
    if (pPaddingInfo != nullptr || pbHash == nullptr || pbSignature == nullptr || dwFlags != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (cbSignature != 2 * kP256CoordinateSize) return STATUS_INVALID_SIGNATURE;
    const std::optional<std::vector<unsigned char>> der = DerSignature(pbSignature);
    if (!der) return STATUS_NO_MEMORY;
    PkeyContext context(EVP_PKEY_CTX_new(key->key.get(), nullptr));
    if (!context || EVP_PKEY_verify_init(context.get()) != 1) return STATUS_NO_MEMORY;
    // Without a digest set on the context, libcrypto checks the signature over pbHash as given.
    const int verified = EVP_PKEY_verify(context.get(), der->data(), der->size(), pbHash, cbHash);
    return verified == 1 ? STATUS_SUCCESS : STATUS_INVALID_SIGNATURE;
}

NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE hKey) {
    if (Lookup<KeyObject>(hKey, posix::HandleKind::CryptKey) == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    posix::handles::Remove(hKey);
    return STATUS_SUCCESS;
}
