// Text in the program: 8-bit strings in the system's ANSI code page. std::string already is a
// counted value string with byte-wise, case-sensitive comparison, which is all the program
// relies on.
#pragma once

#include <string>

using CString = std::string;
