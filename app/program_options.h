// The program's own options, answered before any front end or setting is touched. One
// implementation per system, chosen by the build: Linux answers --help and --version, as users
// there expect of any program; Windows answers nothing, so that its command line stays the one
// the product gives it.
#pragma once

#include <optional>
#include <ostream>

// Reads the arguments after the program's name in order, up to a lone "--"; the first option
// decides. --help writes the usage to out and gives 0, --version the version record's version
// and gives 0; any other argument that starts with "--" writes the usage to err and gives 2.
// Gives nothing when the dialog is to run: no such option, or one that holds a switch of the
// dialog ("--UPDATE_REQUEST"), since the dialog finds its switches anywhere in the raw line.
std::optional<int> AnswerProgramOptions(int argc, const char* const* argv, std::ostream& out,
                                        std::ostream& err);
