// The hasher and the public key over the platform's (libcrypto natively, Wine's CNG under the
// Windows build), against published vectors: FIPS 180-2's for SHA-256, RFC 6979's P-256 key and
// signatures.
#include "net/crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "support/p256_vectors.h"

namespace {

using net::P256PublicKey;
using net::P256Signature;
using net::Sha256;
using p256::Bytes;
using p256::kKey;
using p256::kOtherKey;
using p256::kSampleR;
using p256::kSampleS;
using p256::kTestR;
using p256::kTestS;

const std::string kOrder = "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551";

// A DER element: its tag, its length, its content, in hexadecimal.
std::string Element(const char* tag, const std::string& content) {
    const unsigned char length = static_cast<unsigned char>(content.size() / 2);
    return tag + net::HexText({&length, 1}) + content;
}

P256Signature Signature(const std::string& r, const std::string& s) {
    P256Signature signature{};
    const std::vector<unsigned char> bytes = Bytes(r + s);
    std::copy(bytes.begin(), bytes.end(), signature.begin());
    return signature;
}

TEST(Sha256, KnownDigestsWhateverThePieces) {
    const struct {
        std::string input;
        size_t piece;
        const char* digest;
    } cases[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 64,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), 997,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        Sha256 hasher;
        for (size_t at = 0; at < c.input.size(); at += c.piece) {
            hasher.Update(std::string_view(c.input).substr(at, c.piece));
        }
        const auto digest = hasher.Finish();
        ASSERT_TRUE(digest) << c.input.size() << " bytes";
        EXPECT_EQ(net::HexText(*digest), c.digest) << c.input.size() << " bytes";
        EXPECT_FALSE(hasher.Finish()) << "a finished hasher gives nothing more";
    }
}

TEST(P256PublicKey, VerifiesOnlyTheKeysOwnSignatureOfTheDigest) {
    const struct {
        const char* what;
        const std::string& key;
        const char* message;
        P256Signature signature;
        bool verifies;
    } cases[] = {
        {"sample", kKey, "sample", Signature(kSampleR, kSampleS), true},
        {"test", kKey, "test", Signature(kTestR, kTestS), true},
        {"other message", kKey, "test", Signature(kSampleR, kSampleS), false},
        {"other key", kOtherKey, "sample", Signature(kSampleR, kSampleS), false},
        {"s altered", kKey, "sample", Signature(kSampleR, "F6" + kSampleS.substr(2)), false},
        {"r zero", kKey, "sample", Signature(std::string(64, '0'), kSampleS), false},
        {"r the order", kKey, "sample", Signature(kOrder, kSampleS), false},
    };
    for (const auto& c : cases) {
        const auto key = P256PublicKey::FromText(c.key);
        ASSERT_TRUE(key) << c.what;
        EXPECT_EQ(key->Verifies(*Sha256::Of(c.message), c.signature), c.verifies) << c.what;
    }
}

TEST(P256PublicKey, TakesOnlyTheUncompressedPointInHex) {
    std::string lower = kKey;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    const struct {
        std::string text;
        bool parses;
    } cases[] = {
        {kKey, true},
        {lower, true},
        {"", false},
        {kKey.substr(0, 129), false},
        {kKey + "0", false},
        {"02" + kKey.substr(2), false},  // not the uncompressed form
        {kKey.substr(0, 128) + "g9", false},
        // Just beside the digits' ranges, and a byte above 0x7F.
        {kKey.substr(0, 129) + ":", false},
        {kKey.substr(0, 128) + "`F", false},
        {kKey.substr(0, 128) + "@a", false},
        {kKey.substr(0, 129) + "\xc6", false},
        {" " + kKey.substr(1), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(P256PublicKey::FromText(c.text).has_value(), c.parses) << '"' << c.text << '"';
    }
    // A point off the curve is refused on import, or (Wine) verifies nothing.
    const auto offCurve = P256PublicKey::FromText(kKey.substr(0, 129) + "8");
    EXPECT_TRUE(!offCurve ||
                !offCurve->Verifies(*Sha256::Of("sample"), Signature(kSampleR, kSampleS)));
}

TEST(SignatureFromDer, TakesOnlyTheMinimalEncodingOfTwoIntegers) {
    auto der = [](const std::string& r, const std::string& s) {
        return Element("30", Element("02", r) + Element("02", s));
    };
    const std::string sample = der("00" + kSampleR, "00" + kSampleS);
    const struct {
        std::string der;
        bool parses;
    } cases[] = {
        {sample, true},
        {der("01", "7F"), true},                  // short integers stand right-aligned
        {der(kSampleR, "00" + kSampleS), false},  // negative without its leading zero
        {der("0001", "01"), false},               // a needless leading zero
        {der("", "01"), false},
        {der("0100" + kSampleR.substr(2), "01"), false},  // 33 bytes of value
        {sample + "00", false},
        {"3045" + sample.substr(4), false},  // the sequence's length is wrong
        {"31" + sample.substr(2), false},
        {"3006020101030101", false},  // s is no INTEGER
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(net::SignatureFromDer(Bytes(c.der)).has_value(), c.parses) << c.der;
    }
    const auto rs = net::SignatureFromDer(Bytes(sample));
    ASSERT_TRUE(rs);
    EXPECT_EQ(*rs, Signature(kSampleR, kSampleS));
    EXPECT_EQ(*net::SignatureFromDer(Bytes(der("01", "7F"))),
              Signature(std::string(62, '0') + "01", std::string(62, '0') + "7F"));
}

}  // namespace
