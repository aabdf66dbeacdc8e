#include "pattern_matching.hpp"

#include <hs.h>

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>

#include "byte_count.hpp"
#include "start_filter.hpp"

namespace vesquor {

struct PatternScanner::Database {
    hs_database_t* handle = nullptr;
    ~Database() { hs_free_database(handle); }
};

namespace {

// The one translation of Hyperscan's status codes into text.
std::string hs_error_text(hs_error_t code) {
    switch (code) {
        case HS_SUCCESS: return "success";
        case HS_INVALID: return "invalid parameter";
        case HS_NOMEM: return "memory allocation failed";
        case HS_SCAN_TERMINATED: return "scan terminated";
        case HS_COMPILER_ERROR: return "compiler error";
        case HS_DB_VERSION_ERROR: return "database built by another Hyperscan version";
        case HS_DB_PLATFORM_ERROR: return "database built for another platform";
        case HS_DB_MODE_ERROR: return "database built for another scan mode";
        case HS_BAD_ALIGN: return "misaligned parameter";
        case HS_BAD_ALLOC: return "allocator returned misaligned memory";
        case HS_SCRATCH_IN_USE: return "scratch space in use";
        case HS_ARCH_ERROR: return "unsupported CPU architecture";
        case HS_INSUFFICIENT_SPACE: return "insufficient space";
        default: return "error code " + std::to_string(code);
    }
}

// Scratch space and occurrence buffer of one thread. Hyperscan needs a scratch per concurrent
// scan; one per thread, grown to fit every database the thread scans, makes `scan_all` safe from
// any number of threads without a lock and without a map from scanners to scratches.
struct Workspace {
    hs_scratch_t* scratch = nullptr;
    std::vector<Occurrence> occurrences;
    std::vector<std::pair<size_t, size_t>> windows;
    ~Workspace() { hs_free_scratch(scratch); }

