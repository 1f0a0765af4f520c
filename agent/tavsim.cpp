// tavsim: a live-backup scenario on an emulated disk in a file. It partitions an image
// (sfdisk), makes an ext4 on the first partition (mke2fs), attaches it with the module
// loaded, keeps writers busy, takes a full and then an incremental backup while they
// write, restores both, and compares each restored image byte for byte with the device
// as it stood at that snapshot (captured while the file system was frozen).
#include <CLI/CLI.hpp>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "host/daemon.h"
#include "kernel/printk.h"
#include "tavagent/backup.h"
#include "tavagent/imagehost.h"
#include "tavagent/progress.h"

namespace fs = std::filesystem;
using namespace tav::agent;

namespace {

struct Options {
    std::string image = "build/tavsim.img";
    std::string repo = "build/tavsim-repo";
    unsigned sizeMb = 256;
    unsigned fsBlockSize = 4096;
    unsigned writers = 2;
    unsigned rate = 2000;  // block writes per second per writer; 0: as fast as possible
    std::string pattern = "random";
    double settleSeconds = 0.3;  // writing before and between the backups
    bool keep = false;
    bool force = false;
};

int run(const std::string& cmd) {
    int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

void makeImage(const Options& o, std::uint64_t* p1Start, std::uint64_t* p1Sectors) {
    fs::create_directories(fs::path(o.image).parent_path().empty() ? "." : fs::path(o.image).parent_path());
    {
        std::ofstream f(o.image, std::ios::trunc | std::ios::binary);
    }
    fs::resize_file(o.image, static_cast<std::uint64_t>(o.sizeMb) << 20);
    std::uint64_t total = static_cast<std::uint64_t>(o.sizeMb) << 11;
    *p1Start = 2048;
    *p1Sectors = (total * 6 / 10) / 8 * 8;
    std::uint64_t p2Start = *p1Start + *p1Sectors;
    std::string layout = "label: dos\\n" + std::to_string(*p1Start) + " " + std::to_string(*p1Sectors) + " 83\\n" +
                         std::to_string(p2Start) + " " + std::to_string(total - p2Start - 1) + " 83\\n";
    if (run("printf '" + layout + "' | sfdisk --no-reread --no-tell-kernel " + o.image) != 0)
        throw AgentError(ErrorKind::Io, "sfdisk could not partition " + o.image + " (is fdisk installed?)");
    std::string mk = "mke2fs -q -F -t ext4 -b " + std::to_string(o.fsBlockSize) + " -E offset=" +
                     std::to_string(*p1Start * 512) + " " + o.image + " " + std::to_string(*p1Sectors / 2) + "k";
    if (run(mk) != 0) throw AgentError(ErrorKind::Io, "mke2fs could not make the file system (is e2fsprogs installed?)");
}

// Module statistics of the last closed backup, from the "label: value" lines its close logs.
std::map<std::string, std::string> lastStats() {
    std::map<std::string, std::string> stats;
    const std::string prefix = "<6>printStats: ";
    for (const auto& l : tav::kernel::logLines()) {
        if (l.text.rfind(prefix, 0) != 0) continue;
        std::size_t sep = l.text.find(": ", prefix.size());
        if (sep == std::string::npos) continue;
        stats[l.text.substr(prefix.size(), sep - prefix.size())] = l.text.substr(sep + 2);
    }
    return stats;
}

// One backup by a separate tavbackup process (next to this program) through the socket.
BackupResult runAgent(const std::string& socket, const std::string& repo, bool incremental) {
    std::string self = fs::read_symlink("/proc/self/exe").parent_path() / "tavbackup";
    std::vector<std::string> args = {self, "--socket", socket, "--json", incremental ? "incremental" : "full",
                                     "--repo", repo, "--partition", "1"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) throw AgentError(ErrorKind::Io, "pipe failed");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; rc == 0 && (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw AgentError(ErrorKind::Refused, "the tavbackup process failed (" + self + ")");
    auto j = nlohmann::json::parse(text);
    BackupResult r;
    r.manifest.id = j["id"];
    r.manifest.kind = j["kind"];
    r.manifest.stats.blocksRead = j["blocksRead"];
    r.manifest.stats.seconds = j["seconds"];
    r.fallbackReason = j["fallbackReason"];
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"tavsim: a live backup on an emulated disk, checked against the truth"};
    app.add_option("--image", o.image, "image file to create")->capture_default_str();
    app.add_option("--repo", o.repo, "backup repository to create (an existing one only with --force)")->capture_default_str();
    app.add_option("--size-mb", o.sizeMb, "image size in MiB")->capture_default_str()->check(CLI::Range(32, 65536));
    app.add_option("--fs-block-size", o.fsBlockSize, "ext4 block size")->capture_default_str()->check(CLI::IsMember({1024, 2048, 4096}));
    app.add_option("--writers", o.writers, "writer threads on the backed-up file system")->capture_default_str();
    app.add_option("--rate", o.rate, "block writes per second per writer (0: unlimited)")->capture_default_str();
    app.add_option("--pattern", o.pattern, "random or sequential")->capture_default_str()->check(CLI::IsMember({"random", "sequential"}));
    app.add_option("--settle", o.settleSeconds, "seconds of writing before and between the backups")->capture_default_str();
    app.add_flag("--keep", o.keep, "keep the image and repository");
    app.add_flag("--force", o.force, "replace an existing image and repository");
    std::string serve;
    app.add_option("--serve", serve,
                   "serve this machine on a tavguardd socket and take each backup with a separate tavbackup process");
    CLI11_PARSE(app, argc, argv);
    tav::kernel::setLogSink(nullptr);

    bool created = false;
    try {
        // Only what this run made is deleted, unless asked.
        for (const std::string& p : {o.image, o.repo}) {
            std::error_code ec;
            if (!o.force && fs::exists(fs::symlink_status(p, ec)))
                throw AgentError(ErrorKind::Usage, p + " exists; give --force to replace it");
        }
        std::uint64_t p1Start = 0, p1Sectors = 0;
        created = true;
        makeImage(o, &p1Start, &p1Sectors);
        fs::remove_all(o.repo);
        Repository repo(o.repo);
        ImageHostOptions ho;
        ho.image = o.image;
        ho.partition = 1;
        ImageHost host(ho);
        tav::Mount* mnt = host.mount();
        tav::Disk* disk = host.disk();
        const unsigned bs = mnt->blockSize();
        const std::uint64_t blocks = p1Sectors * 512 / bs;
        const std::size_t partBytes = p1Sectors * 512;

        std::vector<std::uint8_t> truth;
        mnt->setFreezeSyncPoint([&](struct super_block*) {
            truth.resize(partBytes);
            disk->readRaw(p1Start, truth.data(), partBytes);
        });

        std::atomic<bool> stop{false};
        std::atomic<long> written{0};
        std::vector<std::thread> writers;
        for (unsigned w = 0; w < o.writers; w++) {
            writers.emplace_back([&, w] {
                std::mt19937_64 rng(1234 + w);
                std::vector<std::uint8_t> data(bs);
                std::uint64_t seq = w * (blocks / std::max(1u, o.writers));
                auto pause = o.rate ? std::chrono::microseconds(1000000 / o.rate) : std::chrono::microseconds(0);
                while (!stop.load()) {
                    std::uint64_t b = o.pattern == "random" ? rng() % blocks : (seq++ % blocks);
                    std::uint64_t stamp = rng();
                    for (unsigned i = 0; i < bs; i += 8) memcpy(&data[i], &stamp, 8);
                    if (mnt->write(b, data.data()) == 0) written++;
                    if (pause.count()) std::this_thread::sleep_for(pause);
                }
            });
        }
        auto settle = [&] { std::this_thread::sleep_for(std::chrono::duration<double>(o.settleSeconds)); };

        struct Round {
            std::string kind;
            BackupResult result;
            std::vector<std::uint8_t> truth;
            std::map<std::string, std::string> stats;
        };
        std::vector<Round> rounds;
        tav::host::Server server;
        std::thread serving;
        if (!serve.empty()) {
            std::string msg;
            if (server.listen(serve, &msg)) throw AgentError(ErrorKind::Io, msg);
            serving = std::thread([&] { server.serve(); });
        }
        for (bool incremental : {false, true}) {
            settle();
            tav::kernel::clearLog();
            BackupOptions bo;
            bo.major = host.major();
            bo.minor = host.minor();
            bo.incremental = incremental;
            ProgressLine line(incremental ? "incremental" : "full", bs);
            bo.progress = line.fn();
            Round r;
            r.kind = incremental ? "incremental" : "full";
            bo.source = host.source();
            r.result = serve.empty() ? runBackup(repo, bo) : runAgent(serve, o.repo, incremental);
            r.truth = std::move(truth);
            r.stats = lastStats();
            rounds.push_back(std::move(r));
        }
        stop = true;
        for (auto& t : writers) t.join();
        if (serving.joinable()) {
            server.stop();
            serving.join();
        }

        bool pass = true;
        std::cout << "tavsim: " << o.sizeMb << " MiB image, partition 1 ext4 " << bs << "-byte blocks (" << blocks
                  << " blocks), " << o.writers << " writers, " << written.load() << " block writes"
                  << (serve.empty() ? "" : ", agents as separate processes through " + serve) << "\n";
        for (auto& r : rounds) {
            fs::path out = o.repo + ".restored-" + r.kind + ".img";
            RestoreOptions ro;
            ro.force = true;
            ro.protect = {o.image};
            restoreChain(repo, r.result.manifest.id, out, ro);
            std::ifstream in(out, std::ios::binary);
            std::vector<std::uint8_t> restored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (!o.keep) fs::remove(out);
            bool same = !r.truth.empty() && restored.size() == r.truth.size() && restored == r.truth;
            pass &= same;
            const Manifest& m = r.result.manifest;
            double mbps = m.stats.seconds > 0 ? static_cast<double>(m.stats.blocksRead) * bs / 1e6 / m.stats.seconds : 0;
            auto stat = [&](const char* k) { return r.stats.count(k) ? r.stats[k] : std::string("?"); };
            std::cout << "  " << r.kind << (r.result.fallbackReason.empty() ? "" : " (as full: " + r.result.fallbackReason + ")")
                      << ": blocks read " << m.stats.blocksRead << ", from cache " << stat("total reads from cache")
                      << ", copies made " << stat("total cached blocks") << ", frozen " << stat("time frozen in seconds") << " s, "
                      << std::fixed << std::setprecision(1) << mbps << " MB/s, restored image "
                      << (same ? "matches" : "DIFFERS FROM") << " the snapshot\n";
        }
        std::cout << "  (the frozen time includes reading the truth off the disk while frozen)\n";
        std::cout << (pass ? "PASS" : "FAIL") << "\n";
        if (!o.keep) {
            fs::remove_all(o.repo);
            fs::remove(o.image);
        }
        return pass ? 0 : 1;
    } catch (const AgentError& e) {
        std::cerr << "tavsim: " << e.what() << "\n";
        if (created && !o.keep) {
            std::error_code ec;
            fs::remove_all(o.repo, ec);
            fs::remove(o.image, ec);
        }
        std::cout << "FAIL\n";
        return static_cast<int>(e.kind());
    }
}
