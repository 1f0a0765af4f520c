// tavbackup: full and incremental backups of a device through the tavguard module, and
// the repository's verify, restore and list.
#include <CLI/CLI.hpp>
#include <iostream>
#include <nlohmann/json.hpp>

#include "kernel/printk.h"
#include "tav/client.h"
#include "tavagent/backup.h"
#include "tavagent/imagehost.h"
#include "tavagent/progress.h"

using nlohmann::json;
using namespace tav::agent;

namespace {

json manifestJson(const Manifest& m) {
    return {{"id", m.id},           {"kind", m.kind},           {"parent", m.parent},
            {"time", m.time},       {"device", std::to_string(m.major) + ":" + std::to_string(m.minor)},
            {"blockSize", m.blockSize}, {"blockCount", m.blockCount}, {"changedBlocks", m.changedBlocks},
            {"blocksRead", m.stats.blocksRead}, {"bytesStored", m.stats.bytesStored},
            {"seconds", m.stats.seconds}};
}

void printManifest(const Manifest& m) {
    std::cout << m.id << "  " << m.kind << "  device " << m.major << ":" << m.minor << "  " << m.changedBlocks << " of "
              << m.blockCount << " blocks of " << m.blockSize << " bytes";
    if (!m.parent.empty()) std::cout << "  parent " << m.parent;
    std::cout << "\n";
}

// Where the module runs: a tavguardd over its socket, or in this process around --image.
struct Engine {
    std::unique_ptr<ImageHost> host;
    std::unique_ptr<tav::client::Connection> daemon;
    unsigned major = 0, minor = 0;
    std::string describe;

    Engine(const ImageHostOptions& o, const std::string& socketPath) {
        major = o.major;
        minor = static_cast<unsigned>(o.partition);
        if (!o.image.empty()) {
            host = std::make_unique<ImageHost>(o);
            describe = "in-process (image " + o.image + ")";
            return;
        }
        int error = 0;
        daemon = tav::client::Connection::connect(socketPath, &error);
        if (!daemon)
            throw AgentError(ErrorKind::Refused, "cannot reach tavguardd at " + socketPath + ": " + strerror(-error) +
                                                     " (start it, or give --image for the in-process mode)");
        tav::sys::setBackend(daemon.get());
        describe = "tavguardd at " + socketPath;
    }
    ~Engine() {
        if (daemon) tav::sys::setBackend(nullptr);
    }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tavbackup: point-in-time and incremental backups through tavguard"};
    app.require_subcommand(1);
    app.fallthrough();  // --socket, --json and --kernel-log also after the subcommand
    ImageHostOptions host;
    std::string repoPath = "tavguard-backups";
    bool asJson = false;
    std::uint32_t maxCache = 65536;
    std::string id, out;

    auto addDeviceOptions = [&](CLI::App* c) {
        c->add_option("--image", host.image, "disk image (MBR-partitioned) to attach in this process instead of using tavguardd")
            ->check(CLI::ExistingFile);
        c->add_option("--major", host.major, "the disk's major (the device is major:partition)")->capture_default_str();
        c->add_option("--partition", host.partition, "partition to back up (0: whole disk)")->capture_default_str();
        c->add_option("--block-size", host.blockSize, "file-system block size; 0 reads the ext super block")
            ->capture_default_str();
    };
    auto addRepo = [&](CLI::App* c) { c->add_option("--repo", repoPath, "backup repository")->capture_default_str(); };

    CLI::App* info = app.add_subcommand("info", "device geometry, backup state and automap state");
    addDeviceOptions(info);
    CLI::App* full = app.add_subcommand("full", "take a full backup");
    CLI::App* incr = app.add_subcommand("incremental", "take an incremental backup (a full one when it cannot)");
    for (CLI::App* c : {full, incr}) {
        addDeviceOptions(c);
        addRepo(c);
        c->add_option("--max-cache-blocks", maxCache, "most blocks the module may hold in its cache")
            ->capture_default_str();
    }
    CLI::App* verify = app.add_subcommand("verify", "check a backup chain against its checksums");
    CLI::App* restore = app.add_subcommand("restore", "write the image of a backup chain to a file");
    CLI::App* list = app.add_subcommand("list", "list the backups in the repository");
    for (CLI::App* c : {verify, restore, list}) addRepo(c);
    verify->add_option("--id", id, "last backup of the chain (default: the newest)");
    restore->add_option("--id", id, "last backup of the chain (default: the newest)");
    restore->add_option("--out", out, "image file to write")->required();
    app.add_flag("--json", asJson, "machine-readable output");
    std::string socketPath = tav::client::defaultSocketPath();
    app.add_option("--socket", socketPath, "tavguardd's socket (unless --image is given)")->capture_default_str();
    bool kernelLog = false;
    app.add_flag("--kernel-log", kernelLog, "echo the hosted module's kernel log to stderr");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : static_cast<int>(ErrorKind::Usage);
    }
    if (kernelLog) tav::kernel::logToStderr();
    else tav::kernel::setLogSink(nullptr);