    hs_scratch_t* scratch_for(const hs_database_t* database) {
        hs_error_t status = hs_alloc_scratch(database, &scratch);
        if (status == HS_NOMEM) {
            throw std::bad_alloc();
        }
        if (status != HS_SUCCESS) {
            throw std::runtime_error("Hyperscan scratch allocation failed: " + hs_error_text(status));
        }
        return scratch;
    }
};

thread_local Workspace WORKSPACE;

struct CallbackContext {
    std::vector<Occurrence>* out;
    uint64_t window_start;  // absolute offset of the first scanned byte
    uint64_t piece_from;    // occurrences must end after this
    bool out_of_memory;
};

// Runs inside Hyperscan (C code): it must not throw, so allocation failure stops the scan.
int on_occurrence(unsigned int id, unsigned long long, unsigned long long to, unsigned int, void* raw) {
    auto* context = static_cast<CallbackContext*>(raw);
    uint64_t end = context->window_start + to;
    if (end <= context->piece_from) {
        return 0;  // already reported with the previous piece
    }
    try {
        context->out->push_back(Occurrence{id, end});
    } catch (const std::bad_alloc&) {
        context->out_of_memory = true;
        return 1;
    }
    return 0;
}

// The regex form of a literal: every byte escaped, so it matches exactly those bytes.
std::string escaped_literal(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 4);
    for (unsigned char c : bytes) {
        out += "\\x";
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

}  // namespace

// Compiles the rows, row i as id i. The literal API of some builds of the library (the Vectorscan
// fork) refuses a literal whose first byte is NUL, taking it for an empty string, so a table
// holding one is compiled through the regex API instead, each byte escaped: both report every
// occurrence of every row, so results are the same.
Result<std::shared_ptr<const PatternScanner::Database>> PatternScanner::compile(const std::vector<Pattern>& rows) {
    std::vector<unsigned> flags(rows.size(), 0);
    std::vector<unsigned> ids;
    bool leading_nul = false;
    for (size_t i = 0; i < rows.size(); ++i) {
        ids.push_back(static_cast<unsigned>(i));
        leading_nul = leading_nul || (!rows[i].pattern.empty() && rows[i].pattern[0] == '\0');
    }
    auto database = std::make_shared<Database>();
    hs_compile_error_t* compile_error = nullptr;
    hs_error_t status;
    if (!leading_nul) {
        std::vector<const char*> expressions;
        std::vector<size_t> lengths;
        for (const Pattern& row : rows) {
            expressions.push_back(row.pattern.data());
            lengths.push_back(row.pattern.size());
        }
        status = hs_compile_lit_multi(expressions.data(), flags.data(), ids.data(), lengths.data(),
                                      static_cast<unsigned>(rows.size()), HS_MODE_BLOCK, nullptr, &database->handle,
                                      &compile_error);
    } else {
        std::vector<std::string> regexes;
        std::vector<const char*> expressions;
        for (const Pattern& row : rows) {
            regexes.push_back(row.pattern.empty() ? std::string() : escaped_literal(row.pattern));
        }
        for (const std::string& regex : regexes) {
            expressions.push_back(regex.c_str());
        }
        status = hs_compile_multi(expressions.data(), flags.data(), ids.data(), static_cast<unsigned>(rows.size()),
                                  HS_MODE_BLOCK, nullptr, &database->handle, &compile_error);
    }
    if (status != HS_SUCCESS) {
        std::string message = "Failed to build pattern automaton: ";
        if (compile_error != nullptr) {
            int index = compile_error->expression;
            if (index >= 0 && static_cast<size_t>(index) < rows.size()) {
                message += "pattern '" + rows[index].label + "': ";
            }
            message += compile_error->message;
            hs_free_compile_error(compile_error);
        } else {
            message += hs_error_text(status);
        }
        return Error{std::move(message)};
    }
    return std::shared_ptr<const Database>(std::move(database));
}

Result<PatternScanner> PatternScanner::build(std::vector<Pattern> rows) { return build(std::move(rows), true); }

Result<PatternScanner> PatternScanner::build(std::vector<Pattern> rows, bool start_filter) {
    auto shared = std::make_shared<Shared>();
    if (rows.size() > std::numeric_limits<uint32_t>::max() / 2) {
        return Error{"Failed to build pattern automaton: too many patterns"};
    }
    shared->lengths.reserve(rows.size());
    for (const Pattern& row : rows) {
        // An empty row would match everywhere, and Hyperscan's literal compiler crashes on one.
        if (row.pattern.empty()) {
            return Error{"Failed to build pattern automaton: pattern '" + row.label + "' is empty"};
        }
        if (row.pattern.size() > (size_t{1} << 30)) {
            return Error{"Failed to build pattern automaton: pattern '" + row.label + "' is too long"};
        }
        shared->lengths.push_back(static_cast<uint32_t>(row.pattern.size()));
        shared->max_length = std::max(shared->max_length, row.pattern.size());
    }
    if (!rows.empty()) {
        Result<std::shared_ptr<const Database>> database = compile(rows);
        if (!database) {
            return Error{database.error()};
        }
        shared->database = std::move(database).value();
        if (std::optional<StartFilter> filter = start_filter ? StartFilter::build(rows) : std::nullopt) {
            shared->start_filter = std::make_shared<const StartFilter>(*filter);
        }
    }
    shared->rows = std::move(rows);
    return PatternScanner(std::move(shared));
}

void PatternScanner::find_occurrences(ByteView data, uint64_t from, uint64_t to, OccurrenceBatch batch,
                                      size_t piece_bytes, uint64_t* zero_bytes) const {
    to = std::min<uint64_t>(to, data.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (!shared_->database || from >= to) {
        if (zero_bytes != nullptr && from < to) {
            *zero_bytes += count_zero_bytes(bytes + from, to - from);
        }
        return;
    }
    // Keeps each window (piece plus the bytes read back) within Hyperscan's 32-bit length.
    piece_bytes = std::clamp<size_t>(piece_bytes, 1, size_t{1} << 30);
    const uint64_t back = shared_->max_length - 1;
    Workspace& workspace = WORKSPACE;
    hs_scratch_t* scratch = workspace.scratch_for(shared_->database->handle);
    std::vector<Occurrence>& occurrences = workspace.occurrences;

    const StartFilter* start_filter = shared_->start_filter.get();

    // After a piece too dense with candidates for the start filter to help, the next pieces are
    // scanned whole, for longer each time it happens again; results are the same either way.
    size_t filter_pause = 0, filter_backoff = 1;
    for (uint64_t piece_from = from; piece_from < to;) {
        uint64_t piece_to = std::min<uint64_t>(to, piece_from + piece_bytes);
        uint64_t window_start = piece_from > back ? piece_from - back : 0;
        occurrences.clear();
        CallbackContext context{&occurrences, 0, piece_from, false};
        auto scan_window = [&](uint64_t begin, uint64_t end) {
            context.window_start = begin;
            hs_error_t status = hs_scan(shared_->database->handle, data.data() + begin,
                                        static_cast<unsigned int>(end - begin), 0, scratch, on_occurrence, &context);
            if (context.out_of_memory) {
                throw std::bad_alloc();
            }
            if (status != HS_SUCCESS) {
                throw std::runtime_error("Hyperscan scan failed: " + hs_error_text(status));
            }
        };
        // Every occurrence ending in the piece starts in [window_start, piece_to) at a position
        // the start filter passes, and lies in that position's window.
        bool filtered = false;
        ZeroCount zeros{piece_from, piece_to};
        if (start_filter != nullptr && filter_pause == 0) {
            filtered = start_filter->windows(bytes, data.size(), window_start, piece_to, shared_->max_length,
                                             workspace.windows, zero_bytes != nullptr ? &zeros : nullptr);
            if (filtered) {
                filter_backoff = 1;
            } else {
                filter_pause = filter_backoff;
                filter_backoff = std::min<size_t>(filter_backoff * 2, 64);
            }
        } else if (filter_pause > 0) {
            --filter_pause;
        }
        if (filtered) {
            for (auto [begin, end] : workspace.windows) {
                scan_window(begin, end);
            }
        } else {
            scan_window(window_start, piece_to);
        }
        if (zero_bytes != nullptr) {
            // Counted by the filter's pass, or now, while the piece is still in the cache.
            *zero_bytes += filtered ? zeros.count : count_zero_bytes(bytes + piece_from, piece_to - piece_from);
        }
        // Hyperscan reports in end order; the filter depends on it, so it is checked, not assumed.
        auto by_end = [](const Occurrence& a, const Occurrence& b) { return a.end < b.end; };
        if (!std::is_sorted(occurrences.begin(), occurrences.end(), by_end)) {
            std::stable_sort(occurrences.begin(), occurrences.end(), by_end);
        }
        if (!occurrences.empty()) {
            batch(occurrences.data(), occurrences.size());
        }
        piece_from = piece_to;
    }
    if (occurrences.capacity() > (size_t{1} << 20)) {
        std::vector<Occurrence>().swap(occurrences);  // a dense scan does not pin its buffer
    }
}

std::vector<PatternMatch> PatternScanner::scan_all(ByteView data) const {
    std::vector<PatternMatch> matches;
    scan(data, [&](const PatternMatch& match) { matches.push_back(match); });
    return matches;
}

}  // namespace vesquor
