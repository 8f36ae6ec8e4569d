// Published P-256 test data (RFC 6979, A.2.5): a key and its SHA-256 signatures of "sample" and
// "test", r and s apart; and the curve's generator, a sound key that signed neither. All in
// hexadecimal, keys in the form KESTRIN_UPDATE_PUBLIC_KEY takes.
#pragma once

#include <string>
#include <vector>

namespace p256 {

inline const std::string kKey =
    "0460FED4BA255A9D31C961EB74C6356D68C049B8923B61FA6CE669622E60F29FB6"
    "7903FE1008B8BC99A41AE9E95628BC64F2F1B20C2D7E9F5177A3C294D4462299";
inline const std::string kSampleR =
    "EFD48B2AACB6A8FD1140DD9CD45E81D69D2C877B56AAF991C34D0EA84EAF3716";
inline const std::string kSampleS =
    "F7CB1C942D657C41D436C7A1B6E29F65F3E900DBB9AFF4064DC4AB2F843ACDA8";
inline const std::string kTestR =
    "F1ABB023518351CD71D881567B1EA663ED3EFCF6C5132B354F28D3B0B7D38367";
inline const std::string kTestS =
    "019F4113742A2B14BD25926B49C649155F267E60D3814B4C0CC84250E46F0083";
inline const std::string kOtherKey =
    "046B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296"
    "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5";

// The bytes that hexadecimal test data stands for.
inline std::vector<unsigned char> Bytes(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace p256
