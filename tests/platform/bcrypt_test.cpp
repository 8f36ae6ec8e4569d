// CNG's hashing and signature calls as the program makes them, with the statuses Windows gives:
// the system's (Wine's) in the Windows build, ours on libcrypto natively.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32api.h"
#include "support/p256_vectors.h"

namespace {

TEST(Bcrypt, HashesAndVerifiesWithTheStatusesOfWindows) {
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
    std::array<unsigned char, 32> digest{};
    EXPECT_EQ(BCryptFinishHash(hash, digest.data(), 31, 0), kInvalidParameter);
    EXPECT_EQ(BCryptFinishHash(hash, digest.data(), 32, 0), kSuccess);
    EXPECT_EQ(BCryptDestroyHash(hash), kSuccess);

    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB));
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof header);
    const std::vector<unsigned char> point = p256::Bytes(p256::kKey.substr(2));
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
    std::vector<unsigned char> signature = p256::Bytes(p256::kSampleR + p256::kSampleS);
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
