#include "keys.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "net/crypto.h"
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

}  // namespace

std::string PrivateKey::PublicKeyText() const {
    unsigned char point[65];
    size_t size = 0;
    if (EVP_PKEY_get_octet_string_param(m_key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                        sizeof point, &size) != 1 ||
        size != sizeof point || point[0] != POINT_CONVERSION_UNCOMPRESSED) {
        Fail("cannot write the public key as an uncompressed point");
    }
    return net::HexText(point);
}

std::string GenerateKeyPair(const std::filesystem::path& directory) {
    const std::filesystem::path privatePath = directory / kPrivateKeyFile;
    std::error_code error;
    if (std::filesystem::symlink_status(privatePath, error).type() !=
        std::filesystem::file_type::not_found) {
        Refuse(Shown(privatePath) + " exists already; a key is never overwritten");
    }
    std::filesystem::create_directories(directory, error);
    if (error) Fail("cannot create " + Shown(directory) + ": " + error.message());

    const PrivateKey key = PrivateKey::Generate();
    CreateFileExclusively(privatePath, key.Pem(), 0600);

    const std::string publicText = key.PublicKeyText();
    WriteFileAtomically(directory / kPublicKeyFile, publicText + "\n");
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
    char* data = nullptr;
    const long size = BIO_get_mem_data(pem.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

PrivateKey PrivateKey::Load(const std::filesystem::path& path) {
    const std::optional<std::string> pem = ReadWholeFile(path);
    if (!pem) Refuse("there is no key file " + Shown(path));
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
        std::fprintf(stderr, "warning: %s can be read by other users than its owner\n",
                     Shown(path).c_str());
    }
    Bio bio(BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())));
    PrivateKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr)
                       : nullptr);
    char group[64] = "";
    if (!key.m_key || !EVP_PKEY_is_a(key.m_key.get(), "EC") ||
        EVP_PKEY_get_group_name(key.m_key.get(), group, sizeof group, nullptr) != 1 ||
        std::string(group) != SN_X9_62_prime256v1) {
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
