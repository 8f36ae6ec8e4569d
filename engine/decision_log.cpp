#include "engine/decision_log.h"

#include "engine/rules.h"
#include "framework/diag_log.h"
#include "net/crypto.h"

namespace engine {

void LogDateDecision(const CString& name, const std::optional<FILETIME>& created,
                     std::optional<std::int64_t> listedTime, bool fetch) {
    if (!diag::Enabled()) return;
    const std::string listed = listedTime ? "listed date from " + diag::UtcText(*listedTime)
                                          : "a date that does not convert";
    const char* outcome = fetch ? "fetch" : "unchanged";
    if (!created) {
        diag::Log("file ", name, ": no local copy, ", listed, ": ", outcome);
    } else {
        diag::Log("file ", name, ": created ", diag::UtcText(InstantOf(*created)), ", ", listed,
                  ": ", outcome);
    }
}

void LogContentDecision(const CString& name, const ManifestRecord& record, bool unchanged) {
    if (!diag::Enabled()) return;
    diag::Log("file ", name, ": the local copy ", unchanged ? "has" : "has not",
              " the recorded size ", record.size, " and SHA-256 ", net::HexText(record.sha256),
              ": ", unchanged ? "unchanged" : "fetch");
}

void LogRefusedEntry(const CString& name, bool safe) {
    diag::Log("file ", name, ": refused: ",
              safe ? "the signed release has no record of it"
                   : "the name would leave the product directory, or its line is overlong");
}

}  // namespace engine
