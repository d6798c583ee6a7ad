#include "fs/engine/journal_format.h"

#include <algorithm>
#include <optional>
#include <set>

namespace {

// One record read from a journal.
struct journal_record {
    char kind = 0;
    uint64_t generation = 0;  // of a start
    std::string_view text;    // the identity of a start, the path of a name
};

enum class read_result { record, end, truncated, malformed };

// A decimal number ended by a space; advances text past both.
std::optional<uint64_t> read_number(std::string_view& text, bool& cut) noexcept
{
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (i >= 19 || value > (UINT64_MAX - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    if (i == text.size()) {
        cut = true;
        return std::nullopt;
    }
    if (i == 0 || text[i] != ' ')
        return std::nullopt;
    text.remove_prefix(i + 1);
    return value;
}

read_result read_record(std::string_view& text, journal_record& record) noexcept
{
    if (text.empty())
        return read_result::end;
    record = {};
    record.kind = text[0];
    std::string_view rest = text.substr(1);
    if (record.kind == 'O' || record.kind == 'U' || record.kind == 'C') {
        if (rest.empty())
            return read_result::truncated;
        if (rest[0] != '\n')
            return read_result::malformed;
        text = rest.substr(1);
        return read_result::record;
    }
    if (record.kind != 'S' && record.kind != 'N')
        return read_result::malformed;
    if (rest.empty())
        return read_result::truncated;
    if (rest[0] != ' ')
        return read_result::malformed;
    rest.remove_prefix(1);
    bool cut = false;
    if (record.kind == 'S') {
        const std::optional<uint64_t> generation = read_number(rest, cut);
        if (!generation)
            return cut ? read_result::truncated : read_result::malformed;
        record.generation = *generation;
    }
    const std::optional<uint64_t> length = read_number(rest, cut);
    if (!length)
        return cut ? read_result::truncated : read_result::malformed;
    if (rest.size() <= *length)
        return read_result::truncated;
    if (rest[*length] != '\n' || *length == 0)
        return read_result::malformed;
    record.text = rest.substr(0, *length);
    text = rest.substr(*length + 1);
    return read_result::record;
}

std::string with_length(char kind, std::string_view prefix, std::string_view text)
{
    std::string record(1, kind);
    record += ' ';
    record += prefix;
    record += std::to_string(text.size());
    record += ' ';
    record += text;
    record += '\n';
    return record;
}

}  // namespace

std::string journal_start_record(std::string_view identity, uint64_t generation)
{
    return with_length('S', std::to_string(generation) + " ", identity);
}

std::string journal_name_record(std::string_view path)
{
    return with_length('N', "", path);
}

const char* journal_verdict_text(journal_verdict verdict) noexcept
{
    switch (verdict) {
    case journal_verdict::complete:
        return "";
    case journal_verdict::not_covered:
        return "the source's change journal does not go back to the replica's departure";
    case journal_verdict::wrong_generation:
        return "the replica's generation record moved on since the change journal started";
    case journal_verdict::overflowed:
        return "the change journal overflowed";
    case journal_verdict::unclean:
        return "the change journal was not closed cleanly (the daemon stopped without unmounting)";
    case journal_verdict::truncated:
        return "the change journal ends in a record cut short";
    case journal_verdict::malformed:
        return "the change journal is unreadable";
    }
    return "the change journal is unreadable";
}

journal_scan scan_journal(std::string_view text, std::string_view identity, uint64_t generation)
{
    journal_scan scan;
    if (text.substr(0, journal_header.size()) != journal_header) {
        scan.verdict = journal_header.substr(0, text.size()) == text ? journal_verdict::truncated
                                                                      : journal_verdict::malformed;
        return scan;
    }
    text.remove_prefix(journal_header.size());
    bool started = false;
    uint64_t started_at = 0;
    bool gap = false;  // an O after the start
    bool unclean = false;
    std::vector<std::string> paths;
    journal_record record;
    for (;;) {
        const read_result result = read_record(text, record);
        if (result == read_result::end)
            break;
        if (result != read_result::record) {
            scan.verdict = result == read_result::truncated ? journal_verdict::truncated : journal_verdict::malformed;
            return scan;
        }
        if (record.kind == 'S' && record.text == identity) {
            started = true;
            started_at = record.generation;
            gap = unclean = false;
            paths.clear();
        } else if (record.kind == 'N' && started) {
            if (record.text[0] != '/') {
                scan.verdict = journal_verdict::malformed;
                return scan;
            }
            paths.emplace_back(record.text);
        } else if (record.kind == 'O') {
            gap = true;
        } else if (record.kind == 'U') {
            unclean = true;
        }
    }
    if (!started)
        scan.verdict = journal_verdict::not_covered;
    else if (started_at != generation)
        scan.verdict = journal_verdict::wrong_generation;
    else if (gap)
        scan.verdict = journal_verdict::overflowed;
    else if (unclean)
        scan.verdict = journal_verdict::unclean;
    else
        scan.verdict = journal_verdict::complete;
    if (scan.verdict == journal_verdict::complete) {
        collapse_paths(paths);
        scan.paths.swap(paths);
    }
    return scan;
}

bool journal_closed_cleanly(std::string_view text, uint64_t& closed_at) noexcept
{
    if (text.substr(0, journal_header.size()) != journal_header)
        return false;
    const size_t whole = text.size();
    text.remove_prefix(journal_header.size());
    journal_record record;
    for (;;) {
        const size_t at = whole - text.size();
        const read_result result = read_record(text, record);
        if (result != read_result::record)
            return false;
        if (record.kind == 'C' && text.empty()) {
            closed_at = at;
            return true;
        }
    }
}

void collapse_paths(std::vector<std::string>& paths)
{
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    if (std::binary_search(paths.begin(), paths.end(), std::string("/"))) {
        paths.assign(1, "/");
        return;
    }
    std::set<std::string_view> kept;
    std::vector<std::string> result;
    result.reserve(paths.size());  // kept's views stay where they point
    for (std::string& path : paths) {
        bool below = false;
        for (size_t slash = path.rfind('/'); slash != 0 && slash != std::string::npos && !below;
             slash = path.rfind('/', slash - 1))
            below = kept.count(std::string_view(path).substr(0, slash)) > 0;
        if (!below) {
            result.push_back(std::move(path));
            kept.insert(result.back());
        }
    }
    paths.swap(result);
}
