// tavbackup: full and incremental backups of a device through the tavguard module, and
// the repository's verify, restore and list.
#include <CLI/CLI.hpp>
#include <cstring>
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

// Options every subcommand takes, before or after its name.
struct GlobalOptions {
    bool json = false;
    bool kernelLog = false;
    std::string socketPath = tav::client::defaultSocketPath();
};

void addGlobalOptions(CLI::App& app, GlobalOptions& g) {
    app.add_flag("--json", g.json, "machine-readable output (errors too: {\"error\", \"exitCode\"} on stdout)");
    app.add_flag("--kernel-log", g.kernelLog, "echo the hosted module's kernel log to stderr");
    app.add_option("--socket", g.socketPath, "tavguardd's socket (unless --image is given)")->capture_default_str();
}

json manifestJson(const Manifest& m) {
    json j = {{"id", m.id},
            {"kind", m.kind},
            {"parent", m.parent},
            {"time", m.time},
            {"source", {{"fsUuid", m.source.fsUuid}, {"path", m.source.path}}},
            {"device", std::to_string(m.major) + ":" + std::to_string(m.minor)},
            {"blockSize", m.blockSize},
            {"blockCount", m.blockCount},
            {"changedBlocks", m.changedBlocks},
            {"blocksRead", m.stats.blocksRead},
            {"bytesStored", m.stats.bytesStored},
            {"seconds", m.stats.seconds}};
    // CLOCK_REALTIME ns around the snapshot; null for backups that did not record it.
    j["snapshotWindow"] = m.snapshotStartNs || m.snapshotEndNs ? json::array({m.snapshotStartNs, m.snapshotEndNs}) : json(nullptr);
    return j;
}

void printManifest(const Manifest& m) {
    std::cout << m.id << "  " << m.kind << "  " << m.source.describe() << "  device " << m.major << ":" << m.minor << "  "
              << m.changedBlocks << " of " << m.blockCount << " blocks of " << m.blockSize << " bytes";
    if (!m.parent.empty()) std::cout << "  parent " << m.parent;
    std::cout << "\n";
}

int fail(const GlobalOptions& g, int code, const std::string& message) {
    std::cerr << "tavbackup: " << message << "\n";
    if (g.json) std::cout << json{{"error", message}, {"exitCode", code}}.dump(2) << "\n";
    return code;
}

// Where the module runs: a tavguardd over its socket, or in this process around --image.
struct Engine {
    std::unique_ptr<ImageHost> host;
    std::unique_ptr<tav::client::Connection> daemon;
    unsigned major = 0, minor = 0;
    std::string describe;
    // A device behind the daemon is named by the socket and its number; the file system's
    // UUID is read by the in-process mode only.
    SourceId source;

    Engine(const ImageHostOptions& o, const std::string& socketPath) {
        major = o.major;
        minor = static_cast<unsigned>(o.partition);
        if (!o.image.empty()) {
            host = std::make_unique<ImageHost>(o);
            describe = "in-process (image " + o.image + ")";
            source = host->source();
            return;
        }
        int error = 0;
        daemon = tav::client::Connection::connect(socketPath, &error);
        if (!daemon)
            throw AgentError(ErrorKind::Refused, "cannot reach tavguardd at " + socketPath + ": " + strerror(-error) +
                                                     " (start it, or give --image for the in-process mode)");
        tav::sys::setBackend(daemon.get());
        describe = "tavguardd at " + socketPath;
        source.path = "tavguardd " + socketPath;
    }
    ~Engine() {
        if (daemon) tav::sys::setBackend(nullptr);
    }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tavbackup: point-in-time and incremental backups through tavguard"};
    app.require_subcommand(1);
    app.fallthrough();  // inherited by the subcommands: global options may follow them
    GlobalOptions global;
    addGlobalOptions(app, global);
    ImageHostOptions host;
    std::string repoPath = "tavguard-backups";
    std::uint32_t maxCache = 65536;
    std::string id, out;
    bool force = false;

