// Reading the header. nlohmann's parser walks the text without recursion and hands each token
// to `HeaderReader` below, which keeps only what the checks read: per member of the top object
// its name, whether the value is an object with members, and the shape of its "data_offsets"
// (with "dtype" and "shape" when the tensor table is wanted). A header of a million tensors thus
// costs one small record per tensor, not a tree of every value in it.
//
// The reader keeps one frame per open container. Only the first three levels mean anything:
//
//   {"w": {"data_offsets": [0, 4], "x": {"y": [1]}}, "__metadata__": {"k": "v"}}
//   Root  Tensor           Offsets      Skip  Skip   Metadata
//
// Deeper containers are Skip frames; the 129th open container stops the parse.
#include "safetensors.hpp"

#include "scanner.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

namespace vesquor {

namespace {

using Json = nlohmann::json;

constexpr std::string_view kMetadataKey = "__metadata__";
constexpr size_t kPrefixBytes = 8;

// The parser's messages quote the token it stopped in; a token can be a 100 MB string. The
// message is cut here (at a character boundary) so that a warning stays readable.
constexpr size_t kMaxParseErrorBytes = 1024;

// ---------------------------------------------------------------------------------------------
// Error texts

// "parse error at line L, column C: " for the position `consumed` bytes into `text`, counted as
// the parser counts: lines by '\n', the column in bytes read on the current line.
std::string position_text(ByteView text, size_t consumed) {
    size_t line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < consumed && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return "parse error at line " + std::to_string(line) + ", column " + std::to_string(consumed - line_start) + ": ";
}

// The message as a warning can carry it: valid UTF-8 (each byte that is not becomes U+FFFD, as
// the parser echoes the bytes it read) and at most kMaxParseErrorBytes long.
std::string printable(std::string_view message) {
    std::string out;
    out.reserve(std::min(message.size(), kMaxParseErrorBytes) + 3);
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(message.data());
    for (size_t i = 0; i < message.size();) {
        utf8proc_int32_t code_point = 0;
        utf8proc_ssize_t length = utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(message.size() - i),
                                                   &code_point);
        std::string_view piece = length > 0 ? message.substr(i, static_cast<size_t>(length)) : "\xEF\xBF\xBD";
        if (out.size() + piece.size() > kMaxParseErrorBytes) {
            out += "...";
            break;
        }
        out += piece;
        i += length > 0 ? static_cast<size_t>(length) : 1;
    }
    return out;
}

// nlohmann's text without its "[json.exception.parse_error.101] " prefix. Its parse errors
// already start with the position; the others ("number overflow parsing '1e400'") get one.
std::string parser_error_text(ByteView text, size_t position, const std::string& what) {
    std::string_view message = what;
    if (!message.empty() && message.front() == '[') {
        size_t close = message.find("] ");
        if (close != std::string_view::npos) {
            message.remove_prefix(close + 2);
        }
    }
    if (message.substr(0, 12) == "parse error ") {
        return printable(message);
    }
    return printable(position_text(text, position) + std::string(message));
}

// The offset of the first '[' or '{' that opens a container deeper than kMaxHeaderDepth.
// Strings are skipped by their quotes and escapes, which is exact for text that is valid JSON up
// to that bracket: the parser stops there too, having accepted everything before it.
size_t first_too_deep(ByteView text) {
    size_t depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxHeaderDepth) {
                return i;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return text.size();  // not reached when the parser saw the depth exceeded
}

// ---------------------------------------------------------------------------------------------
// The reader

enum class Frame : uint8_t { Skip, Root, Tensor, Metadata, Shape, Offsets };
enum class Field : uint8_t { Other, Dtype, Shape, Offsets };
enum class Keep : uint8_t { Nothing, Entries, Details };

// The kind of a value as the checks see it.
enum class Kind : uint8_t { Object, Array, String, Unsigned, Other };

class HeaderReader {
public:
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;

    explicit HeaderReader(Keep keep) : keep_(keep) {}

    bool null() { return scalar(Kind::Other); }
    bool boolean(bool) { return scalar(Kind::Other); }
    bool number_integer(number_integer_t) { return scalar(Kind::Other); }  // has a minus sign
    bool number_unsigned(number_unsigned_t value) { return scalar(Kind::Unsigned, value); }
    bool number_float(number_float_t, const string_t&) { return scalar(Kind::Other); }
    bool string(string_t& value) { return scalar(Kind::String, 0, &value); }
    bool binary(binary_t&) { return scalar(Kind::Other); }  // binary formats only

