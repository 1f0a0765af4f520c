// Test main: keeps the kernel log quiet unless TAV_LOG=1.
#include <gtest/gtest.h>

#include <cstdlib>

#include "kernel/printk.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const char* echo = std::getenv("TAV_LOG");
    if (!echo || std::string(echo) != "1") tav::kernel::setLogSink(nullptr);
    return RUN_ALL_TESTS();
}
