// tavfsload: a journalled file workload (run), and the check of a snapshot of it (check).
#include <csignal>
#include <CLI/CLI.hpp>
#include <iostream>

#include "tavagent/fsload.h"

using namespace tav::agent;

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onStop(int) { stopRequested.store(true); }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tavfsload: a journalled file workload, and the check of a snapshot of it"};
    app.require_subcommand(1);
    fsload::RunOptions ro;
    CLI::App* run = app.add_subcommand("run", "write files until --seconds pass or SIGTERM/SIGINT");
    run->add_option("--dir", ro.dir, "directory to write in (created; must be empty)")->required();
    run->add_option("--journal", ro.journal, "journal file, outside --dir")->required();
    run->add_option("--writers", ro.writers, "writer threads")->capture_default_str()->check(CLI::Range(1u, 64u));
    run->add_option("--seconds", ro.seconds, "how long to run (default: until a signal)")->check(CLI::NonNegativeNumber);
    run->add_option("--seed", ro.seed, "seed of the ops and their data")->capture_default_str();
    run->add_option("--max-file-kib", ro.maxFileKiB, "largest file written at once")
        ->capture_default_str()
        ->check(CLI::Range(1u, 65536u));
    run->add_option("--names", ro.namesPerWriter, "names each writer uses")->capture_default_str()->check(CLI::Range(2u, 100000u));
    run->add_option("--unsynced", ro.unsyncedShare, "share of ops left without fsync")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 1.0));

    std::string journal, root, window;
    CLI::App* check = app.add_subcommand("check", "check a snapshot of the directory against the journal");
    check->add_option("--journal", journal, "the run's journal")->required()->check(CLI::ExistingFile);
    check->add_option("--root", root, "the directory as the snapshot holds it (mounted read-only)")
        ->required()
        ->check(CLI::ExistingDirectory);
    check->add_option("--window", window, "T0,T1: CLOCK_REALTIME ns between which the snapshot was taken")->required();
    CLI11_PARSE(app, argc, argv);

    try {
        if (*run) {
            struct sigaction sa {};
            sa.sa_handler = onStop;
            sigaction(SIGTERM, &sa, nullptr);
            sigaction(SIGINT, &sa, nullptr);
            fsload::RunResult r = fsload::run(ro, stopRequested);
            std::cout << "tavfsload: " << r.ops << " ops (" << r.unsynced << " without fsync) by " << ro.writers
                      << " writers\n";
            return 0;
        }
        std::int64_t t0 = 0, t1 = 0;
        char comma = 0;
        std::istringstream w(window);
        if (!(w >> t0 >> comma >> t1) || comma != ',' || !w.eof() || t0 > t1) {
            std::cerr << "tavfsload: --window wants T0,T1 with T0 <= T1, not '" << window << "'\n";
            return 2;
        }
        std::vector<std::string> warnings;
        auto ops = fsload::readJournal(journal, &warnings);
        for (const std::string& s : warnings) std::cerr << "tavfsload: warning: " << s << "\n";
        fsload::CheckReport rep = fsload::checkSnapshot(ops, root, t0, t1);
        for (const std::string& v : rep.violations) std::cout << "violation: " << v << "\n";
        std::cout << "checked exact " << rep.exact << ", ambiguous " << rep.ambiguous << ", absent as expected "
                  << rep.absent << ", violations " << rep.violations.size() << " (" << ops.size() << " ops)\n";
        return rep.violations.empty() ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "tavfsload: " << e.what() << "\n";
        return 1;
    }
}
