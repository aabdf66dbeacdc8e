"""Throughput of the tokenizer-hygiene validator beside a plain per-group search on ahocorasick-rs,
and strict mode beside the malware-catalogue check on JSON-like text.

For 256 MiB of random bytes, zeros and tokenizer-like JSON text, each with the catalogue's rows
planted 2000 times, prints in GB/s (best of --runs) `vesquor.validate_tokenizer_hygiene(buffer, n,
mode)` for both modes (vocab_heavy: 90 rows, strict: 112 rows) and n = 1 and 2 groups, beside the
table split round-robin into n groups with one ahocorasick-rs automaton and one pass per group, on
n threads (the harness of bench_behavior_analysis.py).

Then, on the JSON-like text, strict mode with 1 and 2 groups beside
`vesquor.validate_model_integrity` over the same buffer: strict mode is expected to stay within 2x
of that figure (printed as "ok" or "SLOW", not enforced).

Before anything is timed, vesquor's total match count and distinct labels are checked against the
per-group reference on each buffer, in both modes; a wrong answer exits with status 1.

    .venv/bin/python bench/bench_tokenizer_hygiene.py [--size-mib 256] [--runs 3]
"""

from __future__ import annotations

import sys

import vesquor
from bench_behavior_analysis import GROUPS, Variant, arguments, best_seconds, make_buffers, run, wrong_answers

# The catalogue in table order: pattern bytes and label (the package does not export its table).
# Rows 0 to 89 serve both modes; strict mode appends rows 90 to 111.
ROWS = [
    (b"<script src=", "code_injection:script_src"), (b"<script>eval", "code_injection:script_eval"),
    (b"<script>document", "code_injection:script_document"), (b"<iframe src=", "code_injection:iframe_src"),
    (b"<iframe onload=", "code_injection:iframe_onload"), (b"<img src=", "code_injection:img_src"),
    (b"<img onerror=", "code_injection:img_onerror"), (b"<svg onload=", "code_injection:svg_onload"),
    (b"<body onload=", "code_injection:body_onload"), (b" onerror=", "code_injection:onerror_attr"),
    (b" onload=", "code_injection:onload_attr"), (b" onclick=", "code_injection:onclick_attr"),
    (b"javascript:", "code_injection:javascript_scheme"), (b"vbscript:", "code_injection:vbscript_scheme"),
    (b"eval(", "code_injection:eval_function"), (b"exec(", "code_injection:exec_function"),
    (b"system(", "code_injection:system_function"), (b"__import__(", "code_injection:python_import"),
    (b"os.system(", "code_injection:os_system"), (b"os.popen(", "code_injection:os_popen"),
    (b"subprocess.run(", "code_injection:subprocess_run"), (b"subprocess.call(", "code_injection:subprocess_call"),
    (b"subprocess.Popen(", "code_injection:subprocess_popen"),
    (b"ignore previous", "prompt_injection:ignore_previous"),
    (b"ignore all previous", "prompt_injection:ignore_all_previous"),
    (b"forget instructions", "prompt_injection:forget_instructions"),
    (b"forget your instructions", "prompt_injection:forget_your_instructions"),
    (b"disregard previous", "prompt_injection:disregard_previous"), (b"new task:", "prompt_injection:new_task"),
    (b"new instructions:", "prompt_injection:new_instructions"),
    (b"disable safety", "prompt_injection:disable_safety"), (b"bypass safety", "prompt_injection:bypass_safety"),
    (b"ignore safety", "prompt_injection:ignore_safety"), (b"http://", "network_file:http_scheme"),
    (b"https://", "network_file:https_scheme"), (b"ftp://", "network_file:ftp_scheme"),
    (b"file://", "network_file:file_scheme"), (b"data:text/html", "network_file:data_html"),
    (b"data:application", "network_file:data_application"), (b"../etc/", "network_file:path_traversal_etc"),
    (b"../../etc/", "network_file:path_traversal_etc_deep"), (b"..\\Windows", "network_file:path_traversal_windows"),
    (b"..\\..\\", "network_file:path_traversal_win_deep"), (b"/etc/passwd", "network_file:etc_passwd"),
    (b"/etc/shadow", "network_file:etc_shadow"), (b"/.ssh/", "network_file:ssh_directory"),
    (b"/.aws/", "network_file:aws_directory"), (b"/.env", "network_file:env_file"),
    (b"C:\\Windows", "network_file:windows_system"), (b"curl http", "shell_command:curl_http"),
    (b"curl https", "shell_command:curl_https"), (b"curl -", "shell_command:curl_flag"),
    (b"curl ftp", "shell_command:curl_ftp"), (b"wget http", "shell_command:wget_http"),
    (b"wget https", "shell_command:wget_https"), (b"wget -", "shell_command:wget_flag"),
    (b"wget ftp", "shell_command:wget_ftp"), (b"| bash", "shell_command:pipe_bash"),
    (b"|bash", "shell_command:pipe_bash_nospace"), (b"| sh", "shell_command:pipe_sh"),
    (b"|sh", "shell_command:pipe_sh_nospace"), (b"| python", "shell_command:pipe_python"),
    (b"| perl", "shell_command:pipe_perl"), (b"bash -c", "shell_command:bash_c"), (b"sh -c", "shell_command:sh_c"),
    (b"/bin/bash", "shell_command:bin_bash"), (b"/bin/sh", "shell_command:bin_sh"),
    (b"sudo rm", "shell_command:sudo_rm"), (b"sudo -", "shell_command:sudo_flag"), (b"rm -rf", "shell_command:rm_rf"),
    (b"rm -f", "shell_command:rm_f"), (b"chmod +x", "shell_command:chmod_x"),
    (b"chmod 777", "shell_command:chmod_777"), (b"chmod 755", "shell_command:chmod_755"),
    (b"nc -e", "shell_command:netcat_exec"), (b"netcat -e", "shell_command:netcat_exec_full"),
    (b"python -c", "shell_command:python_c"), (b"perl -e", "shell_command:perl_e"),
    (b"powershell -", "shell_command:powershell_flag"), (b"powershell.exe", "shell_command:powershell_exe"),
    (b"<hidden>", "hidden_token:hidden_tag"), (b"<secret>", "hidden_token:secret_tag"),
    (b"<backdoor>", "hidden_token:backdoor_tag"), (b"<trigger>", "hidden_token:trigger_tag"),
    (b"<poison>", "hidden_token:poison_tag"), (b"<malicious>", "hidden_token:malicious_tag"),
    (b"<exploit>", "hidden_token:exploit_tag"), (b"<rce>", "hidden_token:rce_tag"),
    (b"<payload>", "hidden_token:payload_tag"), (b"<injection>", "hidden_token:injection_tag"),
    (b"<script>", "shell_single:script_tag"), (b"</script>", "shell_single:script_close"),
    (b"<iframe>", "shell_single:iframe_tag"), (b"</iframe>", "shell_single:iframe_close"),
    (b"curl", "shell_single:curl"), (b"wget", "shell_single:wget"), (b"bash", "shell_single:bash"),
    (b"sudo", "shell_single:sudo"), (b"chmod", "shell_single:chmod"), (b"chown", "shell_single:chown"),
    (b"netcat", "shell_single:netcat"), (b"ncat", "shell_single:ncat"), (b"powershell", "shell_single:powershell"),
    (b"subprocess", "shell_single:subprocess"), (b"os.system", "shell_single:os_system"),
    (b"jailbreak", "shell_single:jailbreak"), (b"override", "shell_single:override"),
    (b"bypass", "shell_single:bypass"), (b"passwd", "shell_single:passwd"), (b"shadow", "shell_single:shadow"),
    (b"../", "shell_single:path_traversal"), (b"..\\", "shell_single:path_traversal_win"),
]
LISTS = ["code_injection_found", "prompt_injection_found", "network_file_found", "shell_command_found",
         "shell_command_single_word_found", "hidden_tokens_found"]
