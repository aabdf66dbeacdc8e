// The SafeTensors header checks on arbitrary bytes: nothing may crash, leak or read out of bounds,
// and the readings must agree with each other.
#include <cstdlib>
#include <vector>

#include "safetensors.hpp"

using namespace vesquor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteView bytes(reinterpret_cast<const char*>(data), size);
    SafeTensorsValidation record = validate_header_common(bytes);
    bool quick = is_safetensors(bytes);
    std::vector<TensorInfo> infos = parse_safetensors_header(bytes);
    SafeTensorsValidation full = validate_safetensors(bytes);
    if (full.total_size != size || full.header_size != record.header_size) {
        std::abort();
    }
    // A header the checks accept parses, and its table names every tensor once, in name order.
    if (record.is_valid() && !quick) {
        std::abort();
    }
    for (size_t i = 1; i < infos.size(); ++i) {
        if (!(infos[i - 1].name < infos[i].name)) {
            std::abort();
        }
    }
    // The header's JSON alone, parsed with and without details, gives the same table.
    Result<SafeTensorsHeader> plain = parse_header_json(bytes, false);
    Result<SafeTensorsHeader> detailed = parse_header_json(bytes, true);
    if (plain.ok() != detailed.ok() || (plain.ok() && plain.value().tensors.size() != detailed.value().tensors.size())) {
        std::abort();
    }
    if (detailed.ok()) {
        std::vector<std::string> warnings;
        check_tensor_offsets(detailed.value(), size / 2, size, warnings);
        read_tensor_infos(std::move(detailed).value());
    }
    lowercase_full(bytes);
    return 0;
}
