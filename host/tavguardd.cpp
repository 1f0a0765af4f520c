// tavguardd: keeps the platform and the tavguard module loaded, with the disks named on
// the command line or in a JSON config file attached, and serves agents on a unix socket.
#include <fcntl.h>
#include <linux/loop.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "host/daemon.h"
#include "host/fuse_export.h"
#include "kernel/hostfs.h"
#include "tav/client.h"
#include "tav/machine.h"

namespace {

struct DiskSpec {
    std::string image;
    std::string name;
    unsigned major = 8;
    unsigned firstMinor = 0;
    unsigned minors = 16;
    bool mbr = true;
    std::vector<int> mounts = {1};  // partitions to mount (0: the whole disk)
    unsigned blockSize = 0;         // 0: from the ext2/3/4 super block
};

// "PATH[,major=N][,first-minor=N][,minors=N][,mbr=0|1][,mount=P[+P...]|none][,block-size=N]"
DiskSpec parseDisk(const std::string& arg) {
    DiskSpec d;
    std::stringstream ss(arg);
    std::string item;
    bool first = true;
    bool mountsGiven = false;
    while (std::getline(ss, item, ',')) {
        if (first) {
            d.image = item;
            first = false;
            continue;
        }
        auto eq = item.find('=');
        if (eq == std::string::npos) throw std::invalid_argument("disk option without a value: " + item);
        std::string k = item.substr(0, eq), v = item.substr(eq + 1);
        if (k == "major") d.major = static_cast<unsigned>(std::stoul(v));
        else if (k == "first-minor") d.firstMinor = static_cast<unsigned>(std::stoul(v));
        else if (k == "minors") d.minors = static_cast<unsigned>(std::stoul(v));
        else if (k == "mbr") d.mbr = v != "0" && v != "no";
        else if (k == "block-size") d.blockSize = static_cast<unsigned>(std::stoul(v));
        else if (k == "name") d.name = v;
        else if (k == "mount") {
            mountsGiven = true;
            d.mounts.clear();
            std::stringstream ms(v);
            std::string p;
            while (v != "none" && std::getline(ms, p, '+')) d.mounts.push_back(std::stoi(p));
        } else throw std::invalid_argument("unknown disk option: " + k);
    }
    if (d.image.empty()) throw std::invalid_argument("a disk needs an image file");
    if (!d.mbr && !mountsGiven) d.mounts = {0};
    return d;
}

DiskSpec diskFromJson(const nlohmann::json& j) {
    DiskSpec d;
    d.image = j.at("image").get<std::string>();
    d.name = j.value("name", "");
    d.major = j.value("major", 8u);
    d.firstMinor = j.value("firstMinor", 0u);
    d.minors = j.value("minors", 16u);
    d.mbr = j.value("mbr", true);
    d.mounts = j.value("mount", std::vector<int>{d.mbr ? 1 : 0});
    d.blockSize = j.value("blockSize", 0u);
    return d;
}

// True when path is dir or lies under it (both need not exist yet).
bool inside(const std::string& path, const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    auto p = fs::weakly_canonical(fs::absolute(path), ec).lexically_normal();
    auto d = fs::weakly_canonical(fs::absolute(dir), ec).lexically_normal();
    auto [dEnd, pIt] = std::mismatch(d.begin(), d.end(), p.begin(), p.end());
    return dEnd == d.end() || (std::next(dEnd) == d.end() && dEnd->empty());
}

// The export and what the host built on it, taken down top first: the host's mount, its
// loop device, our attachment (which thaws a freeze still held), then FUSE. A step that
// the host blocks leaves everything below it serving, and says how to finish by hand.
struct ExportStack {
    tav::host::FuseExport fuse;
    std::vector<std::pair<struct block_device*, std::string>> attached;  // bdev, export file

