// The terminal front end: the dialog drawn on a terminal, or one line per visible change when
// standard output is not a terminal.
#pragma once

#include <cstdio>
#include <istream>
#include <memory>

#include "framework/frontend.h"

std::unique_ptr<CFrontEnd> CreateTerminalFrontEnd();
// For tests: reads from in and writes to out, drawn as on a terminal or one line per change.
std::unique_ptr<CFrontEnd> CreateTerminalFrontEnd(std::istream& in, std::FILE* out, bool drawn);
