// Hashing and signature checks (platform/crypto.h) on OpenSSL's libcrypto.
// Supports: SHA-256 through an EVP digest context; a P-256 public key from its uncompressed
// point (EVP_PKEY_fromdata, which checks that the point lies on the curve); ECDSA verification
// of r and s over a digest, handed to libcrypto as their DER encoding.
// Quirks:
// - A point that is not on the curve is refused when the key is made; CNG under Wine takes it
//   and fails every check later.
#include "platform/crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <vector>

namespace {

template <auto Release>
struct OpenSslFree {
    template <class T>
    void operator()(T* object) const {
        Release(object);
    }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, OpenSslFree<&EVP_MD_CTX_free>>;
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<&EVP_PKEY_CTX_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, OpenSslFree<&EVP_PKEY_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, OpenSslFree<&ECDSA_SIG_free>>;
using Bignum = std::unique_ptr<BIGNUM, OpenSslFree<&BN_free>>;

constexpr std::size_t kCoordinate = 32;

// r and s as libcrypto checks them: the DER encoding of the pair; nothing when memory runs out.
std::optional<std::vector<unsigned char>> DerSignature(const crypto::P256Signature& rs) {
    EcdsaSig signature(ECDSA_SIG_new());
    Bignum r(BN_bin2bn(rs.data(), kCoordinate, nullptr));
    Bignum s(BN_bin2bn(rs.data() + kCoordinate, kCoordinate, nullptr));
    if (!signature || !r || !s || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) {
        return std::nullopt;
    }
    r.release();  // the signature owns them now
    s.release();
    const int size = i2d_ECDSA_SIG(signature.get(), nullptr);
    if (size <= 0) return std::nullopt;
    std::vector<unsigned char> der(static_cast<std::size_t>(size));
    unsigned char* out = der.data();
    if (i2d_ECDSA_SIG(signature.get(), &out) != size) return std::nullopt;
    return der;
}

}  // namespace

namespace crypto {

struct Sha256Hash::State {
    MdContext context;
};

struct P256Key::State {
    Pkey key;
};

void Sha256Hash::Free::operator()(State* state) const {
    delete state;
}

void P256Key::Free::operator()(State* state) const {
    delete state;
}

Sha256Hash::Sha256Hash() {
    MdContext context(EVP_MD_CTX_new());
    if (context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1) {
        m_state.reset(new State{std::move(context)});
    }
}

void Sha256Hash::Update(const void* data, std::size_t size) {
    if (m_state && size != 0 && EVP_DigestUpdate(m_state->context.get(), data, size) != 1) {
        m_state.reset();
    }
}

std::optional<Sha256Digest> Sha256Hash::Finish() {
    if (!m_state) return std::nullopt;
    const std::unique_ptr<State, Free> state = std::move(m_state);
    Sha256Digest digest{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(state->context.get(), digest.data(), &size) != 1 ||
        size != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

std::optional<P256Key> P256Key::FromPoint(std::span<const unsigned char> point) {
    if (point.size() != 1 + 2 * kCoordinate || point[0] != POINT_CONVERSION_UNCOMPRESSED) {
        return std::nullopt;
    }
    std::array<unsigned char, 1 + 2 * kCoordinate> bytes{};
    std::copy(point.begin(), point.end(), bytes.begin());
    char group[] = SN_X9_62_prime256v1;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, bytes.data(), bytes.size()),
        OSSL_PARAM_construct_end(),
    };
    PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    // The decoding of the point checks that it lies on the curve.
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
        return std::nullopt;
    }
    return P256Key(std::unique_ptr<State, Free>(new State{Pkey(key)}));
}

bool P256Key::Verifies(const Sha256Digest& digest, const P256Signature& signature) const {
    const std::optional<std::vector<unsigned char>> der = DerSignature(signature);
    if (!der) return false;
    PkeyContext context(EVP_PKEY_CTX_new(m_state->key.get(), nullptr));
    if (!context || EVP_PKEY_verify_init(context.get()) != 1) return false;
    // Without a digest set on the context, libcrypto checks the signature over digest as given.
    return EVP_PKEY_verify(context.get(), der->data(), der->size(), digest.data(), digest.size()) ==
           1;
}

}  // namespace crypto
