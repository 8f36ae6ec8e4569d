#include "engine/manifest.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <unordered_map>
#include <vector>
#include <span>

namespace engine {

namespace {

constexpr std::string_view kFormatLine = "kestrin-manifest 1";
// The records after the format line, in this order; then only files.
constexpr std::string_view kHeader[] = {"product", "serial", "expires"};

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct CivilDate {
    std::int64_t year;
    int month;
    int day;
};

CivilDate CivilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    const int month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    return {yearOfEra + era * 400 + (month <= 2), month, day};
}

int DaysInMonth(std::int64_t year, int month) {
    constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A fixed-width field of digits.
std::optional<int> Digits(std::string_view text, size_t position, size_t count) {
    int value = 0;
    for (size_t i = position; i < position + count; ++i) {
        if (!IsDigit(text[i])) return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// "YYYY-MM-DDTHH:MM:SSZ", a real date and time of day in UTC.
std::optional<std::int64_t> ParseUtcInstant(std::string_view text) {
    constexpr std::string_view kShape = "0000-00-00T00:00:00Z";
    if (text.size() != kShape.size()) return std::nullopt;
    for (size_t i = 0; i < kShape.size(); ++i) {
        if (kShape[i] != '0' && text[i] != kShape[i]) return std::nullopt;
    }
    const auto year = Digits(text, 0, 4);
    const auto month = Digits(text, 5, 2);
    const auto day = Digits(text, 8, 2);
    const auto hour = Digits(text, 11, 2);
    const auto minute = Digits(text, 14, 2);
    const auto second = Digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    if (*month < 1 || *month > 12 || *day < 1 || *day > DaysInMonth(*year, *month) || *hour > 23 ||
        *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    return DaysFromCivil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

// The position of the first record whose name an earlier record has, or nothing. Names mostly
// come sorted byte by byte (the publisher's tool sorts them, after its own two files): a name
// greater than the last of the sorted run so far joins the run, which cannot hold a name twice;
// each other name is looked for in the whole run (by halving) and among the other such names.
// So a sorted manifest of a hundred thousand records costs a comparison a name, with no table
// scattered over megabytes of memory, and any other order a search a name.
std::optional<size_t> FirstRepeated(const std::vector<std::pair<CString, ManifestRecord>>& files) {
    std::vector<size_t> run;
    std::vector<size_t> others;
    for (size_t i = 0; i < files.size(); ++i) {
        (run.empty() || files[run.back()].first < files[i].first ? run : others).push_back(i);
    }
    std::optional<size_t> first;
    const auto repeated = [&first](size_t a, size_t b) {
        first = std::min(first.value_or(std::max(a, b)), std::max(a, b));
    };
    std::unordered_map<std::string_view, size_t> seen;
    seen.reserve(others.size());
    for (const size_t i : others) {
        const std::string_view name = files[i].first;
        const auto found = std::lower_bound(run.begin(), run.end(), name, [&](size_t j, auto n) {
            return std::string_view(files[j].first) < n;
        });
        if (found != run.end() && files[*found].first == name) repeated(i, *found);
        if (const auto [other, added] = seen.emplace(name, i); !added) repeated(i, other->second);
    }
    return first;
}

ManifestVerdict Refused(ManifestFault fault, CString reason) {
    ManifestVerdict verdict;
    verdict.fault = fault;
    verdict.reason = std::move(reason);
    return verdict;
}

}  // namespace

std::pair<std::string_view, std::string_view> SplitRecord(std::string_view line) {
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos) return {line, {}};
    return {line.substr(0, blank), line.substr(blank + 1)};
}

bool IsNameText(std::string_view text) {
    return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
}

std::optional<ManifestRecord> ParseContentFields(std::string_view fields, std::string_view& name) {
    const auto [sizeText, rest] = SplitRecord(fields);
    const auto [digestText, nameText] = SplitRecord(rest);
    const std::optional<std::uint64_t> size = ParseCount(sizeText);
    ManifestRecord record;
    if (!size || !net::BytesFromHex(digestText, record.sha256) || !IsNameText(nameText)) {
        return std::nullopt;
    }
    record.size = *size;
    name = nameText;
    return record;
}

std::nullopt_t RefuseLine(CString* reason, size_t lineNumber, const CString& what) {
    if (reason != nullptr) *reason = "line " + std::to_string(lineNumber) + ": " + what;
    return std::nullopt;
}

std::optional<std::uint64_t> ParseCount(std::string_view text) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (!IsDigit(c)) return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

const ManifestRecord* Manifest::Find(const CString& name) const {
    for (const auto& [fileName, record] : files) {
        if (fileName == name) return &record;
    }
    return nullptr;
}

std::optional<Manifest> ParseManifest(std::string_view text, CString* reason) {
    if (text.empty() || text.back() != '\n') {
        return RefuseLine(reason, 1 + std::count(text.begin(), text.end(), '\n'),
                          "the text does not end with a line feed");
    }
    Manifest manifest;
    // A file record takes at least 73 bytes.
    manifest.files.reserve(text.size() / 73 + 1);
    RecordLines lines(text);
    std::string_view line;
    while (lines.Next(line)) {
        const size_t lineNumber = lines.Number();
        if (lineNumber == 1) {
            if (line != kFormatLine) {
                return RefuseLine(reason, lineNumber,
                                  "not \"" + CString(kFormatLine) + "\" (another format version?)");
            }
            continue;
        }
        const auto [keyword, value] = SplitRecord(line);
        const std::string_view expected = lineNumber - 2 < std::size(kHeader)
                                              ? kHeader[lineNumber - 2]
                                              : std::string_view("file");
        if (keyword != expected) {
            return RefuseLine(reason, lineNumber,
                              "expected a \"" + CString(expected) + "\" record");
        }
        if (keyword == "product") {
            if (!IsNameText(value)) return RefuseLine(reason, lineNumber, "no product name");
            manifest.product = CString(value);
        } else if (keyword == "serial") {
            const auto serial = ParseCount(value);
            if (!serial) return RefuseLine(reason, lineNumber, "the serial is not a number");
            manifest.serial = *serial;
        } else if (keyword == "expires") {
            const auto expires = ParseUtcInstant(value);
            if (!expires) {
                return RefuseLine(reason, lineNumber, "the expiry is not YYYY-MM-DDTHH:MM:SSZ");
            }
            manifest.expires = *expires;
        } else {
            std::string_view name;
            const std::optional<ManifestRecord> record = ParseContentFields(value, name);
            if (!record) return RefuseLine(reason, lineNumber, "not \"file SIZE SHA256 NAME\"");
            manifest.files.emplace_back(CString(name), *record);
        }
    }
    if (lines.Number() < 1 + std::size(kHeader)) {
        return RefuseLine(reason, lines.Number(), "the text ends before its header does");
    }
    if (const std::optional<size_t> repeated = FirstRepeated(manifest.files)) {
        CString what = "\"";  // appended: GCC 12 warns falsely of a literal prepended
        return RefuseLine(reason, 2 + std::size(kHeader) + *repeated,
                          what.append(manifest.files[*repeated].first).append("\" a second time"));
    }
    return manifest;
}

CString ManifestText(const Manifest& manifest) {
    CString text = CString(kFormatLine) + "\n";
    text += "product " + manifest.product + "\n";
    text += "serial " + std::to_string(manifest.serial) + "\n";
    text += "expires " + UtcInstantText(manifest.expires) + "\n";
    for (const auto& [name, record] : manifest.files) {
        text += "file " + std::to_string(record.size) + " " + net::HexText(record.sha256) + " " +
                name + "\n";
    }
    return text;
}

CString UtcInstantText(std::int64_t instant) {
    std::int64_t days = instant / 86400;
    std::int64_t seconds = instant % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    const CivilDate date = CivilFromDays(days);
    char text[64];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02dZ",
                  static_cast<long long>(date.year), date.month, date.day,
                  static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60));
    return text;
}

ManifestVerdict ReadSignedManifest(std::string_view text, std::string_view signature,
                                   std::span<const net::P256PublicKey> keys) {
    const std::optional<net::Sha256Digest> digest = net::Sha256::Of(text);
    if (!digest) {
        return Refused(ManifestFault::BadSignature,
                       "the signature is not this key's signature of the manifest");
    }
    return ReadSignedManifest(text, *digest, signature, keys);
}

ManifestVerdict ReadSignedManifest(std::string_view text, const net::Sha256Digest& digest,
                                   std::string_view signature,
                                   std::span<const net::P256PublicKey> keys) {
    if (signature.empty()) return Refused(ManifestFault::Unsigned, "the signature is empty");
    const auto der =
        std::span(reinterpret_cast<const unsigned char*>(signature.data()), signature.size());
    const std::optional<net::P256Signature> rs = net::SignatureFromDer(der);
    if (!rs) {
        return Refused(ManifestFault::BadSignature, "the signature is not a DER ECDSA signature");
    }
    if (std::none_of(keys.begin(), keys.end(),
                     [&](const net::P256PublicKey& key) { return key.Verifies(digest, *rs); })) {
        return Refused(ManifestFault::BadSignature,
                       "the signature is not this key's signature of the manifest");
    }
    CString reason;
    std::optional<Manifest> manifest = ParseManifest(text, &reason);
    if (!manifest) return Refused(ManifestFault::Malformed, reason);
    ManifestVerdict verdict;
    verdict.manifest = std::move(manifest);
    return verdict;
}

ManifestVerdict CheckManifest(std::string_view text, std::string_view signature,
                              std::span<const net::P256PublicKey> keys,
                              const ManifestPolicy& policy) {
    const std::optional<net::Sha256Digest> digest = net::Sha256::Of(text);
    if (!digest) {
        return Refused(ManifestFault::BadSignature,
                       "the signature is not this key's signature of the manifest");
    }
    return CheckManifest(text, *digest, signature, keys, policy);
}

ManifestVerdict CheckManifest(std::string_view text, const net::Sha256Digest& digest,
                              std::string_view signature, std::span<const net::P256PublicKey> keys,
                              const ManifestPolicy& policy) {
    ManifestVerdict verdict = ReadSignedManifest(text, digest, signature, keys);
    if (!verdict) return verdict;
    const Manifest& manifest = *verdict.manifest;
    if (policy.now >= manifest.expires) {
        return Refused(ManifestFault::Expired,
                       "the manifest expired at " + UtcInstantText(manifest.expires));
    }
    if (policy.product && manifest.product != *policy.product) {
        return Refused(ManifestFault::OtherProduct, "the manifest is for \"" + manifest.product +
                                                        "\", not \"" + *policy.product + "\"");
    }
    if (manifest.serial < policy.highestSerial) {
        return Refused(ManifestFault::OlderSerial,
                       "the manifest's serial " + std::to_string(manifest.serial) +
                           " is lower than " + std::to_string(policy.highestSerial) +
                           ", accepted before");
    }
    return verdict;
}

}  // namespace engine
