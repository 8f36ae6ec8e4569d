// The hashing and signature checks the program relies on: SHA-256 taken piece by piece, and
// ECDSA P-256 signatures checked against a public key. One backend a system implements them:
// CNG (platform/win32/crypto.cpp) and libcrypto (platform/posix/crypto.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <utility>

namespace crypto {

using Sha256Digest = std::array<unsigned char, 32>;
// r and then s, 32 bytes each, big-endian.
using P256Signature = std::array<unsigned char, 64>;

// SHA-256 of data given piece by piece. A failure of the hashing anywhere on the way shows at
// Finish, which then gives nothing.
class Sha256Hash {
  public:
    // What the backend keeps, and how it frees it.
    struct State;
    struct Free {
        void operator()(State* state) const;
    };
    Sha256Hash();
    void Update(const void* data, std::size_t size);
    // The digest of everything given; the hash takes nothing more afterwards, and a second
    // Finish gives nothing.
    std::optional<Sha256Digest> Finish();

  private:
    std::unique_ptr<State, Free> m_state;  // null once failed or finished
};

// An ECDSA P-256 public key.
class P256Key {
  public:
    struct State;
    struct Free {
        void operator()(State* state) const;
    };
    // The key from its uncompressed point: 0x04, then X and Y, 32 bytes each, big-endian.
    // Nothing for another form or size, and (libcrypto) for a point that is not on the curve;
    // CNG under Wine takes such a point and no signature verifies with it.
    static std::optional<P256Key> FromPoint(std::span<const unsigned char> point);

    // Whether signature is this key's signature over digest.
    bool Verifies(const Sha256Digest& digest, const P256Signature& signature) const;

  private:
    explicit P256Key(std::unique_ptr<State, Free> state) : m_state(std::move(state)) {}
    std::unique_ptr<State, Free> m_state;
};

}  // namespace crypto
