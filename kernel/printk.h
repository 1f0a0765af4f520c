// The kernel log. Every printk call is one stored line (level and text, the "<N>"
// prefix kept in the text) and is echoed to the sink (stderr unless changed).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "kernel/types.h"

#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"

int printk(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

namespace tav::kernel {
struct LogLine {
    int level;         // from the "<N>" prefix; 4 (default) when there is none
    std::string text;  // as printed, prefix included, trailing newline removed
};
std::vector<LogLine> logLines();
void clearLog();
// Lines whose text contains needle.
size_t logCount(const std::string& needle);
bool logContains(const std::string& needle);
// Lines with level <= maxLevel (e.g. 2 for critical and worse).
std::vector<LogLine> logLinesAtMost(int maxLevel);
// The echo sink; null silences the echo (lines are still stored).
void setLogSink(std::function<void(const LogLine&)> sink);
void logToStderr();
}  // namespace tav::kernel
