#include "engine/manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/p256_vectors.h"

namespace {

using engine::ManifestFault;

// A manifest signed with RFC 6979's P-256 key.
const std::string kDigestV = "4c94485e0c21ae6c41ce1dfe7b6bfaceea5ab68e40a2476f50208e526f506080";
const std::string kManifest =
    "kestrin-manifest 1\n"
    "product Tamwix\n"
    "serial 7\n"
    "expires 2030-01-01T00:00:00Z\n"
    "file 17 " +
    kDigestV +
    " Version.txt\n"
    "file 53 acac86c0e609ca906f632b0e2dacccb2b77d22b0621f20ebece1a4835b93f6f0 File_list.txt\n"
    "file 6 2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881 "
    "data/levels dat.bin\n";
const std::string kSignatureHex =
    "304502200fff2a6608cd90d6344bcbda2281d8b4dfbb44b900165546f10a8c55a9fa8e0702210085b1f0b391"
    "cc40a97b67cb7f5f5701e5fc9a4bee33a11d4487ab4da2207244ed";
constexpr std::int64_t kExpires = 1893456000;  // 2030-01-01T00:00:00Z

std::string Bytes(const std::string& hex) {
    const std::vector<unsigned char> bytes = p256::Bytes(hex);
    return std::string(bytes.begin(), bytes.end());
}

net::Sha256Digest Digest(const std::string& hex) {
    net::Sha256Digest digest{};
    const std::string bytes = Bytes(hex);
    std::copy(bytes.begin(), bytes.end(), digest.begin());
    return digest;
}

TEST(CheckManifest, RefusesEachFaultInTurn) {
    const auto key = net::P256PublicKey::FromText(p256::kKey);
    const auto otherKey = net::P256PublicKey::FromText(p256::kOtherKey);
    ASSERT_TRUE(key && otherKey);
    const std::string signature = Bytes(kSignatureHex);
    std::string altered = kManifest;
    altered[altered.find("serial 7") + 7] = '9';
    const struct {
        const char* what;
        std::string text;
        std::string signature;
        const net::P256PublicKey& key;
        engine::ManifestPolicy policy;
        std::optional<ManifestFault> fault;  // nothing: accepted
    } cases[] = {
        {"sound", kManifest, signature, *key, {"Tamwix", kExpires - 1, 7}, std::nullopt},
        {"any product", kManifest, signature, *key, {std::nullopt, 0, 0}, std::nullopt},
        {"no signature", kManifest, "", *key, {"Tamwix", 0, 0}, ManifestFault::Unsigned},
        {"not DER", kManifest, "sig", *key, {"Tamwix", 0, 0}, ManifestFault::BadSignature},
        {"text altered", altered, signature, *key, {"Tamwix", 0, 0}, ManifestFault::BadSignature},
        {"other key",
         kManifest,
         signature,
         *otherKey,
         {"Tamwix", 0, 0},
         ManifestFault::BadSignature},
        {"expired", kManifest, signature, *key, {"Tamwix", kExpires, 0}, ManifestFault::Expired},
        {"other product", kManifest, signature, *key, {"Tamwi", 0, 0}, ManifestFault::OtherProduct},
        {"lower serial", kManifest, signature, *key, {"Tamwix", 0, 8}, ManifestFault::OlderSerial},
    };
    for (const auto& c : cases) {
        const engine::ManifestVerdict verdict =
            engine::CheckManifest(c.text, c.signature, c.key, c.policy);
        EXPECT_EQ(verdict.manifest.has_value(), !c.fault) << c.what << ": " << verdict.reason;
        if (c.fault) {
            EXPECT_EQ(verdict.fault, *c.fault) << c.what;
        }
    }
}

TEST(ParseManifest, ReadsRecordsByTheirExactNames) {
    CString reason;
    const auto manifest = engine::ParseManifest(kManifest, &reason);
    ASSERT_TRUE(manifest) << reason;
    EXPECT_EQ(manifest->product, "Tamwix");
    EXPECT_EQ(manifest->serial, 7u);
    EXPECT_EQ(manifest->expires, kExpires);
    const engine::ManifestRecord* version = manifest->Find("Version.txt");
    ASSERT_NE(version, nullptr);
    EXPECT_TRUE(version->Matches(17, Digest(kDigestV)));
    EXPECT_FALSE(version->Matches(16, Digest(kDigestV)));
    EXPECT_FALSE(version->Matches(17, Digest(kDigestV.substr(2) + "00")));
    EXPECT_FALSE(version->Matches(17, std::nullopt));
    EXPECT_NE(manifest->Find("data/levels dat.bin"), nullptr);
    for (const char* unlisted : {"version.txt", "data\\levels dat.bin", "levels dat.bin", ""}) {
        EXPECT_EQ(manifest->Find(unlisted), nullptr) << unlisted;
    }
    // What ManifestText writes reads back the same.
    const auto again = engine::ParseManifest(engine::ManifestText(*manifest));
    ASSERT_TRUE(again);
    EXPECT_EQ(engine::ManifestText(*again), kManifest);
}

TEST(ParseManifest, RefusesMalformedLines) {
    const std::string head =
        "kestrin-manifest 1\nproduct Tamwix\nserial 7\nexpires 2030-01-01T00:00:00Z\n";
    const std::string record = "file 1 " + kDigestV + " a.bin\n";
    const std::string serial = "kestrin-manifest 1\nproduct Tamwix\nserial ";
    const std::string expires = "\nexpires 2030-01-01T00:00:00Z\n";
    const auto files = [&](std::initializer_list<const char*> names) {
        std::string text = head;
        for (const char* name : names) text += "file 1 " + kDigestV + " " + name + "\n";
        return text;
    };
    const struct {
        std::string text;
        int line;  // 0: accepted
    } cases[] = {
        {head + record, 0},
        {"kestrin-manifest 1\r\nproduct Tamwix\r\nserial 0\r\nexpires 2000-02-29T23:59:59Z\r\n", 0},
        {head + "file 0 " + kDigestV.substr(0, 60) + "ABCD a b\n", 0},
        {"", 1},
        {head + record.substr(0, record.size() - 1), 5},  // no final line feed
        {"kestrin-manifest 2\n" + head.substr(19), 1},
        {"kestrin-manifest 1\nserial 7\nproduct Tamwix\n", 2},
        {"kestrin-manifest 1\nproduct \nserial 7\n", 2},
        // Serials in a header that is otherwise whole; the largest one is accepted.
        {serial + "07" + expires, 3},
        {serial + "-1" + expires, 3},
        {serial + "18446744073709551615" + expires, 0},
        {serial + "18446744073709551616" + expires, 3},
        {"kestrin-manifest 1\nproduct Tamwix\nserial 7\nexpires 2030-02-29T00:00:00Z\n", 4},
        {"kestrin-manifest 1\nproduct Tamwix\nserial 7\nexpires 2030-01-01 00:00:00Z\n", 4},
        {"kestrin-manifest 1\nproduct Tamwix\nserial 7\n", 3},  // the header ends early
        {head + "file 1 " + kDigestV.substr(1) + " a.bin\n", 5},
        {head + "file 1x " + kDigestV + " a.bin\n", 5},
        {head + "file 1 " + kDigestV + "\n", 5},
        {head + "file 1 " + kDigestV + " a\tb\n", 5},
        {head + record + record, 6},
        // A name again out of order: the first line that repeats one is named.
        {files({"b", "a", "c", "d"}), 0},
        {files({"b", "a", "b"}), 7},
        {files({"b", "a", "c", "a"}), 8},
        {files({"c", "b", "a", "a", "b"}), 8},
        {files({"Version.txt", "File_list.txt", "a", "b", "File_list.txt"}), 9},
        {head + record + "\n", 6},
        {head + "note hello\n", 5},
    };
    for (const auto& c : cases) {
        CString reason;
        const auto manifest = engine::ParseManifest(c.text, &reason);
        EXPECT_EQ(manifest.has_value(), c.line == 0) << c.text;
        if (c.line != 0) {
            EXPECT_EQ(reason.rfind("line " + std::to_string(c.line) + ":", 0), 0u)
                << c.text << " gave " << reason;
        }
    }
}

TEST(UtcInstantText, WritesWhatTheManifestReads) {
    const struct {
        std::int64_t instant;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {951868799, "2000-02-29T23:59:59Z"},
        {kExpires, "2030-01-01T00:00:00Z"},
        {253402300799, "9999-12-31T23:59:59Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(engine::UtcInstantText(c.instant), c.text);
        const std::string text =
            "kestrin-manifest 1\nproduct P\nserial 1\nexpires " + std::string(c.text) + "\n";
        const auto manifest = engine::ParseManifest(text);
        ASSERT_TRUE(manifest) << c.text;
        EXPECT_EQ(manifest->expires, c.instant);
    }
}

}  // namespace