    bool start_object(std::size_t) { return open(Kind::Object); }
    bool start_array(std::size_t) { return open(Kind::Array); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    // Keys and strings are copied, not moved, out of the parser's buffer: taking it would make
    // the parser grow a new one byte by byte for the next token.
    bool key(string_t& name) {
        switch (frames_[depth_ - 1]) {
            case Frame::Root:
                in_metadata_ = name == kMetadataKey;
                if (!in_metadata_) {
                    header_.tensors.push_back(HeaderEntry{name, header_.tensors.size()});
                    if (keep_ == Keep::Details) {
                        header_.details.emplace_back();
                    }
                }
                break;
            case Frame::Tensor: start_field(name); break;
            case Frame::Metadata: metadata_key_ = name; break;
            default: break;
        }
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) {
        error_position_ = position;
        error_ = error.what();
        return false;
    }

    bool depth_exceeded() const { return depth_exceeded_; }
    size_t error_position() const { return error_position_; }
    const std::string& error() const { return error_; }
    SafeTensorsHeader take() { return std::move(header_); }

private:
    bool open(Kind kind) {
        if (depth_ == kMaxHeaderDepth) {
            depth_exceeded_ = true;
            return false;  // stops the parse at once
        }
        frames_[depth_++] = value(kind, 0, nullptr);
        return true;
    }

    bool close() {
        --depth_;
        return true;
    }

    bool scalar(Kind kind, uint64_t number = 0, const string_t* text = nullptr) {
        value(kind, number, text);
        return true;
    }

    HeaderEntry& entry() { return header_.tensors.back(); }
    HeaderDetails* details() { return keep_ == Keep::Details ? &header_.details.back() : nullptr; }

    // A repeated member replaces the earlier one: its field starts over.
    void start_field(const string_t& name) {
        HeaderEntry& tensor = entry();
        tensor.has_members = true;
        if (name == "data_offsets") {
            field_ = Field::Offsets;
            tensor.offsets_is_array = false;
            tensor.offsets_count = 0;
            tensor.start_is_unsigned = tensor.end_is_unsigned = false;
            tensor.start = tensor.end = 0;
        } else if (name == "dtype") {
            field_ = Field::Dtype;
            if (HeaderDetails* more = details()) {
                more->dtype_is_string = false;
                more->dtype.clear();
            }
        } else if (name == "shape") {
            field_ = Field::Shape;
            if (HeaderDetails* more = details()) {
                more->shape.clear();
            }
        } else {
            field_ = Field::Other;
        }
    }

    // Records one value (a scalar, or the start of a container) in its parent's terms and
    // returns the frame a container opens.
    Frame value(Kind kind, uint64_t number, const string_t* text) {
        if (depth_ == 0) {
            header_.is_object = kind == Kind::Object;
            return header_.is_object && keep_ != Keep::Nothing ? Frame::Root : Frame::Skip;
        }
        switch (frames_[depth_ - 1]) {
            case Frame::Root:
                if (in_metadata_) {
                    // A later "__metadata__" replaces an earlier one, also by a non-object.
                    if (kind == Kind::Object) {
                        header_.metadata.emplace();
                        return Frame::Metadata;
                    }
                    header_.metadata.reset();
                    return Frame::Skip;
                }
                entry().is_object = kind == Kind::Object;
                return kind == Kind::Object ? Frame::Tensor : Frame::Skip;
            case Frame::Tensor: return field_value(kind, text);
            case Frame::Metadata:
                if (kind == Kind::String) {
                    (*header_.metadata)[metadata_key_] = *text;
                } else {
                    header_.metadata->erase(metadata_key_);  // the later value decides
                }
                return Frame::Skip;
            case Frame::Shape:
                if (kind == Kind::Unsigned) {
                    details()->shape.push_back(number);
                }
                return Frame::Skip;
            case Frame::Offsets: {
                HeaderEntry& tensor = entry();
                if (tensor.offsets_count == 0) {
                    tensor.start_is_unsigned = kind == Kind::Unsigned;
                    tensor.start = number;
                } else if (tensor.offsets_count == 1) {
                    tensor.end_is_unsigned = kind == Kind::Unsigned;
                    tensor.end = number;
                }
                if (tensor.offsets_count < 3) {
                    ++tensor.offsets_count;  // 3 stands for any count above 2
                }
                return Frame::Skip;
            }
            case Frame::Skip: return Frame::Skip;
        }
        return Frame::Skip;
    }

    Frame field_value(Kind kind, const string_t* text) {
        switch (field_) {
            case Field::Offsets:
                entry().offsets_is_array = kind == Kind::Array;
                return kind == Kind::Array ? Frame::Offsets : Frame::Skip;
            case Field::Dtype:
                if (HeaderDetails* more = details(); more != nullptr && kind == Kind::String) {
                    more->dtype_is_string = true;
                    more->dtype = *text;
                }
                return Frame::Skip;
            case Field::Shape: return kind == Kind::Array && keep_ == Keep::Details ? Frame::Shape : Frame::Skip;
            case Field::Other: return Frame::Skip;
        }
        return Frame::Skip;
    }

    Keep keep_;
    SafeTensorsHeader header_;
    Frame frames_[kMaxHeaderDepth] = {};
    size_t depth_ = 0;
    bool in_metadata_ = false;
    Field field_ = Field::Other;
    string_t metadata_key_;
    bool depth_exceeded_ = false;
    size_t error_position_ = 0;
    std::string error_;
};

// Orders the entries by name, byte-wise, and keeps the last written of each name. Headers are
// usually written in order already, which the first test finds in one pass.
void sort_keep_last(std::vector<HeaderEntry>& tensors) {
    auto before = [](const HeaderEntry& a, const HeaderEntry& b) {
        int order = a.name.compare(b.name);  // char_traits<char> compares as unsigned char
        return order < 0 || (order == 0 && a.order < b.order);
    };
    if (!std::is_sorted(tensors.begin(), tensors.end(), before)) {
        std::sort(tensors.begin(), tensors.end(), before);
    }
    size_t kept = 0;
    for (size_t i = 0; i < tensors.size(); ++i) {
        if (i + 1 < tensors.size() && tensors[i + 1].name == tensors[i].name) {
            continue;  // a later member of the same name follows
        }
        if (kept != i) {
            tensors[kept] = std::move(tensors[i]);
        }
        ++kept;
    }
    tensors.resize(kept);
}

// Parses `text` with `reader`; the error text when it is not one JSON value.
std::optional<std::string> run_parser(ByteView text, HeaderReader& reader) {
    // The parser skips a leading byte order mark; JSON text has none, and loaders refuse it.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        return std::string(
            "parse error at line 1, column 1: syntax error while parsing value - unexpected byte order mark; "
            "expected '[', '{', or a literal");
    }
    if (!Json::sax_parse(text.data(), text.data() + text.size(), &reader)) {
        if (reader.depth_exceeded()) {
            size_t at = first_too_deep(text);
            return position_text(text, at + 1) + "nesting depth exceeds the limit of " +
                   std::to_string(kMaxHeaderDepth);
        }
        return parser_error_text(text, reader.error_position(), reader.error());
    }
    // The parser takes a NUL byte for the end of its input. Inside a value or a string that is
    // already an error; one that follows a complete value would hide what comes after it.
    if (const void* nul = std::memchr(text.data(), 0, text.size()); nul != nullptr) {
        size_t at = static_cast<size_t>(static_cast<const char*>(nul) - text.data());
        return position_text(text, at + 1) +
               "syntax error while parsing value - unexpected NUL byte; expected end of input";
    }
    return std::nullopt;
}

