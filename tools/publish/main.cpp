// kestrin-publish: the publisher's tool. It makes the signing key, makes a server tree that a
// signed Kestrin accepts, signs it again before it expires, checks such a tree as Kestrin
// would, and uploads it to the update server and its mirrors. The exit statuses are in kHelp.
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
#include "prune.h"
#include "release.h"
#include "tree.h"
#include "upload.h"
#include "verify.h"

namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  kestrin-publish --help | --version\n"
    "  kestrin-publish keygen DIR\n"
    "  kestrin-publish release --from RELEASE_DIR --to SERVER_ROOT --product NAME\n"
    "                          --version 2B --key PRIVATE_KEY [--expires-days N]\n"
    "                          [--date YYYY-MM-DD] [--new-key] [--new-product] [--prune]\n"
    "                          [--allow-8bit-names] [--forget-dropped NAME]...\n"
    "  kestrin-publish refresh --to SERVER_ROOT --key PRIVATE_KEY [--expires-days N]\n"
    "  kestrin-publish verify --root SERVER_ROOT --public-key KEY [--product NAME] [--strict]\n"
    "  kestrin-publish prune --to SERVER_ROOT\n"
    "  kestrin-publish upload --root SERVER_ROOT --to ftp://USER@HOST[:PORT]/[PATH] [--to ...]\n"
    "                         [--public-key KEY] [--password-file FILE] [--tls] [--prune]\n";

constexpr const char* kHelp =
    "\n"
    "Commands:\n"
    "  keygen     makes the signing key pair in DIR (made with mode 0700): private-key.pem,\n"
    "             public-key.txt, public-key.pem; prints the public key, the value of\n"
    "             KESTRIN_UPDATE_PUBLIC_KEY. A key is never overwritten.\n"
    "  release    publishes the files of RELEASE_DIR in SERVER_ROOT/Update, signed.\n"
    "  refresh    signs the publication in SERVER_ROOT again, with a later expiry.\n"
    "  verify     checks SERVER_ROOT as a client built with KEY would; names stray files.\n"
    "  prune      removes the stray files (served, not listed) of SERVER_ROOT/Update.\n"
    "  upload     brings each server to serve exactly the publication in SERVER_ROOT: the\n"
    "             files that differ first (each renamed into place when whole), then\n"
    "             Version.txt and File_list.txt, Manifest.txt, Manifest.sig last; then reads\n"
    "             each server back and checks it.\n"
    "\n"
    "Options:\n"
    "  --from RELEASE_DIR     the release's files, subdirectories included\n"
    "  --to SERVER_ROOT       the directory that holds (or will hold) Update/\n"
    "  --root SERVER_ROOT     the same, for verify and upload\n"
    "  --to ftp://USER@HOST[:PORT]/[PATH]\n"
    "                         (upload) a server, PATH the directory above its Update/; once\n"
    "                         a server: the update server and each mirror\n"
    "  --product NAME         the product that clients check (release: the same as the\n"
    "                         previous publication's; verify: checked when given)\n"
    "  --version 2B           the release number and its letter (upper case)\n"
    "  --key PRIVATE_KEY      the private key's PEM file\n"
    "  --public-key KEY       the public key, or a file holding it (public-key.txt or .pem)\n"
    "  --expires-days N       the signature holds N days, 1 to 3650 (default 90)\n"
    "  --date YYYY-MM-DD      the date of new and changed files (default today)\n"
    "  --new-key              the previous publication may be signed with another key, or\n"
    "                         be one whose signature or manifest was lost\n"
    "  --new-product          the previous publication may be of another product\n"
    "  --prune                (release, upload) removes stray files afterwards\n"
    "  --allow-8bit-names     file names may hold bytes outside printable ASCII\n"
    "  --forget-dropped NAME  (release) no longer records what a name an earlier release\n"
    "                         dropped held (Update/Dropped.txt); may be given more than once\n"
    "  --strict               (verify) stray files make the tree fail\n"
    "  --password-file FILE   (upload) the password, on the first line of a file that only\n"
    "                         you can read; without it, libcurl reads ~/.netrc\n"
    "  --tls                  (upload) explicit TLS (AUTH TLS) for the login and the data\n"
    "\n"
    "Exit status:\n"
    "  0  done (verify: the tree is sound; upload: every server serves the publication)\n"
    "  1  a failure: a file that cannot be read or written, a tree that does not verify, a\n"
    "     server that failed (the others are still uploaded to)\n"
    "  2  a refusal, before anything is written: bad arguments, a release that the rules do\n"
    "     not allow, a key that would be overwritten or that others could replace\n";

// Takes every "--name value" pair of name out of arguments; refuses a name without a value.
std::vector<std::string> TakeAll(std::vector<std::string>& arguments, const std::string& name) {
    std::vector<std::string> values;
    for (auto it = arguments.begin(); it != arguments.end();) {
        if (*it != name) {
            ++it;
            continue;
        }
        if (it + 1 == arguments.end()) publish::Refuse(name + " needs a value\n" + kUsage);
        values.push_back(*(it + 1));
        it = arguments.erase(it, it + 2);
    }
    return values;
}

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
        std::vector<std::string> forgotten = TakeAll(rest, "--forget-dropped");
        const auto options = Options(
            rest, {"--from", "--to", "--product", "--version", "--key", "--expires-days", "--date"},
            {"--new-key", "--new-product", "--prune", "--allow-8bit-names"});
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
        release.newProduct = options.contains("--new-product");
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
        const auto options =
            Options(arguments, {"--root", "--public-key", "--product"}, {"--strict"});
        const std::string& root = Required(options, "--root");
        const net::P256PublicKey key =
            publish::PublicKeyArgument(Required(options, "--public-key"));
        std::optional<CString> product;
        if (options.contains("--product")) product = options.at("--product");
        return publish::Verify(root, key, product, options.contains("--strict"));
    }
    if (command == "prune") {
        return publish::Prune(Required(Options(arguments, {"--to"}), "--to"));
    }
    if (command == "upload") {
        std::vector<std::string> rest = arguments;
        publish::UploadOptions upload;
        upload.servers = TakeAll(rest, "--to");
        const auto options =
            Options(rest, {"--root", "--public-key", "--password-file"}, {"--tls", "--prune"});
        upload.root = Required(options, "--root");
        if (options.contains("--public-key")) upload.publicKey = options.at("--public-key");
        if (options.contains("--password-file")) {
            upload.passwordFile = options.at("--password-file");
        }
        upload.tls = options.contains("--tls");
        upload.prune = options.contains("--prune");
        return publish::Upload(upload);
    }
    publish::Refuse("unknown command \"" + command + "\"\n" + kUsage);
}

// --help and --version, as kestrin answers them: on standard output, status 0 (1 when it
// could not be written); nothing when the command line asks for neither.
std::optional<int> AnswerOwnOption(const std::string& argument) {
    if (argument == "--help") {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
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