    try {
        if (*info) {
            Engine h(host, socketPath);
            Session s;
            BlockSize bs = s.blockSize(h.major, h.minor);
            State st = s.state();
            AutoMapState ams = s.autoMapState();
            json j = {{"engine", h.describe},
                      {"device", std::to_string(h.major) + ":" + std::to_string(h.minor)},
                      {"blockSize", bs.blockSize},
                      {"partitionSizeKB", bs.partitionSizeKB},
                      {"blocks", static_cast<std::uint64_t>(bs.partitionSizeKB) * 1024 / bs.blockSize},
                      {"state", stateName(st.state)},
                      {"automap", ams.mapLen ? (ams.state == AMS_IN_SYNC ? "in sync" : "not in sync") : "none"}};
            if (asJson)
                std::cout << j.dump(2) << "\n";
            else
                for (auto& [k, v] : j.items()) std::cout << k << ": " << (v.is_string() ? v.get<std::string>() : v.dump()) << "\n";
            return 0;
        }
        Repository repo(repoPath);
        if (*full || *incr) {
            Engine h(host, socketPath);
            BackupOptions bo;
            bo.major = h.major;
            bo.minor = h.minor;
            bo.incremental = incr->parsed();
            bo.maxCacheBlocks = maxCache;
            unsigned blockSize = h.host && h.host->mount() ? h.host->mount()->blockSize() : 0;
            if (!blockSize) blockSize = Session().blockSize(h.major, h.minor).blockSize;
            ProgressLine line(incr->parsed() ? "incremental" : "full", blockSize);
            bo.progress = line.fn();
            BackupResult r = runBackup(repo, bo);
            if (!asJson) std::cerr << "tavbackup: engine: " << h.describe << "\n";
            if (!r.fallbackReason.empty() && !asJson)
                std::cerr << "tavbackup: taking a full backup instead: " << r.fallbackReason << "\n";
            if (asJson) {
                json j = manifestJson(r.manifest);
                j["fallbackReason"] = r.fallbackReason;
                j["engine"] = h.describe;
                std::cout << j.dump(2) << "\n";
            } else {
                printManifest(r.manifest);
            }
            return 0;
        }
        if (*list) {
            json arr = json::array();
            for (const Manifest& m : repo.list()) {
                if (asJson)
                    arr.push_back(manifestJson(m));
                else
                    printManifest(m);
            }
            if (asJson) std::cout << arr.dump(2) << "\n";
            return 0;
        }
        auto newest = [&]() {
            auto all = repo.list();
            if (all.empty()) throw AgentError(ErrorKind::Usage, "the repository " + repoPath + " holds no backup");
            return all.back().id;
        };
        if (*verify) {
            VerifyReport rep = verifyChain(repo, id.empty() ? newest() : id);
            if (asJson)
                std::cout << json{{"backups", rep.backups}, {"blocksChecked", rep.blocksChecked}, {"problems", rep.problems}}.dump(2)
                          << "\n";
            else {
                for (auto& p : rep.problems) std::cout << "problem: " << p << "\n";
                std::cout << rep.backups << " backups, " << rep.blocksChecked << " blocks checked: "
                          << (rep.problems.empty() ? "OK" : "FAILED") << "\n";
            }
            return rep.problems.empty() ? 0 : static_cast<int>(ErrorKind::Verify);
        }
        if (*restore) {
            std::string target = id.empty() ? newest() : id;
            auto chain = repo.chain(target);
            ProgressLine line("restore", chain.front().blockSize);
            restoreChain(repo, target, out, line.fn());
            if (asJson)
                std::cout << json{{"restored", target}, {"backups", chain.size()}, {"out", out}}.dump(2) << "\n";
            else
                std::cout << "restored " << target << " (" << chain.size() << " backups) to " << out << "\n";
            return 0;
        }
    } catch (const AgentError& e) {
        std::cerr << "tavbackup: " << e.what() << "\n";
        return static_cast<int>(e.kind());
    } catch (const std::exception& e) {
        std::cerr << "tavbackup: " << e.what() << "\n";
        return static_cast<int>(ErrorKind::Io);
    }
    return 0;
}
