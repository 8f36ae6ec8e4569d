// The program's own options on Windows: none. The product starts Kestrin.exe with a switch
// anywhere in its command line, and every argument is left to the dialog.
#include "app/program_options.h"

std::optional<int> AnswerProgramOptions(int, const char* const*, std::string_view, std::ostream&,
                                        std::ostream&) {
    return std::nullopt;
}
