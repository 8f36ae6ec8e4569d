// The publisher's ECDSA P-256 key pair, on libcrypto: made by keygen, read by release to sign
// the manifest.
#pragma once

#include <openssl/evp.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace publish {

// The key files that keygen makes in its directory.
constexpr char kPrivateKeyFile[] = "private-key.pem";
constexpr char kPublicKeyFile[] = "public-key.txt";

// Makes a new key pair: directory/private-key.pem (PKCS#8 PEM, mode 0600, refused when it
// exists: a key is never overwritten) and directory/public-key.txt. Returns the public key's
// text, the form KESTRIN_UPDATE_PUBLIC_KEY takes.
std::string GenerateKeyPair(const std::filesystem::path& directory);

class PrivateKey {
  public:
    // A new P-256 key.
    static PrivateKey Generate();
    // Reads a P-256 private key from a PEM file (not encrypted); refuses anything else.
    static PrivateKey Load(const std::filesystem::path& path);

    // The key as a PKCS#8 PEM file holds it.
    std::string Pem() const;
    // "04" and the X and Y coordinates in hexadecimal: the form KESTRIN_UPDATE_PUBLIC_KEY takes.
    std::string PublicKeyText() const;
    // The DER-encoded ECDSA signature of the SHA-256 of bytes.
    std::string Sign(std::string_view bytes) const;

  private:
    struct Free {
        void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    };
    explicit PrivateKey(EVP_PKEY* key) : m_key(key) {}
    std::unique_ptr<EVP_PKEY, Free> m_key;
};

}  // namespace publish
