// A file workload whose every step is journalled, and the check of a snapshot of it.
//
// Writers create, overwrite, append to, rename and delete files in one directory, each
// in a namespace of its own ("w<writer>-<n>"), so the ops on one name never overlap in
// time. Most ops end with an fsync of the file and of the directory; their journal line
// says so ("sync": true) and its end time is the moment they were durable. The journal
// is one JSON object per line, written after the op, outside the directory:
//
//   {"op":"create|overwrite|append|rename|delete","name":N,"from":F (rename),
//    "size":S,"xxh3":"16 hex digits" (the content of N after the op),
//    "mid":[[size,"hash"],...] (states N passes through inside the op),
//    "t0":ns,"t1":ns (CLOCK_REALTIME at the op's start and at its end),"sync":bool}
//
// Each system call of an op is atomic against a file-system freeze, so a snapshot sees
// a name in the state before an op, one of its "mid" states, or the state after it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tav::agent::fsload {

struct FileState {
    bool present = false;
    std::uint64_t size = 0;
    std::uint64_t hash = 0;  // XXH3-64 of the whole content
    bool operator==(const FileState&) const = default;
};

struct Op {
    std::string op;    // create, overwrite, append, rename, delete
    std::string name;  // the name the op leaves in `after`
    std::string from;  // rename: the name that goes away
    FileState after;   // of name
    std::vector<FileState> mid;
    std::int64_t t0 = 0, t1 = 0;
    bool sync = false;
};

std::string journalLine(const Op& op);
// Lines that are not ops (the header) are skipped; a line that does not parse is named
// in warnings (the last one of a killed run may be cut short).
std::vector<Op> readJournal(const std::filesystem::path& journal, std::vector<std::string>* warnings);

struct CheckReport {
    std::uint64_t exact = 0;      // present with the one state it could have
    std::uint64_t ambiguous = 0;  // named by ops that overlap the window; held one of its states
    std::uint64_t absent = 0;     // absent, as the journal says it must be
    std::vector<std::string> violations;
};

// For a copy of the directory at root taken at one instant inside [t0, t1] (CLOCK_REALTIME
// ns): a name whose last op before t0 was durable by t0, with no op started before t1
// after it, must hold that op's state; a name with ops in between may hold the durable
// state or any state of those ops; a name no op started before t1 created must not
// exist; neither may any name the journal does not know.
CheckReport checkSnapshot(const std::vector<Op>& ops, const std::filesystem::path& root, std::int64_t t0,
                          std::int64_t t1);

struct RunOptions {
    std::filesystem::path dir, journal;
    unsigned writers = 4;
    double seconds = 0;  // 0: until stop is set
    std::uint64_t seed = 1;
    unsigned maxFileKiB = 256;
    unsigned namesPerWriter = 16;
    double unsyncedShare = 0.1;  // ops left without fsync
};
struct RunResult {
    std::uint64_t ops = 0;
    std::uint64_t unsynced = 0;
};
// Runs the writers until options.seconds have passed or stop is set. Throws
// std::runtime_error on a failed system call (the journal stays valid up to it).
RunResult run(const RunOptions& options, const std::atomic<bool>& stop);

std::int64_t realtimeNs();

}  // namespace tav::agent::fsload