# Strict mode on JSON-like text may be at most this many times slower than the malware check.
LIMIT = 2.0


def main() -> int:
    args = arguments(__doc__)
    size = args.size_mib << 20
    buffers = make_buffers(size, [p for p, _ in ROWS])
    variants = [
        Variant("vocab_heavy", ROWS[:90], lambda data, n: vesquor.validate_tokenizer_hygiene(data, n), LISTS),
        Variant("strict", ROWS, lambda data, n: vesquor.validate_tokenizer_hygiene(data, n, "strict"), LISTS),
    ]
    errors = wrong_answers(variants, buffers)
    if errors:
        print("wrong answers, nothing timed:", *errors, sep="\n  ", file=sys.stderr)
        return 1
    rates = run("tokenizer-hygiene scan", variants, buffers, args.runs)

    text = buffers["text"]
    malware = size / best_seconds(lambda: vesquor.validate_model_integrity(text), args.runs) / 1e9
    print(f"\nJSON-like text: validate_model_integrity {malware:.2f} GB/s")
    for g in GROUPS:
        strict = rates[("strict", "text", g)]
        verdict = "ok" if malware / strict <= LIMIT else "SLOW"
        print(f"  strict, {g} group{'s' if g > 1 else ''}: {strict:.2f} GB/s, "
              f"{malware / strict:.1f}x slower than the malware check (limit {LIMIT:.0f}x): {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
