#include "tool_calling.hpp"

#include <algorithm>

namespace vesquor {

const ThreatCatalogue& tool_calling_catalogue() {
    static const ThreatCatalogue CATALOGUE(
        {
            // Tool and function names announcing a destructive, privileged or exfiltrating action.
            {"admin_", "dangerous:admin_tool", 5},
            {"root_", "dangerous:root_tool", 5},
            {"sudo_", "dangerous:sudo_tool", 5},
            {"system_", "dangerous:system_tool", 4},
            {"shell_", "dangerous:shell_tool", 4},
            {"bash_", "dangerous:bash_tool", 4},
            {"delete_", "dangerous:delete_tool", 4},
            {"remove_", "dangerous:remove_tool", 4},
            {"destroy_", "dangerous:destroy_tool", 4},
            {"format_", "dangerous:format_tool", 5},
            {"erase_", "dangerous:erase_tool", 5},
            {"overwrite_", "dangerous:overwrite_tool", 4},
            {"corrupt_", "dangerous:corrupt_tool", 4},
            {"connect_", "dangerous:connect_tool", 4},
            {"upload_", "dangerous:upload_tool", 3},
            {"send_", "dangerous:send_tool", 3},
            {"transmit_", "dangerous:transmit_tool", 3},
            {"exfiltrate_", "dangerous:exfiltrate_tool", 5},
            {"download_", "dangerous:download_tool", 3},
            {"establish_", "dangerous:establish_tool", 4},
            {"access_external", "dangerous:access_external", 4},
            {"access_remote", "dangerous:access_remote", 4},
            {"steal_", "dangerous:steal_tool", 5},
            {"harvest_", "dangerous:harvest_tool", 5},
            {"bypass_", "dangerous:bypass_tool", 5},
            {"crack_", "dangerous:crack_tool", 4},
            {"extract_", "dangerous:extract_tool", 4},
            {"impersonate_", "dangerous:impersonate_tool", 5},
            {"access_credentials", "dangerous:access_credentials", 5},
            {"access_passwords", "dangerous:access_passwords", 5},
            {"read_credentials", "dangerous:read_credentials", 4},
            {"read_passwords", "dangerous:read_passwords", 5},
            {"modify_", "dangerous:modify_tool", 4},
            {"alter_", "dangerous:alter_tool", 4},
            {"inject_", "dangerous:inject_tool", 5},
            {"insert_", "dangerous:insert_tool", 5},
            {"implant_", "dangerous:implant_tool", 5},
            {"hide_", "dangerous:hide_tool", 4},
            {"disable_", "dangerous:disable_tool", 5},
            // Parameter values carrying shell, SQL or privilege commands.
            {"; rm -rf", "suspicious:shell_command_injection", 5},
            {"&& rm -rf", "suspicious:shell_command_chaining", 5},
            {"| bash", "suspicious:pipe_to_bash", 4},
            {"| sh", "suspicious:pipe_to_sh", 4},
            {"DROP DATABASE", "suspicious:drop_database", 5},
            {"DELETE FROM", "suspicious:delete_from", 4},
            {"TRUNCATE TABLE", "suspicious:truncate_table", 5},
            {"su -", "suspicious:su_command", 4},
            {"chmod 777", "suspicious:chmod_777", 4},
            {"chown root", "suspicious:chown_root", 4},
            {"setuid", "suspicious:setuid", 4},
            {"setgid", "suspicious:setgid", 4},
            {"runas", "suspicious:runas", 4},
            {"net user", "suspicious:net_user", 3},
            {"usermod", "suspicious:usermod", 3},
            {"nc -e", "suspicious:nc_execute", 5},
            {"netcat -e", "suspicious:netcat_execute", 5},
            {"ssh -R", "suspicious:ssh_reverse", 4},
            {"base64 -", "suspicious:base64_pipe", 3},
            {"| gzip", "suspicious:gzip_pipe", 3},
            {"| tar", "suspicious:tar_pipe", 3},
            {"mysqldump", "suspicious:mysqldump", 3},
            {"pg_dump", "suspicious:pg_dump", 3},
            {"cat /etc/passwd", "suspicious:cat_passwd", 5},
            {"cat /etc/shadow", "suspicious:cat_shadow", 5},
            {"screen -d", "suspicious:screen_detach", 3},
            {"disown", "suspicious:disown", 3},
            {"history -c", "suspicious:history_clear", 4},
            {"unset HISTFILE", "suspicious:unset_histfile", 4},
            {"HISTSIZE=0", "suspicious:zero_histsize", 4},
            {">/dev/null", "suspicious:dev_null_redirect", 3},
            {"syslog", "suspicious:syslog", 2},
        },
        {"dangerous", "suspicious"}, SetEntry::name);
    return CATALOGUE;
}

ToolCallingChunk scan_tool_calling_chunk(ThreatStream& stream, ByteView chunk) {
    const ThreatCatalogue& catalogue = tool_calling_catalogue();
    ParallelStreamingScanner& scanner = stream.scanner();
    CategorySets& sets = stream.sets();

    // The scanner hands matches over by end position, the groups interleaved; the chunk's lists
    // give them group by group, as the scanner's own list does.
    std::vector<uint32_t> rows;
    scanner.scan_chunk(chunk, [&](const PatternMatch& match) {
        sets.record(match.id);
        rows.push_back(match.id);
    });
    const uint64_t groups = std::min<uint64_t>(scanner.num_groups(), catalogue.row_count());
    if (groups > 1 && rows.size() > 1) {
        // A stable counting sort by group (row mod num_groups): at most 71 buckets.
        std::vector<size_t> start(static_cast<size_t>(groups) + 1, 0);
        for (uint32_t row : rows) {
            ++start[static_cast<size_t>(row % scanner.num_groups()) + 1];
        }
        for (size_t g = 1; g < start.size(); ++g) {
            start[g] += start[g - 1];
        }
        std::vector<uint32_t> ordered(rows.size());
        for (uint32_t row : rows) {
            ordered[start[static_cast<size_t>(row % scanner.num_groups())]++] = row;
        }
        rows = std::move(ordered);
    }

    ToolCallingChunk found;
    for (uint32_t row : rows) {
        auto entry = static_cast<uint32_t>(catalogue.entry_of(row));
        (catalogue.category_of(row) == kToolDangerous ? found.dangerous : found.suspicious).push_back(entry);
    }
    return found;
}

ToolCallingResult tool_calling_result(const CategorySets& sets) {
    ToolCallingResult result;
    result.dangerous_tools_found = sets.list(kToolDangerous);
    result.suspicious_parameters_found = sets.list(kToolSuspicious);
    result.total_matches = sets.total_matches();
    // At most 39 and 32 distinct names: 5 * 39 + 2 * 32 = 259 fits easily.
    result.risk_score = static_cast<int32_t>(5 * sets.distinct(kToolDangerous) + 2 * sets.distinct(kToolSuspicious));
    return result;
}

}  // namespace vesquor
