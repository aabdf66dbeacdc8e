#include "scanner.hpp"

#include <stdexcept>
#include <string>

#include "malware_patterns.hpp"

namespace vesquor {

namespace {

// Quotes `text` with backslash escapes, as a debugger would print it.
std::string debug_quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    static const char* digits = "0123456789abcdef";
                    out += "\\u{";
                    if (c >= 0x10) out += digits[c >> 4];
                    out += digits[c & 0xF];
                    out += "}";
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

PatternScanner build_malware_scanner() {
    Result<PatternScanner> built = PatternScanner::build(all_malware_patterns());
    if (!built) {
        throw std::runtime_error("Failed to initialize malware pattern scanner: " + debug_quoted(built.error()));
    }
    return std::move(built).value();
}

}  // namespace

const PatternScanner& malware_scanner() {
    // A function-local static is initialised once, under the compiler's guard, on first use.
    static const PatternScanner MALWARE_SCANNER = build_malware_scanner();
    return MALWARE_SCANNER;
}

}  // namespace vesquor
