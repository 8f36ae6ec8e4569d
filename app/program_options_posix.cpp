// The program's own options on Linux. Supports: --help on standard output; --version with what
// the build holds (its server, mirrors, account without the password, names, connections and
// the fingerprints of its publisher's keys), so that a support desk can tell one build from
// another; any other argument refused with the usage on standard error and status 2 (as
// getopt-based programs do). Quirks: an argument that holds a switch of the dialog, with any
// decoration, is the dialog's, because the product may pass its switches so; "--" ends the
// options.
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "app/program_options.h"
#include "kestrin_config.h"
#include "net/crypto.h"
#include "net/update_server.h"
#include "ui/update_dialog.h"

namespace {

constexpr const char* kUsage =
    "Usage: kestrin [UPDATE_NOREQUEST | UPDATE_REQUEST]\n"
    "       kestrin --help | --version\n"
    "\n"
    "Brings the " KESTRIN_UPDATE_PRODUCT
    " product's files up to date from its update server.\n"
    "\n"
    "  (no switch)       open the \"Updating System\" dialog; Update checks the release\n"
    "                    and fetches the files that the server lists\n"
    "  UPDATE_NOREQUEST  check the release silently: only a newer one is announced\n"
    "  UPDATE_REQUEST    check the release and tell every outcome\n"
    "  --help            print this help and exit\n"
    "  --version         print the version and exit\n"
    "\n"
    "Settings are read from ${XDG_CONFIG_HOME:-~/.config}/" KESTRIN_COMPANY_KEY
    "/" KESTRIN_UPDATE_PRODUCT "; see kestrin(1).\n";

// A server as a run reaches it: the port FTP's own when the build names none.
void WriteServer(std::ostream& out, const UpdateServer& server) {
    out << server.host << ':' << (server.port == 0 ? INTERNET_DEFAULT_FTP_PORT : server.port);
}

// The SHA-256 of a public key's point (the bytes its text writes in hexadecimal), in lower-case
// hexadecimal: what `xxd -r -p public-key.txt | sha256sum` gives of the key kestrin-publish made.
CString KeyFingerprint(std::string_view keyText) {
    CString point(keyText.size() / 2, '\0');
    const auto bytes = std::span(reinterpret_cast<unsigned char*>(point.data()), point.size());
    if (!net::BytesFromHex(keyText, bytes)) return "not a key";
    const std::optional<net::Sha256Digest> digest = net::Sha256::Of(point);
    if (!digest) return "not a key";
    return net::HexText(*digest);
}

// What the build holds, one line each, after its version.
void WriteVersion(std::ostream& out, std::string_view keyText) {
    out << "kestrin " << KESTRIN_VERSION << "\n";
    const std::vector<UpdateServer> servers = CompiledUpdateServers(!keyText.empty());
    out << "server: ";
    WriteServer(out, servers.front());
    out << "\nmirrors: ";
    if (servers.size() == 1) out << "none";
    for (size_t i = 1; i < servers.size(); ++i) {
        if (i > 1) out << ", ";
        WriteServer(out, servers[i]);
    }
    out << "\naccount: " << servers.front().user << "\nproduct: " << KESTRIN_UPDATE_PRODUCT
        << "\ncompany key: " << KESTRIN_COMPANY_KEY
        << "\nproduct subdirectory: " << KESTRIN_PRODUCT_SUBDIRECTORY
        << "\nconnections: " << CompiledTransferConnections() << "\n";
    if (keyText.empty()) out << "public key: unsigned\n";
    while (!keyText.empty()) {
        const size_t comma = keyText.find(',');
        out << "public key SHA-256: " << KeyFingerprint(keyText.substr(0, comma)) << "\n";
        keyText.remove_prefix(comma == std::string_view::npos ? keyText.size() : comma + 1);
    }
}

bool NamesDialogSwitch(std::string_view argument) {
    return argument.find(kSilentCheckSwitch) != std::string_view::npos ||
           argument.find(kInteractiveCheckSwitch) != std::string_view::npos;
}

}  // namespace

std::optional<int> AnswerProgramOptions(int argc, const char* const* argv, std::string_view keyText,
                                        std::ostream& out, std::ostream& err) {
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--") break;
        if (NamesDialogSwitch(argument)) continue;
        if (argument == "--help") {
            out << kUsage;
        } else if (argument == "--version") {
            WriteVersion(out, keyText);
        } else {
            err << "kestrin: unknown " << (argument.starts_with("-") ? "option " : "argument ")
                << argument << "\n"
                << kUsage;
            return 2;
        }
        // A full disk or a closed pipe is not a success.
        if (!out.flush()) {
            err << "kestrin: the output could not be written\n";
            return 1;
        }
        return 0;
    }
    return std::nullopt;
}
