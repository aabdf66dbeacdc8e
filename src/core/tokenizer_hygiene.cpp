#include "tokenizer_hygiene.hpp"

#include <algorithm>

namespace vesquor {

namespace {

using namespace std::string_view_literals;

// Rows 0 to 89 serve both modes; strict mode appends rows 90 to 111.
constexpr size_t kBaseRows = 90;

const std::vector<CatalogueRow>& all_rows() {
    static const std::vector<CatalogueRow> ROWS = {
        {"<script src="sv, "code_injection:script_src", 10},
        {"<script>eval"sv, "code_injection:script_eval", 10},
        {"<script>document"sv, "code_injection:script_document", 10},
        {"<iframe src="sv, "code_injection:iframe_src", 10},
        {"<iframe onload="sv, "code_injection:iframe_onload", 10},
        {"<img src="sv, "code_injection:img_src", 8},
        {"<img onerror="sv, "code_injection:img_onerror", 10},
        {"<svg onload="sv, "code_injection:svg_onload", 10},
        {"<body onload="sv, "code_injection:body_onload", 10},
        {" onerror="sv, "code_injection:onerror_attr", 10},
        {" onload="sv, "code_injection:onload_attr", 9},
        {" onclick="sv, "code_injection:onclick_attr", 9},
        {"javascript:"sv, "code_injection:javascript_scheme", 10},
        {"vbscript:"sv, "code_injection:vbscript_scheme", 10},
        {"eval("sv, "code_injection:eval_function", 10},
        {"exec("sv, "code_injection:exec_function", 10},
        {"system("sv, "code_injection:system_function", 10},
        {"__import__("sv, "code_injection:python_import", 9},
        {"os.system("sv, "code_injection:os_system", 10},
        {"os.popen("sv, "code_injection:os_popen", 10},
        {"subprocess.run("sv, "code_injection:subprocess_run", 10},
        {"subprocess.call("sv, "code_injection:subprocess_call", 10},
        {"subprocess.Popen("sv, "code_injection:subprocess_popen", 10},
        {"ignore previous"sv, "prompt_injection:ignore_previous", 9},
        {"ignore all previous"sv, "prompt_injection:ignore_all_previous", 10},
        {"forget instructions"sv, "prompt_injection:forget_instructions", 9},
        {"forget your instructions"sv, "prompt_injection:forget_your_instructions", 10},
        {"disregard previous"sv, "prompt_injection:disregard_previous", 9},
        {"new task:"sv, "prompt_injection:new_task", 8},
        {"new instructions:"sv, "prompt_injection:new_instructions", 8},
        {"disable safety"sv, "prompt_injection:disable_safety", 10},
        {"bypass safety"sv, "prompt_injection:bypass_safety", 10},
        {"ignore safety"sv, "prompt_injection:ignore_safety", 10},
        {"http://"sv, "network_file:http_scheme", 8},
        {"https://"sv, "network_file:https_scheme", 7},
        {"ftp://"sv, "network_file:ftp_scheme", 9},
        {"file://"sv, "network_file:file_scheme", 9},
        {"data:text/html"sv, "network_file:data_html", 10},
        {"data:application"sv, "network_file:data_application", 9},
        {"../etc/"sv, "network_file:path_traversal_etc", 10},
        {"../../etc/"sv, "network_file:path_traversal_etc_deep", 10},
        {"..\\Windows"sv, "network_file:path_traversal_windows", 10},
        {"..\\..\\"sv, "network_file:path_traversal_win_deep", 10},
        {"/etc/passwd"sv, "network_file:etc_passwd", 10},
        {"/etc/shadow"sv, "network_file:etc_shadow", 10},
        {"/.ssh/"sv, "network_file:ssh_directory", 10},
        {"/.aws/"sv, "network_file:aws_directory", 10},
        {"/.env"sv, "network_file:env_file", 9},
        {"C:\\Windows"sv, "network_file:windows_system", 8},
        {"curl http"sv, "shell_command:curl_http", 10},
        {"curl https"sv, "shell_command:curl_https", 10},
        {"curl -"sv, "shell_command:curl_flag", 9},
        {"curl ftp"sv, "shell_command:curl_ftp", 10},
        {"wget http"sv, "shell_command:wget_http", 10},
        {"wget https"sv, "shell_command:wget_https", 10},
        {"wget -"sv, "shell_command:wget_flag", 9},
        {"wget ftp"sv, "shell_command:wget_ftp", 10},
        {"| bash"sv, "shell_command:pipe_bash", 10},
        {"|bash"sv, "shell_command:pipe_bash_nospace", 10},
        {"| sh"sv, "shell_command:pipe_sh", 10},
        {"|sh"sv, "shell_command:pipe_sh_nospace", 10},
        {"| python"sv, "shell_command:pipe_python", 9},
        {"| perl"sv, "shell_command:pipe_perl", 9},
        {"bash -c"sv, "shell_command:bash_c", 10},
        {"sh -c"sv, "shell_command:sh_c", 10},
        {"/bin/bash"sv, "shell_command:bin_bash", 9},
        {"/bin/sh"sv, "shell_command:bin_sh", 9},
        {"sudo rm"sv, "shell_command:sudo_rm", 10},
        {"sudo -"sv, "shell_command:sudo_flag", 9},
        {"rm -rf"sv, "shell_command:rm_rf", 10},
        {"rm -f"sv, "shell_command:rm_f", 8},
        {"chmod +x"sv, "shell_command:chmod_x", 9},
        {"chmod 777"sv, "shell_command:chmod_777", 10},
        {"chmod 755"sv, "shell_command:chmod_755", 7},
        {"nc -e"sv, "shell_command:netcat_exec", 10},
        {"netcat -e"sv, "shell_command:netcat_exec_full", 10},
        {"python -c"sv, "shell_command:python_c", 8},
        {"perl -e"sv, "shell_command:perl_e", 8},
        {"powershell -"sv, "shell_command:powershell_flag", 9},
        {"powershell.exe"sv, "shell_command:powershell_exe", 9},
        {"<hidden>"sv, "hidden_token:hidden_tag", 10},
        {"<secret>"sv, "hidden_token:secret_tag", 10},
        {"<backdoor>"sv, "hidden_token:backdoor_tag", 10},
        {"<trigger>"sv, "hidden_token:trigger_tag", 10},
        {"<poison>"sv, "hidden_token:poison_tag", 10},
        {"<malicious>"sv, "hidden_token:malicious_tag", 10},
        {"<exploit>"sv, "hidden_token:exploit_tag", 10},
        {"<rce>"sv, "hidden_token:rce_tag", 10},
        {"<payload>"sv, "hidden_token:payload_tag", 10},
        {"<injection>"sv, "hidden_token:injection_tag", 10},
        // Strict mode only: single words, ordinary pieces of a large vocabulary.
        {"<script>"sv, "shell_single:script_tag", 3},
        {"</script>"sv, "shell_single:script_close", 3},
        {"<iframe>"sv, "shell_single:iframe_tag", 3},
        {"</iframe>"sv, "shell_single:iframe_close", 3},
        {"curl"sv, "shell_single:curl", 3},
        {"wget"sv, "shell_single:wget", 3},
        {"bash"sv, "shell_single:bash", 3},
        {"sudo"sv, "shell_single:sudo", 3},
        {"chmod"sv, "shell_single:chmod", 3},
        {"chown"sv, "shell_single:chown", 3},
        {"netcat"sv, "shell_single:netcat", 4},
        {"ncat"sv, "shell_single:ncat", 4},
        {"powershell"sv, "shell_single:powershell", 3},
        {"subprocess"sv, "shell_single:subprocess", 3},
        {"os.system"sv, "shell_single:os_system", 4},
        {"jailbreak"sv, "shell_single:jailbreak", 4},
        {"override"sv, "shell_single:override", 2},
        {"bypass"sv, "shell_single:bypass", 2},
        {"passwd"sv, "shell_single:passwd", 3},
        {"shadow"sv, "shell_single:shadow", 3},
        {"../"sv, "shell_single:path_traversal", 3},
        {"..\\"sv, "shell_single:path_traversal_win", 3},
    };
    return ROWS;
}

ThreatCatalogue make_catalogue(size_t rows) {
    const std::vector<CatalogueRow>& all = all_rows();
    return ThreatCatalogue(
        std::vector<CatalogueRow>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(rows)),
        {"code_injection", "prompt_injection", "network_file", "shell_command", "shell_single", "hidden_token"},
        SetEntry::whole_label, kHiddenToken);
}

}  // namespace

