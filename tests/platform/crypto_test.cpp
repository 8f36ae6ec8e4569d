// The platform's hashing and signature checks as the program makes them: CNG (Wine's) in the
// Windows build, libcrypto natively.
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/p256_vectors.h"

namespace {

TEST(Crypto, HashesAndVerifies) {
    crypto::Sha256Hash hash;
    const std::string sample = "sample";
    hash.Update(sample.data(), 2);
    hash.Update(sample.data() + 2, sample.size() - 2);
    const std::optional<crypto::Sha256Digest> digest = hash.Finish();
    ASSERT_TRUE(digest);
    EXPECT_FALSE(hash.Finish());  // the hash takes nothing more

    const std::vector<unsigned char> point = p256::Bytes(p256::kKey);
    EXPECT_FALSE(crypto::P256Key::FromPoint(std::span(point).first(point.size() - 1)));
    std::vector<unsigned char> compressed = point;
    compressed[0] = 0x02;  // another form of the point
    EXPECT_FALSE(crypto::P256Key::FromPoint(compressed));
    const std::optional<crypto::P256Key> key = crypto::P256Key::FromPoint(point);
    ASSERT_TRUE(key);

    crypto::P256Signature signature{};
    const std::vector<unsigned char> rs = p256::Bytes(p256::kSampleR + p256::kSampleS);
    std::copy(rs.begin(), rs.end(), signature.begin());
    EXPECT_TRUE(key->Verifies(*digest, signature));
    signature[63] ^= 1;
    EXPECT_FALSE(key->Verifies(*digest, signature));
}

}  // namespace
