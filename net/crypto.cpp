#include "net/crypto.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace net {

namespace crypto_handles {
void CloseAlgorithm(BCRYPT_ALG_HANDLE algorithm) {
    BCryptCloseAlgorithmProvider(algorithm, 0);
}
}  // namespace crypto_handles

namespace {

AlgorithmHandle OpenAlgorithm(LPCWSTR name) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, name, nullptr, 0))) return nullptr;
    return AlgorithmHandle(algorithm);
}

// CNG takes its input through pointers to non-const bytes that it only reads.
PUCHAR Bytes(const void* data) {
    return static_cast<PUCHAR>(const_cast<void*>(data));
}

std::optional<unsigned char> HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned char>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned char>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned char>(c - 'A' + 10);
    return std::nullopt;
}

}  // namespace

Sha256::Sha256() : m_algorithm(OpenAlgorithm(BCRYPT_SHA256_ALGORITHM)) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (m_algorithm &&
        BCRYPT_SUCCESS(BCryptCreateHash(m_algorithm.get(), &hash, nullptr, 0, nullptr, 0, 0))) {
        m_hash.reset(hash);
    } else {
        m_bFailed = true;
    }
}

void Sha256::Update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (!m_bFailed && size > 0) {
        const ULONG piece =
            static_cast<ULONG>(std::min<std::size_t>(size, std::numeric_limits<ULONG>::max()));
        m_bFailed = !BCRYPT_SUCCESS(BCryptHashData(m_hash.get(), Bytes(bytes), piece, 0));
        bytes += piece;
        size -= piece;
    }
}

std::optional<Sha256Digest> Sha256::Finish() {
    Sha256Digest digest{};
    if (m_bFailed ||
        !BCRYPT_SUCCESS(BCryptFinishHash(m_hash.get(), digest.data(), digest.size(), 0))) {
        m_bFailed = true;
        return std::nullopt;
    }
    m_bFailed = true;  // nothing more may be added
    return digest;
}

std::optional<Sha256Digest> Sha256::Of(std::string_view data) {
    Sha256 hasher;
    hasher.Update(data);
    return hasher.Finish();
}

P256PublicKey::P256PublicKey(AlgorithmHandle algorithm, KeyHandle key)
    : m_algorithm(std::move(algorithm)), m_key(std::move(key)) {}

std::optional<P256PublicKey> P256PublicKey::FromText(std::string_view text) {
    constexpr std::size_t kCoordinate = 32;
    if (text.substr(0, 2) != "04") return std::nullopt;
    // The blob CNG imports: its header, then X and Y.
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinate];
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinate};
    std::memcpy(blob, &header, sizeof header);
    if (!BytesFromHex(text.substr(2), std::span(blob).subspan(sizeof header))) return std::nullopt;
    AlgorithmHandle algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!algorithm ||
        !BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                            blob, sizeof blob, 0))) {
        return std::nullopt;
    }
    return P256PublicKey(std::move(algorithm), KeyHandle(key));
}

bool P256PublicKey::Verifies(const Sha256Digest& digest, const P256Signature& signature) const {
    return BCRYPT_SUCCESS(BCryptVerifySignature(m_key.get(), nullptr, Bytes(digest.data()),
                                                digest.size(), Bytes(signature.data()),
                                                signature.size(), 0));
}

bool BytesFromHex(std::string_view text, std::span<unsigned char> bytes) {
    if (text.size() != 2 * bytes.size()) return false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto high = HexDigit(text[2 * i]);
        const auto low = HexDigit(text[2 * i + 1]);
        if (!high || !low) return false;
        bytes[i] = static_cast<unsigned char>(*high << 4 | *low);
    }
    return true;
}

std::string HexText(std::span<const unsigned char> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::optional<P256Signature> SignatureFromDer(std::span<const unsigned char> der) {
    // Takes one tag and its short-form length (every length here is below 128) off the front.
    auto take = [&der](unsigned char tag) -> std::optional<std::span<const unsigned char>> {
        if (der.size() < 2 || der[0] != tag || der[1] >= 0x80 || der[1] > der.size() - 2) {
            return std::nullopt;
        }
        const auto content = der.subspan(2, der[1]);
        der = der.subspan(2 + content.size());
        return content;
    };
    constexpr unsigned char kSequence = 0x30;
    constexpr unsigned char kInteger = 0x02;
    const auto sequence = take(kSequence);
    if (!sequence || !der.empty()) return std::nullopt;
    der = *sequence;
    P256Signature signature{};
    for (std::size_t part = 0; part < 2; ++part) {
        auto integer = take(kInteger);
        if (!integer || integer->empty() || ((*integer)[0] & 0x80) != 0) return std::nullopt;
        // A leading zero only where the next byte would otherwise read as negative.
        if ((*integer)[0] == 0 && integer->size() > 1) {
            if (((*integer)[1] & 0x80) == 0) return std::nullopt;
            integer = integer->subspan(1);
        }
        if (integer->size() > 32) return std::nullopt;
        std::copy(integer->begin(), integer->end(),
                  signature.begin() + 32 * (part + 1) - integer->size());
    }
    if (!der.empty()) return std::nullopt;
    return signature;
}

}  // namespace net
