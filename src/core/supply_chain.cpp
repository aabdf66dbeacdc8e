#include "supply_chain.hpp"

#include <algorithm>

namespace vesquor {

const ThreatCatalogue& supply_chain_catalogue() {
    static const ThreatCatalogue CATALOGUE(
        {
            // Calls that run code or open network connections.
            {"eval(", "malicious:eval", 5},
            {"exec(", "malicious:exec", 5},
            {"__import__(", "malicious:__import__", 5},
            {"compile(", "malicious:compile", 4},
            {"os.system(", "malicious:os_system", 5},
            {"os.popen(", "malicious:os_popen", 5},
            {"subprocess.call(", "malicious:subprocess_call", 5},
            {"subprocess.run(", "malicious:subprocess_run", 5},
            {"subprocess.Popen(", "malicious:subprocess_popen", 5},
            {"system(", "malicious:system", 4},
            {"socket.socket(", "malicious:socket_socket", 4},
            {"socket.connect(", "malicious:socket_connect", 4},
            {"socket.send(", "malicious:socket_send", 4},
            {"urllib.request.urlopen(", "malicious:urllib_urlopen", 4},
            {"urllib.request.Request(", "malicious:urllib_request", 4},
            {"requests.get(", "malicious:requests_get", 3},
            {"requests.post(", "malicious:requests_post", 4},
            {"requests.put(", "malicious:requests_put", 4},
            {"requests.delete(", "malicious:requests_delete", 4},
            {"import(", "malicious:import", 4},
            {"importlib.import_module(", "malicious:importlib", 4},
            // Serialisation and transfer calls that move data out.
            {"base64.b64encode", "exfiltration:base64_encode", 3},
            {"base64.b64decode", "exfiltration:base64_decode", 3},
            {"base64.encode", "exfiltration:base64_encode_alt", 3},
            {"base64.decode", "exfiltration:base64_decode_alt", 3},
            {"pickle.loads", "exfiltration:pickle_loads", 5},
            {"pickle.dumps", "exfiltration:pickle_dumps", 4},
            {"pickle.load", "exfiltration:pickle_load", 5},
            {"pickle.dump", "exfiltration:pickle_dump", 4},
            {"marshal.loads", "exfiltration:marshal_loads", 5},
            {"marshal.dumps", "exfiltration:marshal_dumps", 4},
            {"marshal.load", "exfiltration:marshal_load", 5},
            {"marshal.dump", "exfiltration:marshal_dump", 4},
            {"requests.get", "exfiltration:requests_get", 3},
            {"requests.post", "exfiltration:requests_post", 4},
            {"socket.send", "exfiltration:socket_send", 4},
            {"socket.recv", "exfiltration:socket_recv", 4},
            {"download_file", "exfiltration:download_file", 4},
            {"upload_file", "exfiltration:upload_file", 5},
            {"send_file", "exfiltration:send_file", 5},
            {"receive_file", "exfiltration:receive_file", 4},
            {"download_model", "exfiltration:download_model", 4},
            {"upload_model", "exfiltration:upload_model", 5},
            {"steal_data", "exfiltration:steal_data", 5},
            {"exfiltrate", "exfiltration:exfiltrate", 5},
            {"ctypes.CDLL", "exfiltration:ctypes_cdll", 4},
            {"ctypes.windll", "exfiltration:ctypes_windll", 4},
            {"ctypes.cdll", "exfiltration:ctypes_cdll_lower", 4},
            {"send_data(", "exfiltration:send_data", 4},
            {"post_data(", "exfiltration:post_data", 4},
            {"get_data(", "exfiltration:get_data", 3},
            {"put_data(", "exfiltration:put_data", 4},
            {"delete_data(", "exfiltration:delete_data", 4},
            // Words that admit tampering with the weights or the build.
            {"tampered_with", "tampering:tampered_with", 5},
            {"altered_model", "tampering:altered_model", 5},
            {"patched_version", "tampering:patched_version", 4},
            {"unofficial_build", "tampering:unofficial_build", 4},
            {"modified_weights", "tampering:modified_weights", 5},
            {"custom_weights", "tampering:custom_weights", 4},
            {"backdoor_weights", "tampering:backdoor_weights", 5},
            {"version_modified", "tampering:version_modified", 4},
            {"build_tampered", "tampering:build_tampered", 5},
            {"weights_altered", "tampering:weights_altered", 5},
            {"model_patched", "tampering:model_patched", 4},
            {"unofficial_release", "tampering:unofficial_release", 3},
            {"custom_fork", "tampering:custom_fork", 3},
            {"tampered_model", "tampering:tampered_model", 5},
            {"altered_weights", "tampering:altered_weights", 5},
            {"patched_model", "tampering:patched_model", 4},
            {"modified_model", "tampering:modified_model", 4},
            {"backdoor_injection", "tampering:backdoor_injection", 5},
            {"malicious_patch", "tampering:malicious_patch", 5},
            {"unauthorized_modification", "tampering:unauthorized_modification", 5},
            // Typosquatted package names.
            {"tensorflow-gpu", "typosquat:tensorflow_gpu", 4},
            {"tensorflow-cpu", "typosquat:tensorflow_cpu", 4},
            {"torch-gpu", "typosquat:torch_gpu", 4},
            {"torch-cuda", "typosquat:torch_cuda", 4},
            {"scikit-learn-gpu", "typosquat:sklearn_gpu", 4},
            {"sklearn-gpu", "typosquat:sklearn_gpu_short", 4},
            {"numpy-gpu", "typosquat:numpy_gpu", 4},
            {"pandas-gpu", "typosquat:pandas_gpu", 4},
            // Bare host names of unofficial package mirrors and download sites.
            {"pypi-mirror.org", "domain:pypi_mirror", 5},
            {"pip-mirror.org", "domain:pip_mirror_org", 5},
            {"pytorch-unofficial.org", "domain:pytorch_unofficial", 5},
            {"tensorflow-mirror.org", "domain:tensorflow_mirror", 5},
            {"conda-unofficial.org", "domain:conda_unofficial", 5},
        },
        {"malicious", "exfiltration", "tampering", "typosquat", "domain"}, SetEntry::name);
    return CATALOGUE;
}

SupplyChainResult supply_chain_result(const CategorySets& sets) {
    SupplyChainResult result;
    result.malicious_functions_found = sets.list(kChainMalicious);
    result.data_exfiltration_found = sets.list(kChainExfiltration);
    result.tampering_indicators_found = sets.list(kChainTampering);
    result.typosquatting_found = sets.list(kChainTyposquat);
    result.suspicious_domains_found = sets.list(kChainDomain);
    result.total_matches = sets.total_matches();
    auto count = [&](size_t category) { return static_cast<double>(sets.distinct(category)); };
    // The order of the additions is part of the result: "eval(", "exec(" and "upload_file" give
    // 0.8999999999999999, not 0.9.
    double score = (((count(kChainMalicious) * 0.3 + count(kChainExfiltration) * 0.3) + count(kChainTampering) * 0.2) +
                    count(kChainTyposquat) * 0.1) +
                   count(kChainDomain) * 0.1;
    result.risk_score = std::min(score, 1.0);
    return result;
}

}  // namespace vesquor
