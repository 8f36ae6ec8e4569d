// The publisher's ECDSA P-256 key pair, on libcrypto: made by keygen, read by release to sign
// the manifest.
#pragma once

#include <openssl/evp.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace publish {

// The key files that keygen makes in its directory.
constexpr char kPrivateKeyFile[] = "private-key.pem";
constexpr char kPublicKeyFile[] = "public-key.txt";
constexpr char kPublicKeyPemFile[] = "public-key.pem";

// Makes a new key pair: directory/private-key.pem (PKCS#8 PEM, mode 0600, refused when it
// exists: a key is never overwritten), directory/public-key.txt and directory/public-key.pem
// (for other tools: openssl dgst -verify). A directory is made with mode 0700; one that other
// users than its owner can write is refused, since they could replace the keys in it. Returns
// the public key's text, the form KESTRIN_UPDATE_PUBLIC_KEY takes.
std::string GenerateKeyPair(const std::filesystem::path& directory);

// The text form of the P-256 public key that a PEM file holds (as public-key.pem does); nothing
// for anything else.
std::optional<std::string> PublicKeyTextOfPem(std::string_view pem);

class PrivateKey {
  public:
    // A new P-256 key.
    static PrivateKey Generate();
    // Reads a P-256 private key from a PEM file (not encrypted); refuses anything else, and a
    // file that other users than its owner can write.
    static PrivateKey Load(const std::filesystem::path& path);

    // The key as a PKCS#8 PEM file holds it.
    std::string Pem() const;
    // "04" and the X and Y coordinates in hexadecimal: the form KESTRIN_UPDATE_PUBLIC_KEY takes.
    std::string PublicKeyText() const;
    // The public key as a PEM file holds it (SubjectPublicKeyInfo).
    std::string PublicKeyPem() const;
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