bool tokenizer_mode_is_strict(std::string_view lowered_mode) {
    return lowered_mode == "strict" || lowered_mode == "config" || lowered_mode == "full";
}

const ThreatCatalogue& tokenizer_hygiene_catalogue(bool strict) {
    // Each is compiled on first use; a process that scans only vocabularies never builds the
    // strict table.
    if (strict) {
        static const ThreatCatalogue STRICT = make_catalogue(all_rows().size());
        return STRICT;
    }
    static const ThreatCatalogue VOCAB_HEAVY = make_catalogue(kBaseRows);
    return VOCAB_HEAVY;
}

TokenizerHygieneResult tokenizer_hygiene_result(const CategorySets& sets, bool strict) {
    TokenizerHygieneResult result;
    result.code_injection_found = sets.list(kCodeInjection);
    result.prompt_injection_found = sets.list(kPromptInjection);
    result.network_file_found = sets.list(kNetworkFile);
    result.shell_command_found = sets.list(kShellCommand);
    result.shell_command_single_word_found = sets.list(kShellSingle);
    result.hidden_tokens_found = sets.list(kHiddenToken);
    result.pattern_mode = strict ? "strict" : "vocab_heavy";
    result.total_matches = sets.total_matches();
    // The order of the operations is part of the result: hidden tokens come before single words,
    // and the sum is divided by 10 before the cap (one hidden token gives 0.034999999999999996).
    double score = (((((static_cast<double>(sets.distinct(kCodeInjection)) * 0.3 +
                        static_cast<double>(sets.distinct(kPromptInjection)) * 0.2) +
                       static_cast<double>(sets.distinct(kNetworkFile)) * 0.25) +
                      static_cast<double>(sets.distinct(kShellCommand)) * 0.25) +
                     static_cast<double>(sets.distinct(kHiddenToken)) * 0.35) +
                    static_cast<double>(sets.distinct(kShellSingle)) * 0.05) /
                   10.0;
    result.risk_score = std::min(score, 1.0);
    return result;
}

}  // namespace vesquor
