// kestrin-publish: the publisher's tool. It makes the signing key, makes a server tree that a
// signed Kestrin accepts, signs it again before it expires, and checks such a tree as Kestrin
// would.
// Exit status: 0 done (verify: the tree is sound); 1 a failure (a file that cannot be read or
// written, a tree that does not verify); 2 a refusal (bad arguments, a release that the rules
// do not allow, a key that would be overwritten).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "framework/exceptions.h"
#include "kestrin_config.h"
#include "dropped.h"
#include "keys.h"
#include "release.h"
#include "tree.h"
#include "verify.h"

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  kestrin-publish --help | --version\n"
    "  kestrin-publish keygen DIR\n"
    "  kestrin-publish release --from RELEASE_DIR --to SERVER_ROOT --product NAME\n"
    "                          --version 2B --key PRIVATE_KEY [--expires-days N]\n"
    "                          [--date YYYY-MM-DD] [--new-key] [--prune]\n"
    "                          [--allow-8bit-names] [--forget-dropped NAME]...\n"
    "  kestrin-publish refresh --to SERVER_ROOT --key PRIVATE_KEY [--expires-days N]\n"
    "  kestrin-publish verify --root SERVER_ROOT --public-key KEY [--product NAME]\n";

// The --name value pairs after the command, and the flags (--name alone, an empty value);
// refuses names in neither list, and values missing.
std::map<std::string, std::string> Options(const std::vector<std::string>& arguments,
                                           const std::vector<std::string>& allowed,
                                           const std::vector<std::string>& flags = {}) {
    std::map<std::string, std::string> options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            options[name].clear();
            continue;
        }
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
            publish::Refuse("unknown argument " + name + "\n" + kUsage);
        }
        if (i + 1 == arguments.size()) publish::Refuse(name + " needs a value\n" + kUsage);
        options[name] = arguments[++i];
    }
    return options;
}

const std::string& Required(const std::map<std::string, std::string>& options,
                            const std::string& name) {
    const auto found = options.find(name);
    if (found == options.end()) publish::Refuse(name + " is missing\n" + kUsage);
    return found->second;
}

int Number(const std::string& name, const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 1000000) {
        publish::Refuse(name + " " + text + ": a number of days");
    }
    return static_cast<int>(value);
}

int Run(const std::string& command, const std::vector<std::string>& arguments) {
    if (command == "keygen") {
        if (arguments.size() != 1) publish::Refuse(kUsage);
        std::printf("%s\n", publish::GenerateKeyPair(arguments[0]).c_str());
        const std::filesystem::path directory = arguments[0];
        std::fprintf(stderr,
                     "wrote %s (keep it secret), %s and %s; build Kestrin with "
                     "-DKESTRIN_UPDATE_PUBLIC_KEY=<the line above>\n",
                     publish::Shown(directory / publish::kPrivateKeyFile).c_str(),
                     publish::Shown(directory / publish::kPublicKeyFile).c_str(),
                     publish::Shown(directory / publish::kPublicKeyPemFile).c_str());
        return 0;
    }
    if (command == "release") {
        std::vector<std::string> rest = arguments;
        std::vector<std::string> forgotten = publish::TakeForgotten(rest);
        const auto options = Options(
            rest, {"--from", "--to", "--product", "--version", "--key", "--expires-days", "--date"},
            {"--new-key", "--prune", "--allow-8bit-names"});
        publish::ReleaseOptions release;
        release.from = Required(options, "--from");
        release.to = Required(options, "--to");
        release.product = Required(options, "--product");
        release.version = Required(options, "--version");
        release.key = Required(options, "--key");
        if (options.contains("--expires-days")) {
            release.expiresDays = Number("--expires-days", options.at("--expires-days"));
        }
        if (options.contains("--date")) release.date = options.at("--date");
        release.newKey = options.contains("--new-key");
        release.prune = options.contains("--prune");
        release.allow8bitNames = options.contains("--allow-8bit-names");
        release.forgotten = std::move(forgotten);
        return publish::Release(release);
    }
    if (command == "refresh") {
        const auto options = Options(arguments, {"--to", "--key", "--expires-days"});
        publish::RefreshOptions refresh;
        refresh.to = Required(options, "--to");
        refresh.key = Required(options, "--key");
        if (options.contains("--expires-days")) {
            refresh.expiresDays = Number("--expires-days", options.at("--expires-days"));
        }
        return publish::Refresh(refresh);
    }
    if (command == "verify") {
        const auto options = Options(arguments, {"--root", "--public-key", "--product"});
        const std::string& root = Required(options, "--root");
        const net::P256PublicKey key =
            publish::PublicKeyArgument(Required(options, "--public-key"));
        std::optional<CString> product;
        if (options.contains("--product")) product = options.at("--product");
        return publish::Verify(root, key, product);
    }
    publish::Refuse(kUsage);
}

// --help and --version, as kestrin answers them: on standard output, status 0 (1 when it
// could not be written); nothing when the command line asks for neither.
std::optional<int> AnswerOwnOption(const std::string& argument) {
    if (argument == "--help") {
        std::fputs(kUsage, stdout);
    } else if (argument == "--version") {
        std::printf("kestrin-publish %s\n", KESTRIN_VERSION);
    } else {
        return std::nullopt;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("kestrin-publish: the output could not be written\n", stderr);
        return publish::kExitFailed;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return publish::kExitRefused;
    }
    if (const auto answered = AnswerOwnOption(argv[1])) return *answered;
    try {
        return Run(argv[1], std::vector<std::string>(argv + 2, argv + argc));
    } catch (const publish::Stop& stop) {
        std::fprintf(stderr, "kestrin-publish: %s\n", stop.what());
        return stop.Status();
    } catch (const CException& error) {
        std::fprintf(stderr, "kestrin-publish: %s\n", error.GetErrorMessage().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrin-publish: %s\n", error.what());
    }
    return publish::kExitFailed;
}