    auto addDeviceOptions = [&](CLI::App* c) {
        c->add_option("--image", host.image, "disk image (MBR-partitioned) to attach in this process instead of using tavguardd")
            ->check(CLI::ExistingFile);
        c->add_option("--major", host.major, "the disk's major (the device is major:partition)")
            ->capture_default_str()
            ->check(CLI::Range(1u, 255u));
        c->add_option("--partition", host.partition, "partition to back up (0: whole disk); the device's minor")
            ->capture_default_str()
            ->check(CLI::Range(0, 255));
        c->add_option("--block-size", host.blockSize, "file-system block size; 0 reads the ext super block")
            ->capture_default_str()
            ->check(CLI::IsMember({0, 512, 1024, 2048, 4096}));
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
            ->capture_default_str()
            ->check(CLI::Range(1u, 1u << 24));
    }
    CLI::App* verify = app.add_subcommand("verify", "check backups against their checksums");
    CLI::App* restore = app.add_subcommand("restore", "write the image of a backup chain to a file or block device");
    CLI::App* list = app.add_subcommand("list", "list the backups in the repository");
    for (CLI::App* c : {verify, restore, list}) addRepo(c);
    verify->add_option("--id", id, "last backup of the chain to check (default: every backup)");
    restore->add_option("--id", id, "last backup of the chain (default: the newest of the only source)");
    restore->add_option("--out", out, "image file or block device to write")->required();
    restore->add_flag("--force", force, "replace an existing file, or write over a block device");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        for (int i = 1; i < argc; i++) global.json |= std::strcmp(argv[i], "--json") == 0;
        return fail(global, static_cast<int>(ErrorKind::Usage), e.what());
    }
    if (global.kernelLog) tav::kernel::logToStderr();
    else tav::kernel::setLogSink(nullptr);
    const bool asJson = global.json;

    try {
        if (*info) {
            Engine h(host, global.socketPath);
            Session s;
            BlockSize bs = s.blockSize(h.major, h.minor);
            State st = s.state();
            AutoMapState ams = s.autoMapState();
            json j = {{"engine", h.describe},
                      {"device", std::to_string(h.major) + ":" + std::to_string(h.minor)},
                      {"source", h.source.describe()},
                      {"blockSize", bs.blockSize},
                      {"partitionSizeKB", bs.partitionSizeKB},
                      {"blocks", bs.blockSize ? static_cast<std::uint64_t>(bs.partitionSizeKB) * 1024 / bs.blockSize : 0},
                      {"state", stateName(st.state)},
                      {"automap", ams.mapLen ? (ams.state == AMS_IN_SYNC ? "in sync" : "not in sync") : "none"}};
            if (asJson)
                std::cout << j.dump(2) << "\n";
            else
                for (auto& [k, v] : j.items()) std::cout << k << ": " << (v.is_string() ? v.get<std::string>() : v.dump()) << "\n";
            return 0;
        }
        if (*full || *incr) {
            Engine h(host, global.socketPath);  // first: a source that cannot be attached leaves no repository behind
            Repository repo(repoPath);
            BackupOptions bo;
            bo.major = h.major;
            bo.minor = h.minor;
            bo.source = h.source;
            bo.incremental = incr->parsed();
            bo.maxCacheBlocks = maxCache;
            unsigned blockSize = h.host && h.host->mount() ? h.host->mount()->blockSize() : 0;
            if (!blockSize) blockSize = Session().blockSize(h.major, h.minor).blockSize;
            ProgressLine line(incr->parsed() ? "incremental" : "full", blockSize ? blockSize : 4096);
            bo.progress = line.fn();
            BackupResult r = runBackup(repo, bo);
            line.finish();
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
        Repository repo(repoPath, RepoOpen::Existing);
        if (*list) {
            RepoScan scan;
            {
                RepoLock lock(repo, RepoLock::Shared);
                scan = repo.scan();
            }
            for (const std::string& p : scan.problems) std::cerr << "tavbackup: skipped " << p << "\n";
            json arr = json::array();
            for (const Manifest& m : scan.backups) {
                if (asJson)
                    arr.push_back(manifestJson(m));
                else
                    printManifest(m);
            }
            if (asJson) std::cout << arr.dump(2) << "\n";
            return 0;
        }
        if (*verify) {
            VerifyReport rep = id.empty() ? verifyRepository(repo) : verifyChain(repo, id);
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
            std::string target = id;
            if (target.empty()) {
                RepoLock lock(repo, RepoLock::Shared);
                target = defaultRestoreId(repo);
            }
            std::vector<Manifest> chain;
            {
                RepoLock lock(repo, RepoLock::Shared);
                if (repo.has(target)) chain = repo.chain(target);
            }
            ProgressLine line("restore", chain.empty() ? 4096 : chain.front().blockSize);
            RestoreOptions ro;
            ro.force = force;
            ro.progress = line.fn();
            restoreChain(repo, target, out, ro);
            line.finish();
            if (asJson)
                std::cout << json{{"restored", target}, {"backups", chain.size()}, {"out", out}}.dump(2) << "\n";
            else
                std::cout << "restored " << target << " (" << chain.size() << " backups) to " << out << "\n";
            return 0;
        }
    } catch (const AgentError& e) {
        return fail(global, static_cast<int>(e.kind()), e.what());
    } catch (const std::exception& e) {
        return fail(global, static_cast<int>(ErrorKind::Io), e.what());
    }
    return 0;
}
