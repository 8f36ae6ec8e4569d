// SHA-256 and P-256 signature checks through the system's CNG (Wine's under the Windows build),
// against published vectors: FIPS 180-2's for SHA-256, RFC 6979's P-256 key and signatures.
#include "net/crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

using net::P256PublicKey;
using net::P256Signature;
using net::Sha256;

// RFC 6979, A.2.5: the P-256 key, and its signatures of "sample" and "test" with SHA-256.
const std::string kKey =
    "0460FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
    "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299";
const std::string kSampleR = "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716";
const std::string kSampleS = "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8";
const std::string kTestR = "F1ABB023518351CD71D881567B1EA663ED3EFCF6C5132B354F28D3B0B7D38367";
const std::string kTestS = "019F4113742A2B14BD25926B49C649155F267E60D3814B4C0CC84250E46F0083";
// The curve's generator: a sound key, but not the one that signed.
const std::string kOtherKey =
    "046B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296"
    "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5";
const std::string kOrder = "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551";

std::vector<unsigned char> Bytes(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

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

// The calls below the wrappers answer as CNG does, on both systems.
TEST(CngCalls, StatusesAsOnWindows) {
    constexpr NTSTATUS kSuccess = 0;
    constexpr auto kInvalidHandle = static_cast<NTSTATUS>(0xC0000008);
    constexpr auto kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
    constexpr auto kInvalidSignature = static_cast<NTSTATUS>(0xC000A000);

    BCRYPT_ALG_HANDLE sha = nullptr;
    BCRYPT_ALG_HANDLE ecdsa = nullptr;
    EXPECT_EQ(BCryptOpenAlgorithmProvider(nullptr, BCRYPT_SHA256_ALGORITHM, nullptr, 0),
              kInvalidParameter);
    ASSERT_EQ(BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0), kSuccess);
    ASSERT_EQ(BCryptOpenAlgorithmProvider(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0),
              kSuccess);

    BCRYPT_HASH_HANDLE hash = nullptr;
    ASSERT_EQ(BCryptCreateHash(sha, &hash, nullptr, 0, nullptr, 0, 0), kSuccess);
    std::string sample = "sample";
    EXPECT_EQ(BCryptHashData(hash, reinterpret_cast<PUCHAR>(sample.data()), 6, 0), kSuccess);
    net::Sha256Digest digest{};
    EXPECT_EQ(BCryptFinishHash(hash, digest.data(), 31, 0), kInvalidParameter);
    EXPECT_EQ(BCryptFinishHash(hash, digest.data(), 32, 0), kSuccess);
    EXPECT_EQ(BCryptDestroyHash(hash), kSuccess);

    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB));
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof header);
    const std::vector<unsigned char> point = Bytes(kKey.substr(2));
    blob.insert(blob.end(), point.begin(), point.end());
    BCRYPT_KEY_HANDLE key = nullptr;
    EXPECT_EQ(BCryptImportKeyPair(ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                  static_cast<ULONG>(blob.size() - 1), 0),
              kInvalidParameter);
    std::vector<unsigned char> otherMagic = blob;
    otherMagic[0] ^= 1;
    EXPECT_EQ(BCryptImportKeyPair(ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, otherMagic.data(),
                                  static_cast<ULONG>(otherMagic.size()), 0),
              kInvalidParameter);
    ASSERT_EQ(BCryptImportKeyPair(ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                  static_cast<ULONG>(blob.size()), 0),
              kSuccess);
    P256Signature signature = Signature(kSampleR, kSampleS);
    EXPECT_EQ(BCryptVerifySignature(key, nullptr, digest.data(), 32, signature.data(), 64, 0),
              kSuccess);
    signature[63] ^= 1;
    EXPECT_EQ(BCryptVerifySignature(key, nullptr, digest.data(), 32, signature.data(), 64, 0),
              kInvalidSignature);
    EXPECT_EQ(BCryptVerifySignature(nullptr, nullptr, digest.data(), 32, signature.data(), 64, 0),
              kInvalidHandle);
    EXPECT_EQ(BCryptDestroyKey(key), kSuccess);
    EXPECT_EQ(BCryptCloseAlgorithmProvider(sha, 0), kSuccess);
    EXPECT_EQ(BCryptCloseAlgorithmProvider(ecdsa, 0), kSuccess);
}

}  // namespace
