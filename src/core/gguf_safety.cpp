#include "gguf_safety.hpp"

#include <algorithm>

namespace vesquor {

using namespace std::string_view_literals;

const ThreatCatalogue& gguf_safety_catalogue() {
    static const ThreatCatalogue CATALOGUE(
        {
            // Executable headers: the ELF row is the 32-bit little-endian version-1 identification
            // only, the Mach-O rows the big-endian magic numbers followed by three zero bytes.
            {"MZ\x90\0"sv, "executable:pe_header", 10},
            {"\x7F" "ELF\x01\x01\x01"sv, "executable:elf_header", 10},
            {"\xFE\xED\xFA\xCE\0\0\0"sv, "executable:macho_32bit", 10},
            {"\xFE\xED\xFA\xCF\0\0\0"sv, "executable:macho_64bit", 10},
            {"#!/bin/"sv, "executable:shell_script", 9},
            {"#!/usr/"sv, "executable:usr_script", 9},
            {"backdoor"sv, "malicious:backdoor_keyword", 9},
            {"malware"sv, "malicious:malware_keyword", 9},
            {"exploit"sv, "malicious:exploit_keyword", 8},
            {"shellcode"sv, "malicious:shellcode_keyword", 10},
            {"payload"sv, "malicious:payload_keyword", 7},
            {"rootkit"sv, "malicious:rootkit_keyword", 10},
            {"eval("sv, "suspicious:eval_function", 8},
            {"exec("sv, "suspicious:exec_function", 8},
            {"system("sv, "suspicious:system_function", 9},
            {"__import__"sv, "suspicious:python_import", 7},
            {"subprocess"sv, "suspicious:subprocess", 8},
            {"http://"sv, "suspicious:http_scheme", 7},
            {"https://"sv, "suspicious:https_scheme", 7},
            {"curl "sv, "suspicious:curl_command", 8},
            {"wget "sv, "suspicious:wget_command", 8},
            {"powershell"sv, "suspicious:powershell", 9},
            {"/etc/passwd"sv, "suspicious:passwd_file", 10},
            {"/etc/shadow"sv, "suspicious:shadow_file", 10},
            {".ssh/id_rsa"sv, "suspicious:ssh_key", 10},
            {".aws/credentials"sv, "suspicious:aws_creds", 10},
        },
        {"suspicious", "executable", "malicious"}, SetEntry::whole_label);
    return CATALOGUE;
}

GgufSafetyResult gguf_safety_result(const CategorySets& sets) {
    GgufSafetyResult result;
    result.suspicious_patterns_found = sets.list(kSuspicious);
    result.executable_patterns_found = sets.list(kExecutable);
    result.malicious_patterns_found = sets.list(kMalicious);
    result.total_matches = sets.total_matches();
    // The order of the operations is part of the result: one label of each category gives
    // 0.08499999999999999, not 0.085.
    double score = ((static_cast<double>(sets.distinct(kSuspicious)) * 0.15 +
                     static_cast<double>(sets.distinct(kExecutable)) * 0.3) +
                    static_cast<double>(sets.distinct(kMalicious)) * 0.4) /
                   10.0;
    result.risk_score = std::min(score, 1.0);
    return result;
}

}  // namespace vesquor
