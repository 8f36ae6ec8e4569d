#include "frontends/terminal/terminal_text.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

namespace terminal {

namespace {

bool IsControl(unsigned char c, bool onTerminal) {
    return c < 0x20 || c == 0x7f || (onTerminal && c >= 0x80 && c < 0xa0);
}

}  // namespace

CString Escaped(const CString& text, bool onTerminal) {
    CString out;
    out.reserve(text.size());
    size_t plain = 0;  // where the characters not yet copied begin
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        const bool control = IsControl(c, onTerminal);
        const bool doubled = c == '\\' && !onTerminal && i + 1 < text.size() &&
                             (text[i + 1] == 'n' || text[i + 1] == 'x' || text[i + 1] == '\\' ||
                              IsControl(static_cast<unsigned char>(text[i + 1]), false));
        if (!control && !doubled) continue;
        out.append(text, plain, i - plain);
        plain = i + 1;
        if (c == '\n') {
            out += "\\n";
        } else if (control) {
            static const char kHex[] = "0123456789abcdef";
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
        } else {
            out += "\\\\";
        }
    }
    out.append(text, plain, CString::npos);
    return out;
}

CString WithoutAccessKeys(const CString& text) {
    CString out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) ++i;
        out += text[i];
    }
    return out;
}

char AccessKey(const CString& label) {
    for (size_t i = 0; i + 1 < label.size(); ++i) {
        if (label[i] != '&') continue;
        if (label[i + 1] != '&')
            return static_cast<char>(std::tolower(static_cast<unsigned char>(label[i + 1])));
        ++i;
    }
    return 0;
}

CString Centred(const CString& text, size_t width) {
    if (text.size() >= width) return text.substr(0, width);
    size_t left = (width - text.size()) / 2;
    return CString(left, ' ') + text + CString(width - text.size() - left, ' ');
}

std::vector<CString> Packed(const std::vector<CString>& units, size_t width, const CString& gap) {
    std::vector<CString> rows;
    CString row;
    bool started = false;
    for (CString unit : units) {
        if (started && row.size() + gap.size() + unit.size() <= width) {
            row += gap + unit;
            continue;
        }
        if (started) rows.push_back(row);
        for (; unit.size() > width; unit.erase(0, width)) rows.push_back(unit.substr(0, width));
        row = unit;
        started = true;
    }
    rows.push_back(row);
    return rows;
}

std::vector<CString> Wrapped(const CString& text, size_t width) {
    std::vector<CString> rows;
    for (size_t start = 0;;) {
        size_t end = text.find('\n', start);
        CString paragraph =
            Escaped(text.substr(start, end == CString::npos ? end : end - start), true);
        std::vector<CString> words;
        for (size_t from = 0;;) {
            size_t space = paragraph.find(' ', from);
            words.push_back(paragraph.substr(from, space == CString::npos ? space : space - from));
            if (space == CString::npos) break;
            from = space + 1;
        }
        std::vector<CString> part = Packed(words, width, " ");
        rows.insert(rows.end(), part.begin(), part.end());
        if (end == CString::npos || end + 1 == text.size()) break;
        start = end + 1;
    }
    return rows;
}

void Framed(const CString& caption, const std::vector<CString>& rows, size_t inner,
            std::vector<CString>* out) {
    // Each line is built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) of a literal
    // prepended to a string.
    CString title = " ";
    CString top = "+";
    top.append(Centred(title.append(Escaped(caption, true)).append(" "), inner)).append("+");
    out->push_back(std::move(top));
    for (const CString& row : rows) {
        CString line = "| ";
        line.append(row, 0, inner - 2).append(inner - 2 - std::min(row.size(), inner - 2), ' ');
        out->push_back(line.append(" |"));
    }
    CString bottom = "+";
    out->push_back(bottom.append(inner, '-').append("+"));
}

}  // namespace terminal
