// The program's own options on Linux. Supports: --help and --version on standard output, an
// unknown "--" option refused with the usage on standard error and status 2 (as getopt-based
// programs do). Quirks: single-dash and bare arguments are never options here, because the
// product may pass its switches with any decoration; "--" ends the options.
#include <string_view>

#include "app/program_options.h"
#include "kestrin_config.h"
#include "ui/update_dialog.h"

namespace {

constexpr const char* kUsage =
    "Usage: kestrin [UPDATE_NOREQUEST | UPDATE_REQUEST]\n"
    "       kestrin --help | --version\n"
    "\n"
    "Brings the Tamwix product's files up to date from its update server.\n"
    "\n"
    "  (no switch)       open the \"Updating System\" dialog; Update checks the release\n"
    "                    and fetches the files that the server lists\n"
    "  UPDATE_NOREQUEST  check the release silently: only a newer one is announced\n"
    "  UPDATE_REQUEST    check the release and tell every outcome\n"
    "  --help            print this help and exit\n"
    "  --version         print the version and exit\n"
    "\n"
    "Settings are read from ${XDG_CONFIG_HOME:-~/.config}/Vantorel/Tamwix; see kestrin(1).\n";

bool NamesDialogSwitch(std::string_view argument) {
    return argument.find(kSilentCheckSwitch) != std::string_view::npos ||
           argument.find(kInteractiveCheckSwitch) != std::string_view::npos;
}

}  // namespace

std::optional<int> AnswerProgramOptions(int argc, const char* const* argv, std::ostream& out,
                                        std::ostream& err) {
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--") break;
        if (!argument.starts_with("--") || NamesDialogSwitch(argument)) continue;
        if (argument == "--help") {
            out << kUsage;
        } else if (argument == "--version") {
            out << "kestrin " << KESTRIN_VERSION << "\n";
        } else {
            err << "kestrin: unknown option " << argument << "\n" << kUsage;
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
