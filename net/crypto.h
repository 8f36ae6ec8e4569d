// SHA-256 and ECDSA P-256 signature checks over the platform's (platform/crypto.h: CNG on
// Windows, libcrypto elsewhere): a hasher that takes data as it arrives, and a public key that
// checks signatures, with the text and DER forms the program reads them in.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/crypto.h"

namespace net {

using Sha256Digest = crypto::Sha256Digest;
// r and then s, 32 bytes each, big-endian: the form the platform checks.
using P256Signature = crypto::P256Signature;

// SHA-256 of data given piece by piece. A failure of the system's hashing anywhere on the way
// shows at Finish, which then gives nothing: a caller comparing digests treats it as a
// mismatch.
class Sha256 {
  public:
    void Update(const void* data, std::size_t size) { m_hash.Update(data, size); }
    void Update(std::string_view data) { Update(data.data(), data.size()); }
    // The digest of everything given; the hasher takes nothing more afterwards.
    std::optional<Sha256Digest> Finish() { return m_hash.Finish(); }

    // The digest of data in one piece.
    static std::optional<Sha256Digest> Of(std::string_view data);

  private:
    crypto::Sha256Hash m_hash;
};

// An ECDSA P-256 public key.
class P256PublicKey {
  public:
    // The key from its point written as text: "04" and then X and Y, 64 hexadecimal digits
    // each (the uncompressed point in hexadecimal, either case). Nothing when the text has
    // another form or the point is not on the curve.
    static std::optional<P256PublicKey> FromText(std::string_view text);

    // Whether signature is this key's signature over digest.
    bool Verifies(const Sha256Digest& digest, const P256Signature& signature) const {
        return m_key.Verifies(digest, signature);
    }

  private:
    explicit P256PublicKey(crypto::P256Key key) : m_key(std::move(key)) {}
    crypto::P256Key m_key;
};

// Fills bytes from text, two hexadecimal digits (either case) a byte; false unless text holds
// exactly that many digits and nothing else.
bool BytesFromHex(std::string_view text, std::span<unsigned char> bytes);
// bytes as lower-case hexadecimal digits.
std::string HexText(std::span<const unsigned char> bytes);

// A DER-encoded ECDSA signature (a SEQUENCE of the INTEGERs r and s, as libcrypto and most
// tools write it) as r and s; nothing unless it is exactly that, in the minimal encoding, with
// r and s within 32 bytes.
std::optional<P256Signature> SignatureFromDer(std::span<const unsigned char> der);

}  // namespace net
