// tavguardd: keeps the platform and the tavguard module loaded, with the disks named on
// the command line or in a JSON config file attached, and serves agents on a unix socket.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "host/daemon.h"
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

const char* levelName(int level) {
    static const char* names[] = {"emerg", "alert", "crit", "err", "warn", "notice", "info", "debug"};
    return level >= 0 && level <= 7 ? names[level] : "warn";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tavguardd: hosts the tavguard module and serves backup agents on a unix socket"};
    std::string socketPath = tav::client::defaultSocketPath();
    std::string config, logPath;
    std::vector<std::string> diskArgs;
    app.add_option("--socket", socketPath, "unix socket to serve (mode 0600)")->capture_default_str();
    app.add_option("--disk", diskArgs,
                   "disk image to attach: PATH[,major=8][,first-minor=0][,minors=16][,mbr=1][,mount=1|none][,block-size=N]");
    app.add_option("--config", config, "JSON file: {\"socket\", \"log\", \"disks\": [{\"image\", \"major\", "
                                       "\"firstMinor\", \"minors\", \"mbr\", \"mount\": [1], \"blockSize\"}]}");
    app.add_option("--log", logPath, "append the kernel log to this file instead of stderr");
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
            for (const auto& d : j.value("disks", nlohmann::json::array())) disks.push_back(diskFromJson(d));
        }
        for (const auto& a : diskArgs) disks.push_back(parseDisk(a));
    } catch (const std::exception& e) {
        std::cerr << "tavguardd: " << e.what() << "\n";
        return 2;
    }

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
    printk("<6>tavguardd: serving %s (mode 0600)\n", socketPath.c_str());

    std::thread signals([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        printk("<6>tavguardd: %s, stopping\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
        server.stop();
    });
    server.serve();
    if (signals.joinable()) {
        pthread_kill(signals.native_handle(), SIGTERM);  // wakes sigwait when serve ended otherwise
        signals.join();
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