uint64_t read_prefix(ByteView data) {
    uint64_t length = 0;
    for (size_t i = 0; i < kPrefixBytes; ++i) {
        length |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    return length;
}

// ---------------------------------------------------------------------------------------------
// The header checks

// The prefix and JSON steps of the header check. Returns the parsed header, or nothing with the
// one warning that stopped the check in `record`.
std::optional<SafeTensorsHeader> read_header(ByteView data, SafeTensorsValidation& record) {
    if (data.size() < kPrefixBytes) {
        record.warnings.push_back("File too small to be valid safetensors");
        return std::nullopt;
    }
    const uint64_t header_size = read_prefix(data);
    record.header_size = header_size;
    // Before the comparison with the buffer: an oversized N is reported as such however short
    // the buffer is.
    if (header_size > MAX_HEADER_SIZE) {
        record.warnings.push_back("Header size " + std::to_string(header_size) + " exceeds maximum allowed " +
                                  std::to_string(MAX_HEADER_SIZE) + " (potential DoS)");
        return std::nullopt;
    }
    const uint64_t available = data.size() - kPrefixBytes;
    if (header_size > available) {
        record.warnings.push_back("Invalid header size: " + std::to_string(header_size) + " > file size " +
                                  std::to_string(available));
        return std::nullopt;
    }
    Result<SafeTensorsHeader> parsed = parse_header_json(data.substr(kPrefixBytes, header_size), false);
    if (!parsed) {
        record.warnings.push_back("Failed to parse JSON header: " + parsed.error());
        return std::nullopt;
    }
    if (!parsed.value().is_object) {
        record.warnings.push_back("Header must be a JSON object");
        return std::nullopt;
    }
    return std::move(parsed).value();
}

// Screens one name: a warning per suspicious pattern in its lower-case, one for unusual
// characters in it as written; the name is listed as suspicious once if either applies.
void screen_name(const std::string& name, SafeTensorsValidation& record) {
    const std::string lower = lowercase_full(name);
    bool suspicious = false;
    for (std::string_view pattern : SUSPICIOUS_NAME_PATTERNS) {
        if (lower.find(pattern) != std::string::npos) {
            record.warnings.push_back("Suspicious tensor name '" + name + "' contains pattern '" +
                                      std::string(pattern) + "'");
            suspicious = true;
        }
    }
    if (name.find_first_of(std::string_view(UNUSUAL_NAME_CHARACTERS.data(), UNUSUAL_NAME_CHARACTERS.size())) !=
        std::string::npos) {
        record.warnings.push_back("Tensor name '" + name + "' contains unusual special characters");
        suspicious = true;
    }
    if (suspicious) {
        record.suspicious_tensor_names.push_back(name);
    }
}

// The steps after a usable header: metadata and name screening. Takes the names out of `header`.
void screen_header(SafeTensorsHeader& header, SafeTensorsValidation& record) {
    record.metadata = std::move(header.metadata);
    record.tensor_names.reserve(header.tensors.size());
    for (HeaderEntry& tensor : header.tensors) {
        screen_name(tensor.name, record);
        record.tensor_names.push_back(std::move(tensor.name));
    }
    record.tensor_count = record.tensor_names.size();
}

// The decimal text of a + b, which may exceed 64 bits.
std::string decimal_sum(uint64_t a, uint64_t b) {
    __extension__ using Wide = unsigned __int128;
    Wide sum = static_cast<Wide>(a) + b;
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(sum % 10)));
        sum /= 10;
    } while (sum != 0);
    return std::string(digits.rbegin(), digits.rend());
}

}  // namespace

