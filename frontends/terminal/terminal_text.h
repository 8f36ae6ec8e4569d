// The text of the terminal front end: control characters written out, access keys, and the
// layout of rows (centred, packed, wrapped, framed). Widths are counted in bytes.
#pragma once

#include <cstddef>
#include <vector>

#include "framework/cstring.h"

namespace terminal {

// A dialog's width inside its frame where the terminal has room, and the least it is drawn at.
constexpr size_t kInnerWidth = 62;
constexpr size_t kMinInnerWidth = 16;

// The text with its control characters written out: a line break as the two characters \n,
// any other control character (below 0x20, and 0x7F; on a terminal also 0x80 to 0x9F) as \x and
// two lower-case hex digits. Off a terminal a backslash is doubled where it would otherwise
// begin one of these (before n, x, a backslash or a control character), so that a script reads
// every text back unambiguously.
CString Escaped(const CString& text, bool onTerminal);

// A label without its access-key marks ("&Update" is Update, "&&" an ampersand).
CString WithoutAccessKeys(const CString& text);
// The access key of a label ("&Update": u), in lower case; 0 when it has none.
char AccessKey(const CString& label);

// text in the middle of width columns (cut when longer).
CString Centred(const CString& text, size_t width);
// Units side by side with gap between them, as many to a row of width as fit; a unit longer
// than a row is broken where the row ends.
std::vector<CString> Packed(const std::vector<CString>& units, size_t width, const CString& gap);
// A text as a terminal shows it in rows of width: its own line breaks (a last one ends the text
// and adds no row), then breaks at spaces; control characters written out.
std::vector<CString> Wrapped(const CString& text, size_t width);
// A frame of inner width around rows (each at most inner - 2), its caption in the top line.
void Framed(const CString& caption, const std::vector<CString>& rows, size_t inner,
            std::vector<CString>* out);

}  // namespace terminal
