// The change journal's file format (change_journal.h keeps the files).
//
//   vornelix journal 1\n                 header
//   S <generation> <length> <identity>\n  a replica left service holding
//                                        that generation; its identity as
//                                        behind lists name it
//   N <length> <tree path>\n             a name changed since
//   O\n                                  overflowed: names after it are missing
//   U\n                                  the daemon stopped without closing
//                                        it: names may be missing
//   C\n                                  closed cleanly (the last record)
//
// Lengths are decimal byte counts, so a name may hold any byte. Records
// are only ever appended, by one write each; a record cut short by a crash
// is a truncated journal.
//
// A replica's names are those after the last start record naming it.
// They are complete when no O or U record follows that start, the file
// ends on a whole record, and the start's generation is the one the
// replica's own record still holds (a replica trusted, resynced or filled
// since has moved on).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr std::string_view journal_header = "vornelix journal 1\n";
constexpr std::string_view journal_overflow_record = "O\n";
constexpr std::string_view journal_unclean_record = "U\n";
constexpr std::string_view journal_closed_record = "C\n";

std::string journal_start_record(std::string_view identity, uint64_t generation);
std::string journal_name_record(std::string_view path);

enum class journal_verdict {
    complete,
    not_covered,       // no start record for the replica
    wrong_generation,  // the replica's record moved on since its start
    overflowed,
    unclean,
    truncated,
    malformed,
};

// For the log: why a journal is not used ("" for complete).
const char* journal_verdict_text(journal_verdict verdict) noexcept;

struct journal_scan {
    journal_verdict verdict = journal_verdict::malformed;
    // For complete: the names to copy, sorted, once each, none below
    // another (copying a directory copies what it holds).
    std::vector<std::string> paths;
};

// What text says for the replica named identity, whose record holds
// generation. Throws only for want of memory.
journal_scan scan_journal(std::string_view text, std::string_view identity, uint64_t generation);

// Whether text is a whole journal whose last record is the closed mark:
// then closed_at is that record's offset (where appending goes on).
bool journal_closed_cleanly(std::string_view text, uint64_t& closed_at) noexcept;

// Sorts paths, drops repeats and paths below another one kept.
void collapse_paths(std::vector<std::string>& paths);
