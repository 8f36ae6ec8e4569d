// The text of the terminal front end: control characters written out, access keys, and the
// layout of rows (centred, packed, wrapped, framed). Widths are counted in bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace terminal {

// The text with its control characters written out: a line break as the two characters \n,
// any other control character (below 0x20, and 0x7F; on a terminal also 0x80 to 0x9F) as \x and
// two lower-case hex digits. Off a terminal a backslash is doubled where it would otherwise
// begin one of these (before n, x, a backslash or a control character), so that a script reads
// every text back unambiguously.
std::string Escaped(const std::string& text, bool onTerminal);

// A label without its access-key marks ("&Update" is Update, "&&" an ampersand).
std::string WithoutAccessKeys(const std::string& text);
// The access key of a label ("&Update": u), in lower case; 0 when it has none.
char AccessKey(const std::string& label);

// text in the middle of width columns (cut when longer).
std::string Centred(const std::string& text, size_t width);
// Units side by side with gap between them, as many to a row of width as fit; a unit longer
// than a row is broken where the row ends.
std::vector<std::string> Packed(const std::vector<std::string>& units, size_t width,
                                const std::string& gap);
// A text as a terminal shows it in rows of width: its own line breaks (a last one ends the text
// and adds no row), then breaks at spaces; control characters written out.
std::vector<std::string> Wrapped(const std::string& text, size_t width);
// A frame of inner width around rows (each at most inner - 2), its caption in the top line.
void Framed(const std::string& caption, const std::vector<std::string>& rows, size_t inner,
            std::vector<std::string>* out);

}  // namespace terminal
