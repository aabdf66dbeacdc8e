"""Throughput of the supply-chain validator beside the per-group design on ahocorasick-rs.

For 256 MiB of random bytes, zeros, tokenizer-like JSON text and a tool-schema JSON text, each
with 2000 catalogue patterns planted at random offsets, prints in GB/s (best of --runs)
`vesquor.validate_supply_chain(buffer, n)` for n = 1, 2 and 4 groups beside the same search done
the plain way: the table split round-robin into n groups, one ahocorasick-rs automaton per group
(MatchKind.Standard, non-overlapping), each group a pass over the whole buffer, on n threads.

Before anything is timed, vesquor's total match count and distinct names are checked against the
per-group reference on each buffer; a wrong answer exits with status 1.

    .venv/bin/python bench/bench_supply_chain.py [--size-mib 256] [--runs 3]
"""

from __future__ import annotations

import argparse
import sys

import vesquor
from bench_model_integrity import random_buffer, text_buffer, zeros_buffer
from bench_tool_calling import GROUPS, PLANTED, PerGroup, check, plant, report, schema_buffer

# The catalogue in row order (the package does not export its table).
TABLE = [
    (b"eval(", "malicious:eval"), (b"exec(", "malicious:exec"), (b"__import__(", "malicious:__import__"),
    (b"compile(", "malicious:compile"), (b"os.system(", "malicious:os_system"), (b"os.popen(", "malicious:os_popen"),
    (b"subprocess.call(", "malicious:subprocess_call"), (b"subprocess.run(", "malicious:subprocess_run"),
    (b"subprocess.Popen(", "malicious:subprocess_popen"), (b"system(", "malicious:system"),
    (b"socket.socket(", "malicious:socket_socket"), (b"socket.connect(", "malicious:socket_connect"),
    (b"socket.send(", "malicious:socket_send"), (b"urllib.request.urlopen(", "malicious:urllib_urlopen"),
    (b"urllib.request.Request(", "malicious:urllib_request"), (b"requests.get(", "malicious:requests_get"),
    (b"requests.post(", "malicious:requests_post"), (b"requests.put(", "malicious:requests_put"),
    (b"requests.delete(", "malicious:requests_delete"), (b"import(", "malicious:import"),
    (b"importlib.import_module(", "malicious:importlib"), (b"base64.b64encode", "exfiltration:base64_encode"),
    (b"base64.b64decode", "exfiltration:base64_decode"), (b"base64.encode", "exfiltration:base64_encode_alt"),
    (b"base64.decode", "exfiltration:base64_decode_alt"), (b"pickle.loads", "exfiltration:pickle_loads"),
    (b"pickle.dumps", "exfiltration:pickle_dumps"), (b"pickle.load", "exfiltration:pickle_load"),
    (b"pickle.dump", "exfiltration:pickle_dump"), (b"marshal.loads", "exfiltration:marshal_loads"),
    (b"marshal.dumps", "exfiltration:marshal_dumps"), (b"marshal.load", "exfiltration:marshal_load"),
    (b"marshal.dump", "exfiltration:marshal_dump"), (b"requests.get", "exfiltration:requests_get"),
    (b"requests.post", "exfiltration:requests_post"), (b"socket.send", "exfiltration:socket_send"),
    (b"socket.recv", "exfiltration:socket_recv"), (b"download_file", "exfiltration:download_file"),
    (b"upload_file", "exfiltration:upload_file"), (b"send_file", "exfiltration:send_file"),
    (b"receive_file", "exfiltration:receive_file"), (b"download_model", "exfiltration:download_model"),
    (b"upload_model", "exfiltration:upload_model"), (b"steal_data", "exfiltration:steal_data"),
    (b"exfiltrate", "exfiltration:exfiltrate"), (b"ctypes.CDLL", "exfiltration:ctypes_cdll"),
    (b"ctypes.windll", "exfiltration:ctypes_windll"), (b"ctypes.cdll", "exfiltration:ctypes_cdll_lower"),
    (b"send_data(", "exfiltration:send_data"), (b"post_data(", "exfiltration:post_data"),
    (b"get_data(", "exfiltration:get_data"), (b"put_data(", "exfiltration:put_data"),
    (b"delete_data(", "exfiltration:delete_data"), (b"tampered_with", "tampering:tampered_with"),
    (b"altered_model", "tampering:altered_model"), (b"patched_version", "tampering:patched_version"),
    (b"unofficial_build", "tampering:unofficial_build"), (b"modified_weights", "tampering:modified_weights"),
    (b"custom_weights", "tampering:custom_weights"), (b"backdoor_weights", "tampering:backdoor_weights"),
    (b"version_modified", "tampering:version_modified"), (b"build_tampered", "tampering:build_tampered"),
    (b"weights_altered", "tampering:weights_altered"), (b"model_patched", "tampering:model_patched"),
    (b"unofficial_release", "tampering:unofficial_release"), (b"custom_fork", "tampering:custom_fork"),
    (b"tampered_model", "tampering:tampered_model"), (b"altered_weights", "tampering:altered_weights"),
    (b"patched_model", "tampering:patched_model"), (b"modified_model", "tampering:modified_model"),
    (b"backdoor_injection", "tampering:backdoor_injection"), (b"malicious_patch", "tampering:malicious_patch"),
    (b"unauthorized_modification", "tampering:unauthorized_modification"),
    (b"tensorflow-gpu", "typosquat:tensorflow_gpu"), (b"tensorflow-cpu", "typosquat:tensorflow_cpu"),
    (b"torch-gpu", "typosquat:torch_gpu"), (b"torch-cuda", "typosquat:torch_cuda"),
    (b"scikit-learn-gpu", "typosquat:sklearn_gpu"), (b"sklearn-gpu", "typosquat:sklearn_gpu_short"),
    (b"numpy-gpu", "typosquat:numpy_gpu"), (b"pandas-gpu", "typosquat:pandas_gpu"),
    (b"pypi-mirror.org", "domain:pypi_mirror"), (b"pip-mirror.org", "domain:pip_mirror_org"),
    (b"pytorch-unofficial.org", "domain:pytorch_unofficial"), (b"tensorflow-mirror.org", "domain:tensorflow_mirror"),
    (b"conda-unofficial.org", "domain:conda_unofficial"),
]
CATEGORIES = ["malicious", "exfiltration", "tampering", "typosquat", "domain"]
ATTRIBUTES = ["malicious_functions_found", "data_exfiltration_found", "tampering_indicators_found",
              "typosquatting_found", "suspicious_domains_found"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    size = args.size_mib << 20

    rows = [p for p, _ in TABLE]
    makers = (("random", random_buffer), ("zeros", zeros_buffer), ("text", text_buffer), ("schema", schema_buffer))
    buffers = {name: plant(make(size), rows, PLANTED, seed) for seed, (name, make) in enumerate(makers)}
    references = {g: PerGroup(rows, g) for g in GROUPS}
    errors = []
    for name, data in buffers.items():
        errors += check(name, data, TABLE, vesquor.validate_supply_chain, ATTRIBUTES, CATEGORIES, references)
    if errors:
        print("wrong answers, nothing timed:", *errors, sep="\n  ", file=sys.stderr)
        return 1
    report("supply-chain scan", args.size_mib, args.runs, buffers, vesquor.validate_supply_chain, references)
    return 0


if __name__ == "__main__":
    sys.exit(main())
