// The SafeTensors container as read: an 8-byte little-endian header length N, N bytes of JSON
// header, then the data region that the tensors' offsets count from.
//
//   28 00 00 00 00 00 00 00  {"w":{"dtype":"F32","shape":[1],"data_offsets":[0,4]}}  00 00 80 3f
//   N = 40 (0x28)             the header, 40 bytes                                     data region
//
// The header is read once per call into a flat list of tensor entries: the members of the top
// object in ascending byte-wise order of their names, one entry per name holding the value
// written last. Nothing in here raises on bad content: every problem is a warning text in the
// result, or, for the tensor table, a value passed over or read as its default.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bytes.hpp"
#include "model_integrity.hpp"
#include "result.hpp"
#include "streaming.hpp"

namespace vesquor {

// The largest header accepted, N = 100000000 included: a forged prefix must not drive a parse of
// more than this. The prefix is compared with it, and with the bytes present, before any parse.
inline constexpr uint64_t MAX_HEADER_SIZE = 100000000;

// The deepest nesting of arrays and objects a header may use. Deeper text is refused as a parse
// error, so `[[[[...` of any length costs neither stack nor memory proportional to its length.
inline constexpr size_t kMaxHeaderDepth = 128;

// The one-shot tensor-data scan reports its findings only from this score up: an executable
// header (3) alone, or zero padding (2) alone, is not reported; the two together are.
inline constexpr int32_t kTensorDataThreshold = 5;

// Searched, in this order, in the full Unicode lower-case of every tensor name. The last two are
// the doubled characters: one slash or one backslash in a name is no finding.
inline constexpr std::array<std::string_view, 11> SUSPICIOUS_NAME_PATTERNS = {
    "backdoor_", "poison_", "malicious_", "trojan_", "inject_", "exploit_",
    "rce_",      "shell_",  "..",         "//",      "\\\\",
};

// Searched in the name as written; one warning per name however many it holds.
inline constexpr std::array<char, 6> UNUSUAL_NAME_CHARACTERS = {'<', '>', '|', '*', '?', '"'};

// One row of the tensor table of `parse_safetensors_header`.
struct TensorInfo {
    std::string name;
    std::string dtype;
    std::vector<uint64_t> shape;
    uint64_t start = 0;
    uint64_t end = 0;
};

// The validation record every SafeTensors entry point returns. Data findings are held apart from
// the text warnings: `data_findings` (rows of the shared malware scanner, cheap to hold however
// many times one signature repeats) from the one-shot scan, `data_patterns` (labels as text) for
// producers that do not use the shared scanner. Readers list the text warnings, then each data
// finding and each data pattern with the prefix "Suspicious pattern in tensor data: ".
struct SafeTensorsValidation {
    std::vector<std::string> warnings;
    std::vector<std::string> tensor_names;             // ascending name order, "__metadata__" left out
    uint64_t tensor_count = 0;                         // the size of `tensor_names`
    std::vector<std::string> suspicious_tensor_names;  // each at most once, ascending name order
    MalwareFindings data_findings;
    std::vector<std::string> data_patterns;
    uint64_t header_size = 0;  // N as read, also when rejected; 0 when the prefix is missing
    uint64_t total_size = 0;   // the buffer's length for the one-shot validator, else 0
    std::optional<std::map<std::string, std::string>> metadata;

