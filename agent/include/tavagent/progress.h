// A one-line progress display for terminals; silent otherwise.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "tavagent/backup.h"

namespace tav::agent {

class ProgressLine {
public:
    ProgressLine(std::string label, std::uint32_t blockSize, bool enabled = isatty(STDERR_FILENO))
        : label_(std::move(label)), blockSize_(blockSize), enabled_(enabled) {}
    ~ProgressLine() { finish(); }
    // Redrawn at most a few times a second, and once more at the end.
    void operator()(const Progress& p) {
        if (!enabled_) return;
        last_ = p;
        auto now = std::chrono::steady_clock::now();
        if (shown_ && p.done < p.total && now - drawn_ < kInterval) return;
        draw();
        drawn_ = now;
    }
    // Ends the line (showing the last state if it was held back).
    void finish() {
        if (!shown_) return;
        draw();
        std::fputc('\n', stderr);
        shown_ = false;
        enabled_ = false;
    }
    ProgressFn fn() {
        return [this](const Progress& p) { (*this)(p); };
    }

private:
    void draw() {
        const Progress& p = last_;
        double mb = static_cast<double>(p.done) * blockSize_ / 1e6;
        double rate = p.seconds > 0 ? mb / p.seconds : 0;
        double eta = (rate > 0 && p.total > p.done) ? static_cast<double>(p.total - p.done) * blockSize_ / 1e6 / rate : 0;
        std::fprintf(stderr, "\r%s: %llu/%llu blocks  %.1f MB/s  ETA %.0fs   ", label_.c_str(),
                     static_cast<unsigned long long>(p.done), static_cast<unsigned long long>(p.total), rate, eta);
        shown_ = true;
    }
    static constexpr std::chrono::milliseconds kInterval{250};
    std::string label_;
    std::uint32_t blockSize_;
    bool enabled_;
    bool shown_ = false;
    Progress last_;
    std::chrono::steady_clock::time_point drawn_;
};

}  // namespace tav::agent
