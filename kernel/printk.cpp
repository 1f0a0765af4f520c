// Kernel log: stored lines plus an echo sink.
#include <cstdarg>
#include <deque>
#include <iostream>
#include <mutex>

#include "kernel/printk.h"

namespace {

constexpr size_t kMaxLines = 200000;

struct Log {
    std::mutex lock;
    std::deque<tav::kernel::LogLine> lines;  // guarded by lock
    std::function<void(const tav::kernel::LogLine&)> sink = [](const tav::kernel::LogLine& l) {
        std::cerr << l.text << '\n';
    };  // guarded by lock
};

Log& theLog() {
    static auto* l = new Log;
    return *l;
}

void store(std::string text) {
    tav::kernel::LogLine line{4, std::move(text)};
    if (line.text.size() >= 3 && line.text[0] == '<' && line.text[2] == '>' && line.text[1] >= '0' &&
        line.text[1] <= '7')
        line.level = line.text[1] - '0';
    Log& log = theLog();
    std::lock_guard g(log.lock);
    if (log.sink) log.sink(line);
    log.lines.push_back(std::move(line));
    if (log.lines.size() > kMaxLines) log.lines.pop_front();
}

}  // namespace

int printk(const char* fmt, ...) {
    char buf[1024];  // the kernel's printk buffer size
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::string all(buf);
    size_t start = 0;
    while (start < all.size()) {
        size_t nl = all.find('\n', start);
        if (nl == std::string::npos) nl = all.size();
        store(all.substr(start, nl - start));
        start = nl + 1;
    }
    return n;
}

namespace tav::kernel {

std::vector<LogLine> logLines() {
    Log& log = theLog();
    std::lock_guard g(log.lock);
    return {log.lines.begin(), log.lines.end()};
}

void clearLog() {
    Log& log = theLog();
    std::lock_guard g(log.lock);
    log.lines.clear();
}

size_t logCount(const std::string& needle) {
    Log& log = theLog();
    std::lock_guard g(log.lock);
    size_t n = 0;
    for (const auto& l : log.lines) n += l.text.find(needle) != std::string::npos;
    return n;
}

bool logContains(const std::string& needle) { return logCount(needle) > 0; }

std::vector<LogLine> logLinesAtMost(int maxLevel) {
    std::vector<LogLine> out;
    for (auto& l : logLines())
        if (l.level <= maxLevel) out.push_back(l);
    return out;
}

void setLogSink(std::function<void(const LogLine&)> sink) {
    Log& log = theLog();
    std::lock_guard g(log.lock);
    log.sink = std::move(sink);
}

void logToStderr() {
    setLogSink([](const LogLine& l) { std::cerr << l.text << '\n'; });
}

}  // namespace tav::kernel