    bool is_valid() const { return warnings.empty() && data_findings.empty() && data_patterns.empty(); }
};

// ---------------------------------------------------------------------------------------------
// The parsed header

// One member of the top object other than "__metadata__", reduced to what the checks read.
struct HeaderEntry {
    std::string name;
    uint64_t order = 0;  // position among the tensor entries as written; indexes `details`
    bool is_object = false;
    bool has_members = false;
    bool offsets_is_array = false;  // "data_offsets" is an array...
    uint8_t offsets_count = 0;      // ...of this many elements (2 stands for 2, 3 for "more")
    bool start_is_unsigned = false;
    bool end_is_unsigned = false;
    uint64_t start = 0;
    uint64_t end = 0;
};

// "dtype" and "shape" of an entry, kept only for the tensor table.
struct HeaderDetails {
    bool dtype_is_string = false;
    std::string dtype;
    std::vector<uint64_t> shape;  // the elements that are unsigned integers
};

struct SafeTensorsHeader {
    bool is_object = false;           // false: the header is JSON but not an object
    std::vector<HeaderEntry> tensors;  // ascending byte-wise name order, one per name: the last written
    std::vector<HeaderDetails> details;  // in written order, by `HeaderEntry::order`; empty unless asked for
    std::optional<std::map<std::string, std::string>> metadata;  // string members of "__metadata__"
};

// Parses `text` as exactly one JSON value (whitespace may follow it) and reads it as a header.
// Fails with the parser's error text (line and column included) for text that is not JSON, that
// nests deeper than kMaxHeaderDepth, or that holds a byte order mark or a NUL byte outside the
// value. `with_details` keeps "dtype" and "shape" for `read_tensor_infos`.
Result<SafeTensorsHeader> parse_header_json(ByteView text, bool with_details);

// The full Unicode lower-case of UTF-8 text, as the interpreter's str.lower() maps it:
// KELVIN SIGN U+212A becomes "k", U+0130 becomes "i" + U+0307. Bytes that are not UTF-8 are kept.
std::string lowercase_full(std::string_view utf8);

// ---------------------------------------------------------------------------------------------
// The checks

// The 8-byte prefix, the JSON header and the tensor names of `data` (the file's first 8 + N
// bytes at least; what follows them is not read), as a record. Never fails: the first problem of
// the prefix or of the JSON stops the check with its one warning.
SafeTensorsValidation validate_header_common(ByteView data);

// Appends a warning for each tensor whose end offset lies past the buffer, and for each whose
// start lies past its end. `header_size` is N, `file_size` the length of the whole buffer. An
// entry that is not an object, or lacks two unsigned "data_offsets", is passed over.
void check_tensor_offsets(const SafeTensorsHeader& header, uint64_t header_size, uint64_t file_size,
                          std::vector<std::string>& warnings);

// The tensor table: one row per object entry, in name order, with "unknown" for a missing dtype
// and 0 for offsets that are not unsigned integers. `header` must be parsed with its details;
// its names, dtypes and shapes move into the rows.
std::vector<TensorInfo> read_tensor_infos(SafeTensorsHeader&& header);

// ---------------------------------------------------------------------------------------------
// The entry points

// True when the prefix declares 1 to MAX_HEADER_SIZE header bytes that are present and parse as
// JSON of any kind.
bool is_safetensors(ByteView data);

// The tensor table of `data`, or an empty list when the prefix is missing, N exceeds the bytes
// present, or the header is not a JSON object. N is not limited here.
std::vector<TensorInfo> parse_safetensors_header(ByteView data);

// The one-shot validation: the header checks, then, for a header without findings, the offset
// checks and the scan of the data region with MALWARE_SCANNER at kTensorDataThreshold.
// `total_size` is the buffer's length whatever the outcome.
SafeTensorsValidation validate_safetensors(ByteView data);

// ---------------------------------------------------------------------------------------------
// The streaming validator

// A flushed label's weight in the streaming score: 3 if it contains "executable", "Mach-O" or
// "ELF", else 2 if it contains "script", "shebang" or "import", else 1.
int32_t streaming_label_score(std::string_view label);

// A file validated in pieces: `validate_header` with the first 8 + N bytes, the data region chunk
// by chunk through the scanner, then `finish` with what the scanner's flush reported. The header
// record is held from `validate_header` until it is taken for `finish`; the scanner, over the
// malware catalogue, lives as long as the object and carries its tail between chunks.
class SafeTensorsStream {
public:
    // "num_groups must be at least 1" for 0 groups.
    static Result<SafeTensorsStream> build(uint64_t num_groups);

    // Checks the header (its prefix and JSON; bytes after 8 + N are ignored) and holds the record,
    // replacing any held. Returns its validity. The scanner is not touched.
    bool validate_header(ByteView header_data);

    bool has_header() const { return header_.has_value(); }
    std::optional<SafeTensorsValidation> take_header() { return std::exchange(header_, std::nullopt); }
    ParallelStreamingScanner& scanner() { return scanner_; }

    // Completes a taken record with the flush's matches: when their streaming score reaches 5,
    // each label becomes a data pattern (and so a warning). Only the flush is scored, not the
    // matches that earlier chunks returned: a caller who wants those judged keeps them itself.
    static void finish(SafeTensorsValidation& record, const std::vector<PatternMatch>& flushed);

private:
    explicit SafeTensorsStream(ParallelStreamingScanner scanner) : scanner_(std::move(scanner)) {}

    ParallelStreamingScanner scanner_;
    std::optional<SafeTensorsValidation> header_;
};

}  // namespace vesquor
