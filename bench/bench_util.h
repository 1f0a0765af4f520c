// Pieces every benchmark shares: timing, the test image, and build/bench.json.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Fills path with bytes of pseudo-random data (reused when it has that size already).
// Empty on success, else what failed.
inline std::string makeImage(const std::string& path, std::uint64_t bytes) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) == bytes) return {};
    int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    if (fd < 0) return "cannot create " + path;
    std::vector<std::uint64_t> chunk((1u << 20) / 8);
    std::uint64_t x = 0x9e3779b97f4a7c15ULL;
    for (std::uint64_t off = 0; off < bytes; off += 1u << 20) {
        for (auto& w : chunk) w = (x = x * 6364136223846793005ULL + 1442695040888963407ULL);
        if (::pwrite(fd, chunk.data(), 1u << 20, static_cast<off_t>(off)) != (1 << 20)) {
            ::close(fd);
            return "short write to " + path;
        }
    }
    ::fsync(fd);
    ::close(fd);
    return {};
}

// build/bench.json is one flat object of name -> {"value": v, "target": t}; other
// benchmarks' entries are kept.
inline void mergeJson(const std::string& path, const std::vector<std::pair<std::string, std::pair<double, double>>>& mine) {
    std::map<std::string, std::string> entries;
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    for (size_t pos = 0; (pos = text.find('"', pos)) != std::string::npos;) {
        size_t keyEnd = text.find('"', pos + 1);
        size_t open = text.find('{', keyEnd), close = text.find('}', open);
        if (keyEnd == std::string::npos || open == std::string::npos || close == std::string::npos) break;
        entries[text.substr(pos + 1, keyEnd - pos - 1)] = text.substr(open, close - open + 1);
        pos = close + 1;
    }
    for (auto& [name, vt] : mine) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "{\"value\": %.4f, \"target\": %.4f}", vt.first, vt.second);
        entries[name] = buf;
    }
    std::ofstream out(path);
    out << "{\n";
    size_t i = 0;
    for (auto& [k, v] : entries) out << "  \"" << k << "\": " << v << (++i < entries.size() ? ",\n" : "\n");
    out << "}\n";
}

}  // namespace bench
