#include "net/crypto.h"

#include <algorithm>
#include <array>

namespace net {

namespace {

// The value of each hexadecimal digit, in either case; 0xFF for every other byte. A table: a
// signed release's manifest holds a digest of 64 digits for every listed file.
constexpr std::array<unsigned char, 256> kHexValues = [] {
    std::array<unsigned char, 256> values{};
    values.fill(0xFF);
    for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 6; ++i) {
        values['a' + i] = static_cast<unsigned char>(10 + i);
        values['A' + i] = static_cast<unsigned char>(10 + i);
    }
    return values;
}();

}  // namespace

std::optional<Sha256Digest> Sha256::Of(std::string_view data) {
    Sha256 hasher;
    hasher.Update(data);
    return hasher.Finish();
}

std::optional<P256PublicKey> P256PublicKey::FromText(std::string_view text) {
    std::array<unsigned char, 65> point{};
    if (text.substr(0, 2) != "04" || !BytesFromHex(text.substr(2), std::span(point).subspan(1))) {
        return std::nullopt;
    }
    point[0] = 0x04;
    std::optional<crypto::P256Key> key = crypto::P256Key::FromPoint(point);
    if (!key) return std::nullopt;
    return P256PublicKey(std::move(*key));
}

bool BytesFromHex(std::string_view text, std::span<unsigned char> bytes) {
    if (text.size() != 2 * bytes.size()) return false;
    unsigned char invalid = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char high = kHexValues[static_cast<unsigned char>(text[2 * i])];
        const unsigned char low = kHexValues[static_cast<unsigned char>(text[2 * i + 1])];
        invalid |= high | low;
        bytes[i] = static_cast<unsigned char>(high << 4 | (low & 0x0F));
    }
    // Only a byte that is no digit has the high bits set.
    return (invalid & 0xF0) == 0;
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
