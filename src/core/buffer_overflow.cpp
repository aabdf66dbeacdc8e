#include "buffer_overflow.hpp"

#include <algorithm>

namespace vesquor {

using namespace std::string_view_literals;

const ThreatCatalogue& buffer_overflow_catalogue() {
    static const ThreatCatalogue CATALOGUE(
        {
            // Unsafe library names as they stand in a symbol table: NUL-terminated, or before "@".
            {"strcpy\0"sv, "dangerous:strcpy", 5},
            {"strcat\0"sv, "dangerous:strcat", 5},
            {"sprintf\0"sv, "dangerous:sprintf", 5},
            {"gets\0"sv, "dangerous:gets", 5},
            {"scanf\0"sv, "dangerous:scanf", 4},
            {"strncpy\0"sv, "dangerous:strncpy", 4},
            {"strncat\0"sv, "dangerous:strncat", 4},
            {"snprintf\0"sv, "dangerous:snprintf", 3},
            {"vsprintf\0"sv, "dangerous:vsprintf", 5},
            {"vsnprintf\0"sv, "dangerous:vsnprintf", 4},
            {"strcpy@"sv, "dangerous:strcpy", 5},
            {"memcpy@"sv, "dangerous:memcpy", 4},
            {"sprintf@"sv, "dangerous:sprintf", 5},
            {"memcpy\0"sv, "dangerous:memcpy", 4},
            {"memmove\0"sv, "dangerous:memmove", 4},
            {"memset\0"sv, "dangerous:memset", 3},
            {"bcopy\0"sv, "dangerous:bcopy", 4},
            {"bzero\0"sv, "dangerous:bzero", 3},
            {"malloc\0"sv, "dangerous:malloc", 3},
            {"calloc\0"sv, "dangerous:calloc", 3},
            {"realloc\0"sv, "dangerous:realloc", 3},
            {"alloca\0"sv, "dangerous:alloca", 4},
            {"printf\0"sv, "dangerous:printf", 4},
            {"fprintf\0"sv, "dangerous:fprintf", 4},
            {"dprintf\0"sv, "dangerous:dprintf", 4},
            {"syslog\0"sv, "dangerous:syslog", 4},
            // x86 gadget pairs: two bytes each, so random data holds one every few KiB.
            {"\x58\xC3"sv, "rop:pop_eax_ret", 5},
            {"\x5D\xC3"sv, "rop:pop_ebp_ret", 5},
            {"\xFF\xE4"sv, "rop:jmp_esp", 5},
            {"\xFF\x25"sv, "rop:jmp_indirect", 4},
            {"\x81\xC4"sv, "rop:add_esp_imm32", 3},
            {"\x81\xEC"sv, "rop:sub_esp_imm32", 3},
            {"\xF3\xA4"sv, "rop:rep_movsb", 4},
            {"\xF3\xA5"sv, "rop:rep_movsd", 4},
            {"\xF3\xAA"sv, "rop:rep_stosb", 4},
            {"%n"sv, "format_string:format_n_specifier", 5},
            {"%s%s%s"sv, "format_string:repeated_s", 4},
            {"%x%x%x"sv, "format_string:repeated_x", 4},
            {"%p%p%p"sv, "format_string:repeated_p", 4},
            {"size * count"sv, "integer_overflow:multiply_size_count", 3},
            {"len + 1"sv, "integer_overflow:increment_len", 2},
            {"sizeof("sv, "integer_overflow:sizeof_expr", 2},
        },
        {"dangerous", "rop", "format_string", "integer_overflow"}, SetEntry::whole_label);
    return CATALOGUE;
}

BufferOverflowResult buffer_overflow_result(const CategorySets& sets) {
    BufferOverflowResult result;
    result.dangerous_functions_found = sets.list(kDangerous);
    result.rop_gadgets_found = sets.list(kRop);
    result.format_string_vulns_found = sets.list(kFormatString);
    result.integer_overflow_patterns_found = sets.list(kIntegerOverflow);
    result.total_matches = sets.total_matches();
    // The order of the additions is part of the result: one label of each kind gives
    // 0.9999999999999999, not 1.
    double score = ((static_cast<double>(sets.distinct(kDangerous)) * 0.4 +
                     static_cast<double>(sets.distinct(kRop)) * 0.3) +
                    static_cast<double>(sets.distinct(kFormatString)) * 0.2) +
                   static_cast<double>(sets.distinct(kIntegerOverflow)) * 0.1;
    result.risk_score = std::min(score, 1.0);
    return result;
}

}  // namespace vesquor