// ---------------------------------------------------------------------------------------------

Result<SafeTensorsHeader> parse_header_json(ByteView text, bool with_details) {
    HeaderReader reader(with_details ? Keep::Details : Keep::Entries);
    if (std::optional<std::string> error = run_parser(text, reader)) {
        return Error{std::move(*error)};
    }
    SafeTensorsHeader header = reader.take();
    sort_keep_last(header.tensors);
    return header;
}

std::string lowercase_full(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
    for (size_t i = 0; i < utf8.size();) {
        unsigned char byte = bytes[i];
        if (byte < 0x80) {
            out.push_back(static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte));
            ++i;
            continue;
        }
        utf8proc_int32_t code_point = 0;
        utf8proc_ssize_t length =
            utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(utf8.size() - i), &code_point);
        if (length <= 0) {
            out.push_back(static_cast<char>(byte));  // not UTF-8: kept as written
            ++i;
            continue;
        }
        i += static_cast<size_t>(length);
        // The one unconditional multi-character lower-case mapping (SpecialCasing.txt); the simple
        // mapping utf8proc gives would be a plain "i". Every other code point lower-cases to one
        // code point, as utf8proc_tolower gives it. The conditional mappings (final sigma, the
        // Lithuanian and Turkic ones) only ever give non-ASCII letters, which no pattern holds.
        if (code_point == 0x130) {
            out += "i\xCC\x87";
            continue;
        }
        utf8proc_uint8_t encoded[4];
        utf8proc_ssize_t written = utf8proc_encode_char(utf8proc_tolower(code_point), encoded);
        out.append(reinterpret_cast<const char*>(encoded), static_cast<size_t>(written));
    }
    return out;
}

SafeTensorsValidation validate_header_common(ByteView data) {
    SafeTensorsValidation record;
    if (std::optional<SafeTensorsHeader> header = read_header(data, record)) {
        screen_header(*header, record);
    }
    return record;
}

void check_tensor_offsets(const SafeTensorsHeader& header, uint64_t header_size, uint64_t file_size,
                          std::vector<std::string>& warnings) {
    const uint64_t data_start = kPrefixBytes + header_size;
    for (const HeaderEntry& tensor : header.tensors) {
        if (!tensor.is_object || !tensor.has_members || !tensor.offsets_is_array || tensor.offsets_count != 2 ||
            !tensor.start_is_unsigned || !tensor.end_is_unsigned) {
            continue;
        }
        // An end so large that end + 8 + N passes 2^64 - 1 lies past any buffer: it is reported
        // with its true sum, never wrapped into a small offset that would pass.
        const bool past_any_buffer = tensor.end > UINT64_MAX - data_start;
        if (past_any_buffer || tensor.end + data_start > file_size) {
            warnings.push_back("Tensor '" + tensor.name + "' data offset " + decimal_sum(tensor.end, data_start) +
                               " exceeds file size " + std::to_string(file_size));
        }
        if (tensor.start > tensor.end) {
            warnings.push_back("Tensor '" + tensor.name + "' has invalid offsets: start " +
                               std::to_string(tensor.start) + " > end " + std::to_string(tensor.end));
        }
    }
}

