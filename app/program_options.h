// The program's own options, answered before any front end or setting is touched. One
// implementation per system, chosen by the build: Linux answers --help and --version, as users
// there expect of any program; Windows answers nothing, so that its command line stays the one
// the product gives it.
#pragma once

#include <optional>
#include <ostream>
#include <string_view>

// Reads the arguments after the program's name in order, up to a lone "--"; the first that is
// not the dialog's decides. --help writes the usage to out and gives 0; --version writes the
// version and what the build holds (keyText: the publisher's keys it was built with, as
// KESTRIN_UPDATE_PUBLIC_KEY gives them) and gives 0; any other argument (-h, --bogus, bogus)
// writes the usage to err and gives 2. Gives nothing when the dialog is to run: no arguments, or
// only ones that hold a switch of the dialog ("UPDATE_REQUEST", "--UPDATE_REQUEST"), since the
// dialog finds its switches anywhere in the raw line.
std::optional<int> AnswerProgramOptions(int argc, const char* const* argv, std::string_view keyText,
                                        std::ostream& out, std::ostream& err);
