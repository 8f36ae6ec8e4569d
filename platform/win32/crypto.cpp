// Hashing and signature checks (platform/crypto.h) on the system's CNG (bcrypt.dll).
// Supports: SHA-256 through a hash object of the SHA256 provider; a P-256 public key imported
// from a BCRYPT_ECCPUBLIC_BLOB made of the point's X and Y; BCryptVerifySignature of r and s
// over a digest.
// Quirks:
// - Wine's CNG takes a point that is not on the curve and fails every check with it later.
// - Each hash and key opens its own algorithm provider, closed after the object it made.
#include "platform/crypto.h"

#include "platform/win32api.h"

#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

struct CloseAlgorithm {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};
struct DestroyHash {
    void operator()(BCRYPT_HASH_HANDLE hash) const { BCryptDestroyHash(hash); }
};
struct DestroyKey {
    void operator()(BCRYPT_KEY_HANDLE key) const { BCryptDestroyKey(key); }
};
using AlgorithmHandle = std::unique_ptr<void, CloseAlgorithm>;
using HashHandle = std::unique_ptr<void, DestroyHash>;
using KeyHandle = std::unique_ptr<void, DestroyKey>;

constexpr std::size_t kCoordinate = 32;

AlgorithmHandle OpenAlgorithm(LPCWSTR name) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, name, nullptr, 0))) return nullptr;
    return AlgorithmHandle(algorithm);
}

// CNG takes its input through pointers to non-const bytes that it only reads.
PUCHAR Bytes(const void* data) {
    return static_cast<PUCHAR>(const_cast<void*>(data));
}

}  // namespace

namespace crypto {

struct Sha256Hash::State {
    AlgorithmHandle algorithm;
    HashHandle hash;  // destroyed first: an object goes before its algorithm's provider
};

struct P256Key::State {
    AlgorithmHandle algorithm;
    KeyHandle key;
};

void Sha256Hash::Free::operator()(State* state) const {
    delete state;
}

void P256Key::Free::operator()(State* state) const {
    delete state;
}

Sha256Hash::Sha256Hash() {
    AlgorithmHandle algorithm = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (algorithm &&
        BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), &hash, nullptr, 0, nullptr, 0, 0))) {
        m_state.reset(new State{std::move(algorithm), HashHandle(hash)});
    }
}

void Sha256Hash::Update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (m_state && size > 0) {
        const ULONG piece =
            static_cast<ULONG>(std::min<std::size_t>(size, std::numeric_limits<ULONG>::max()));
        if (!BCRYPT_SUCCESS(BCryptHashData(m_state->hash.get(), Bytes(bytes), piece, 0))) {
            m_state.reset();
        }
        bytes += piece;
        size -= piece;
    }
}

std::optional<Sha256Digest> Sha256Hash::Finish() {
    if (!m_state) return std::nullopt;
    const std::unique_ptr<State, Free> state = std::move(m_state);
    Sha256Digest digest{};
    if (!BCRYPT_SUCCESS(BCryptFinishHash(state->hash.get(), digest.data(), digest.size(), 0))) {
        return std::nullopt;
    }
    return digest;
}

std::optional<P256Key> P256Key::FromPoint(std::span<const unsigned char> point) {
    if (point.size() != 1 + 2 * kCoordinate || point[0] != 0x04) return std::nullopt;
    // The blob CNG imports: its header, then X and Y.
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinate];
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinate};
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, point.data() + 1, 2 * kCoordinate);
    AlgorithmHandle algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!algorithm ||
        !BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                            blob, sizeof blob, 0))) {
        return std::nullopt;
    }
    return P256Key(std::unique_ptr<State, Free>(new State{std::move(algorithm), KeyHandle(key)}));
}

bool P256Key::Verifies(const Sha256Digest& digest, const P256Signature& signature) const {
    return BCRYPT_SUCCESS(BCryptVerifySignature(m_state->key.get(), nullptr, Bytes(digest.data()),
                                                digest.size(), Bytes(signature.data()),
                                                signature.size(), 0));
}

}  // namespace crypto