std::vector<TensorInfo> read_tensor_infos(SafeTensorsHeader&& header) {
    std::vector<TensorInfo> infos;
    infos.reserve(header.tensors.size());
    for (HeaderEntry& tensor : header.tensors) {
        if (!tensor.is_object) {
            continue;
        }
        TensorInfo info;
        info.name = std::move(tensor.name);
        HeaderDetails& more = header.details[tensor.order];
        info.dtype = more.dtype_is_string ? std::move(more.dtype) : std::string("unknown");
        info.shape = std::move(more.shape);
        if (tensor.offsets_is_array && tensor.offsets_count == 2) {
            info.start = tensor.start_is_unsigned ? tensor.start : 0;
            info.end = tensor.end_is_unsigned ? tensor.end : 0;
        }
        infos.push_back(std::move(info));
    }
    return infos;
}

bool is_safetensors(ByteView data) {
    if (data.size() < kPrefixBytes) {
        return false;
    }
    const uint64_t header_size = read_prefix(data);
    if (header_size == 0 || header_size > MAX_HEADER_SIZE || header_size > data.size() - kPrefixBytes) {
        return false;
    }
    HeaderReader reader(Keep::Nothing);  // a well-formedness check: nothing is kept
    return !run_parser(data.substr(kPrefixBytes, header_size), reader).has_value();
}

std::vector<TensorInfo> parse_safetensors_header(ByteView data) {
    if (data.size() < kPrefixBytes) {
        return {};
    }
    const uint64_t header_size = read_prefix(data);
    if (header_size > data.size() - kPrefixBytes) {
        return {};
    }
    Result<SafeTensorsHeader> parsed = parse_header_json(data.substr(kPrefixBytes, header_size), true);
    if (!parsed || !parsed.value().is_object) {
        return {};
    }
    return read_tensor_infos(std::move(parsed).value());
}

SafeTensorsValidation validate_safetensors(ByteView data) {
    SafeTensorsValidation record;
    record.total_size = data.size();
    std::optional<SafeTensorsHeader> header = read_header(data, record);
    if (!header) {
        return record;
    }
    // The offsets are checked while the header still holds the names; their warnings count only
    // when the names pass.
    std::vector<std::string> offset_warnings;
    check_tensor_offsets(*header, record.header_size, data.size(), offset_warnings);
    screen_header(*header, record);
    header.reset();
    if (!record.is_valid()) {
        return record;
    }
    record.warnings = std::move(offset_warnings);
    const ByteView region = data.substr(kPrefixBytes + record.header_size);
    if (!region.empty()) {
        record.data_findings = scan_malware_with_threshold(region, kTensorDataThreshold);
    }
    return record;
}

// ---------------------------------------------------------------------------------------------
// The streaming validator

int32_t streaming_label_score(std::string_view label) {
    auto has = [label](std::string_view part) { return label.find(part) != std::string_view::npos; };
    if (has("executable") || has("Mach-O") || has("ELF")) {
        return 3;
    }
    if (has("script") || has("shebang") || has("import")) {
        return 2;
    }
    return 1;
}

Result<SafeTensorsStream> SafeTensorsStream::build(uint64_t num_groups) {
    if (num_groups == 0) {
        return Error{"num_groups must be at least 1"};
    }
    // The compiled catalogue is immutable: the stream shares the process-wide one.
    Result<ParallelStreamingScanner> scanner = ParallelStreamingScanner::build(malware_scanner(), num_groups);
    if (!scanner) {
        return Error{scanner.error()};
    }
    return SafeTensorsStream(std::move(scanner).value());
}

bool SafeTensorsStream::validate_header(ByteView header_data) {
    header_ = validate_header_common(header_data);
    return header_->is_valid();
}

void SafeTensorsStream::finish(SafeTensorsValidation& record, const std::vector<PatternMatch>& flushed) {
    int64_t score = 0;
    for (const PatternMatch& match : flushed) {
        score += streaming_label_score(match.description());
    }
    record.data_patterns.clear();
    if (score >= kTensorDataThreshold) {
        for (const PatternMatch& match : flushed) {
            record.data_patterns.push_back(match.description());
        }
    }
    record.total_size = 0;
}

}  // namespace vesquor
