#include "keys.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "net/crypto.h"
#include "mistakes.h"
#include "tree.h"

namespace publish {

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// Keeps libcrypto from asking for a passphrase on the terminal: an encrypted key is refused.
int NoPassphrase(char*, int, int, void*) {
    return -1;
}

// The permission bits of path; refuses it when other users than its owner can write it.
mode_t OwnersAlone(const std::filesystem::path& path, const std::string& why) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) Fail("cannot read " + Shown(path));
    if ((st.st_mode & 022) != 0) {
        Refuse(Shown(path) + " can be written by other users than its owner, " + why);
    }
    return st.st_mode;
}

// The text that a memory BIO holds.
std::string MemoryText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(size));
}

bool IsP256(EVP_PKEY* key) {
    char group[64] = "";
    return key && EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_group_name(key, group, sizeof group, nullptr) == 1 &&
           std::string(group) == SN_X9_62_prime256v1;
}

// The public half of a P-256 key as the uncompressed point in hexadecimal.
std::string PointText(EVP_PKEY* key) {
    unsigned char point[65];
    size_t size = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                        sizeof point, &size) != 1 ||
        size != sizeof point || point[0] != POINT_CONVERSION_UNCOMPRESSED) {
        Fail("cannot write the public key as an uncompressed point");
    }
    return net::HexText(point);
}

}  // namespace

std::string PrivateKey::PublicKeyText() const {
    return PointText(m_key.get());
}

std::optional<std::string> PublicKeyTextOfPem(std::string_view pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr,
        &EVP_PKEY_free);
    if (!IsP256(key.get())) {
        ERR_clear_error();  // the failed reading leaves its errors behind
        return std::nullopt;
    }
    return PointText(key.get());
}

std::string PrivateKey::PublicKeyPem() const {
    Bio pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_PUBKEY(pem.get(), m_key.get()) != 1) {
        Fail("cannot write the public key");
    }
    return MemoryText(pem.get());
}

std::string GenerateKeyPair(const std::filesystem::path& directory) {
    const std::filesystem::path privatePath = directory / kPrivateKeyFile;
    std::error_code error;
    if (std::filesystem::symlink_status(privatePath, error).type() !=
        std::filesystem::file_type::not_found) {
        Refuse(Shown(privatePath) + " exists already; a key is never overwritten");
    }
    if (!std::filesystem::exists(directory, error)) {
        std::filesystem::create_directories(
            directory.parent_path().empty() ? std::filesystem::path(".") : directory.parent_path(),
            error);
        if (error || (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)) {
            Fail("cannot create " + Shown(directory) + ": " +
                 (error ? error.message() : std::strerror(errno)));
        }
    }
    CheckKeyPlace(privatePath);
    OwnersAlone(directory,
                "who could replace the keys in it: make it the owner's alone (chmod go-w), or "
                "take another directory");

    const PrivateKey key = PrivateKey::Generate();
    CreateFileExclusively(privatePath, key.Pem(), 0600);

    const std::string publicText = key.PublicKeyText();
    WriteFileAtomically(directory / kPublicKeyFile, publicText + "\n");
    WriteFileAtomically(directory / kPublicKeyPemFile, key.PublicKeyPem());
    return publicText;
}

PrivateKey PrivateKey::Generate() {
    PrivateKey key(EVP_EC_gen(SN_X9_62_prime256v1));
    if (!key.m_key) Fail("cannot make a P-256 key");
    return key;
}

std::string PrivateKey::Pem() const {
    Bio pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_PrivateKey(pem.get(), m_key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        Fail("cannot write the private key");
    }
    return MemoryText(pem.get());
}

PrivateKey PrivateKey::Load(const std::filesystem::path& path) {
    const std::optional<std::string> pem = ReadWholeFile(path);
    if (!pem) Refuse("there is no key file " + Shown(path));
    CheckKeyPlace(path);
    const mode_t mode =
        OwnersAlone(path,
                    "one of whom may have put another key there: make sure it is yours, then chmod "
                    "go-w it");
    if ((mode & 077) != 0) {
        std::fprintf(stderr, "warning: %s can be read by other users than its owner\n",
                     Shown(path).c_str());
    }
    Bio bio(BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())));
    PrivateKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr)
                       : nullptr);
    if (!IsP256(key.m_key.get())) {
        Refuse(Shown(path) + " holds no P-256 private key (an unencrypted PEM file)");
    }
    return key;
}

std::string PrivateKey::Sign(std::string_view bytes) const {
    std::unique_ptr<EVP_MD_CTX, MdContextFree> context(EVP_MD_CTX_new());
    size_t size = 0;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, m_key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &size,
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1) {
        Fail("cannot sign the manifest");
    }
    std::string signature(size, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1) {
        Fail("cannot sign the manifest");
    }
    signature.resize(size);
    return signature;
}

}  // namespace publish