    void attach() {
        for (const auto& e : fuse.entries()) {
            if (tav::kernel::tavfsMountedOn(e.bdev)) continue;
            tav::kernel::HostfsOptions o;
            o.exportPath = fuse.pathOf(e);
            if (int rc = tav::kernel::hostfsAttach(e.bdev, o)) {
                printk("<4>tavguardd: %s: freezes will not reach a host mount of it: %s\n", o.exportPath.c_str(),
                       std::strerror(-rc));
                continue;
            }
            attached.emplace_back(e.bdev, o.exportPath);
        }
    }
    void detach() {
        for (auto& [bdev, path] : attached) tav::kernel::hostfsDetach(bdev);
        attached.clear();
    }
    // true when the whole stack is down.
    bool takeDown() {
        for (auto& [bdev, path] : attached) {
            std::string mnt = tav::kernel::hostfsMountPoint(bdev), loop = tav::kernel::hostfsLoopDevice(bdev);
            if (!mnt.empty()) {
                if (::umount2(mnt.c_str(), 0) != 0) {
                    int e = errno;
                    printk("<4>tavguardd: not stopping: the host's %s (on %s over %s) cannot be unmounted: %s; stop "
                           "its users, run `umount %s && losetup -d %s` (or scripts/tavstack down), then stop again\n",
                           mnt.c_str(), loop.empty() ? "a loop device" : loop.c_str(), path.c_str(), std::strerror(e),
                           mnt.c_str(), loop.empty() ? "<loop>" : loop.c_str());
                    return false;
                }
                printk("<6>tavguardd: unmounted the host's %s\n", mnt.c_str());
            }
            if (!loop.empty()) {
                int fd = ::open(loop.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0 || ::ioctl(fd, LOOP_CLR_FD, 0) != 0)
                    printk("<4>tavguardd: cannot detach %s from %s: %s\n", loop.c_str(), path.c_str(), std::strerror(errno));
                else
                    printk("<6>tavguardd: detached %s from %s\n", loop.c_str(), path.c_str());
                if (fd >= 0) ::close(fd);
            }
        }
        auto keep = attached;
        detach();
        std::string msg;
        // A loop device lets go of its file when its last opener has gone; give it a moment.
        for (int i = 0; i < 40; ++i) {
            if (fuse.unmount(false, &msg) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        printk("<4>tavguardd: not stopping: %s; find its users with `fuser -vm %s` or `losetup -j FILE`, then stop "
               "again\n", msg.c_str(), fuse.mountPoint().c_str());
        attach();
        return false;
    }
};

const char* levelName(int level) {
    static const char* names[] = {"emerg", "alert", "crit", "err", "warn", "notice", "info", "debug"};
    return level >= 0 && level <= 7 ? names[level] : "warn";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tavguardd: hosts the tavguard module and serves backup agents on a unix socket"};
    std::string socketPath = tav::client::defaultSocketPath();
    std::string config, logPath, exportDir;
    std::vector<std::string> diskArgs;
    app.add_option("--socket", socketPath, "unix socket to serve (mode 0600)")->capture_default_str();
    app.add_option("--disk", diskArgs,
                   "disk image to attach: PATH[,major=8][,first-minor=0][,minors=16][,mbr=1][,mount=1|none][,block-size=N]");
    app.add_option("--config", config, "JSON file: {\"socket\", \"log\", \"export\", \"disks\": [{\"image\", \"major\", "
                                       "\"firstMinor\", \"minors\", \"mbr\", \"mount\": [1], \"blockSize\"}]}");
    app.add_option("--log", logPath, "append the kernel log to this file instead of stderr");
    app.add_option("--export", exportDir,
                   tav::host::FuseExport::available()
                       ? "export every disk and partition as a file in this directory (FUSE; created when "
                         "missing, must be empty), for the host's loop devices"
                       : "(unavailable: this build has no libfuse3)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }

    std::vector<DiskSpec> disks;
    try {
        if (!config.empty()) {
            std::ifstream in(config);
            if (!in) throw std::invalid_argument("cannot read " + config);
            nlohmann::json j = nlohmann::json::parse(in);
            if (j.contains("socket") && app.count("--socket") == 0) socketPath = j["socket"].get<std::string>();
            if (j.contains("log") && logPath.empty()) logPath = j["log"].get<std::string>();
            if (j.contains("export") && exportDir.empty()) exportDir = j["export"].get<std::string>();
            for (const auto& d : j.value("disks", nlohmann::json::array())) disks.push_back(diskFromJson(d));
        }
        for (const auto& a : diskArgs) disks.push_back(parseDisk(a));
        if (!exportDir.empty()) {
            if (!tav::host::FuseExport::available())
                throw std::invalid_argument("--export is unavailable: this build has no libfuse3");
            // The daemon never writes into a file system it serves.
            if (!logPath.empty() && inside(logPath, exportDir))
                throw std::invalid_argument("the log " + logPath + " lies inside the export " + exportDir);
            if (inside(socketPath, exportDir))
                throw std::invalid_argument("the socket " + socketPath + " lies inside the export " + exportDir);
            for (const DiskSpec& d : disks)
                if (inside(d.image, exportDir))
                    throw std::invalid_argument("the image " + d.image + " lies inside the export " + exportDir);
        }
    } catch (const std::exception& e) {
        std::cerr << "tavguardd: " << e.what() << "\n";
        return 2;
    }
    // The host's reclaim may wait on writes we serve; our allocations must not wait on it
    // in turn. Every thread started from here on inherits it. Root only.
    if (!exportDir.empty()) ::prctl(PR_SET_IO_FLUSHER, 1, 0, 0, 0);

    // Signals are taken by one thread with sigwait; every other thread blocks them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    FILE* log = stderr;
    if (!logPath.empty()) {
        log = std::fopen(logPath.c_str(), "a");
        if (!log) {
            std::cerr << "tavguardd: cannot open " << logPath << ": " << std::strerror(errno) << "\n";
            return 1;
        }
        setvbuf(log, nullptr, _IOLBF, 0);
    }
    auto started = std::chrono::steady_clock::now();
    tav::kernel::setLogSink([log, started](const tav::kernel::LogLine& l) {
        double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const char* text = l.text.c_str();
        if (text[0] == '<' && text[1] && text[2] == '>') text += 3;
        std::fprintf(log, "[%12.6f] %-6s %s\n", t, levelName(l.level), text);
    });

    tav::host::Server server;
    std::string message;
    if (server.listen(socketPath, &message) != 0) {
        std::cerr << "tavguardd: " << message << "\n";
        return 1;
    }

    tav::Machine machine;
    if (int rc = machine.loadModule()) {
        std::cerr << "tavguardd: loading the module failed: " << std::strerror(-rc) << "\n";
        return 1;
    }
    for (const DiskSpec& d : disks) {
        tav::DiskConfig cfg;
        cfg.name = d.name.empty() ? "td" + std::string(1, static_cast<char>('a' + machine.disks().size())) : d.name;
        cfg.major = d.major;
        cfg.firstMinor = d.firstMinor;
        cfg.minors = d.minors;
        cfg.backing = tav::Backing::File;
        cfg.path = d.image;
        cfg.readMbr = d.mbr;
        int error = 0;
        tav::Disk* disk = machine.addDisk(cfg, &error);
        if (!disk) {
            std::cerr << "tavguardd: cannot attach " << d.image << ": " << std::strerror(-error) << "\n";
            return 1;
        }
        for (int part : d.mounts) {
            tav::MountOptions mo;
            mo.blockSize = d.blockSize;
            if (!machine.mount(disk, part, mo, &error)) {
                std::cerr << "tavguardd: cannot mount partition " << part << " of " << d.image << ": "
                          << std::strerror(-error) << (d.blockSize ? "" : " (no ext2/3/4 file system? give block-size=)")
                          << "\n";
                return 1;
            }
        }
        printk("<6>tavguardd: %s attached as %s, device %u:%u\n", d.image.c_str(), cfg.name.c_str(), d.major,
               d.firstMinor);
    }
    std::unique_ptr<ExportStack> exported;
    if (!exportDir.empty()) {
        exported = std::make_unique<ExportStack>();
        for (std::size_t i = 0; i < disks.size(); ++i) exported->fuse.addDisk(machine.disks()[i].get(), disks[i].image);
        if (exported->fuse.mount(exportDir, &message) != 0) {
            std::cerr << "tavguardd: cannot export at " << exportDir << ": " << message << "\n";
            return 1;
        }
        exported->attach();
        printk("<6>tavguardd: export up at %s\n", exported->fuse.mountPoint().c_str());
    }
    printk("<6>tavguardd: serving %s (mode 0600)\n", socketPath.c_str());

    std::atomic<bool> served{false};
    std::thread signals([&] {
        for (;;) {
            int sig = 0;
            sigwait(&stopSignals, &sig);
            if (served.load()) return;
            printk("<6>tavguardd: %s, stopping\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
            if (exported && !exported->takeDown()) continue;  // it said why; still serving
            if (exported) printk("<6>tavguardd: export down\n");
            server.stop();
            return;
        }
    });
    server.serve();
    served.store(true);
    if (signals.joinable()) {
        pthread_kill(signals.native_handle(), SIGTERM);  // wakes sigwait when serve ended otherwise
        signals.join();
    }
    if (exported) {  // down already, unless serving ended some other way
        exported->detach();
        exported->fuse.unmount(true);
        exported.reset();
    }
    machine.shutdown();  // module unloaded, file systems written back, disks closed
    for (const DiskSpec& d : disks) {  // and what they wrote on stable storage
        int fd = ::open(d.image.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && ::fsync(fd) != 0) printk("<3>tavguardd: fsync %s failed: %s\n", d.image.c_str(), std::strerror(errno));
        if (fd >= 0) ::close(fd);
    }
    printk("<6>tavguardd: stopped\n");
    tav::kernel::setLogSink(nullptr);
    if (log != stderr) std::fclose(log);
    return 0;
}
