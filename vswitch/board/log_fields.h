// The escaping of a field of the board's tab-separated logs, shared by the
// interposer that writes them and the API that reads them back.
#pragma once

#include <string>

namespace vswitch::board {

// Backslash, tab, newline, carriage return and other control bytes become
// escapes, so that a field never breaks a line or a column.
inline std::string escape_log_field(const char* text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F)
            out += std::string("\\x") + digits[c >> 4] + digits[c & 0xF];
        else
            out += static_cast<char>(c);
    }
    return out;
}

} // namespace vswitch::board
