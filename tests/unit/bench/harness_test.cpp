// The benchmark harness's arithmetic, its round order and its JSON file.
#include "bench/harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using bench::Better;
using bench::Figure;

TEST(BenchHarnessTest, FigureStatistics) {
    struct Case {
        std::vector<double> values;
        double median, min, max;
        bool noisy;
    };
    const Case cases[] = {
        {{0.8}, 0.8, 0.8, 0.8, false},
        {{0.9, 0.4, 0.7}, 0.7, 0.4, 0.9, true},
        {{4, 1, 3, 2}, 2.5, 1, 4, true},          // even count: mean of the middle two
        {{1.0, 1.3, 1.1}, 1.1, 1.0, 1.3, false},  // exactly 1.3 is not yet noisy
        {{1.0, 1.31, 1.1}, 1.1, 1.0, 1.31, true},
        {{0, 0, 0}, 0, 0, 0, false},       // all rounds agree
        {{0, 0.01, 0}, 0, 0, 0.01, true},  // no ratio to a zero round
    };
    for (const Case& c : cases) {
        Figure f{"f", 1, Better::Higher, c.values};
        SCOPED_TRACE(bench::formatValues(c.values));
        EXPECT_DOUBLE_EQ(f.median(), c.median);
        EXPECT_DOUBLE_EQ(f.min(), c.min);
        EXPECT_DOUBLE_EQ(f.max(), c.max);
        EXPECT_EQ(f.noisy(), c.noisy);
    }
}

TEST(BenchHarnessTest, TargetIsMetByTheMedianInTheFigureDirection) {
    // The median decides, not the best or the worst round.
    EXPECT_TRUE((Figure{"r", 0.75, Better::Higher, {0.2, 0.75, 0.9}}.ok()));
    EXPECT_FALSE((Figure{"r", 0.75, Better::Higher, {0.74, 0.7, 2.0}}.ok()));
    EXPECT_TRUE((Figure{"t", 10, Better::Lower, {10, 50, 1}}.ok()));
    EXPECT_FALSE((Figure{"t", 10, Better::Lower, {11, 1, 12}}.ok()));
    EXPECT_FALSE((Figure{"none", 1, Better::Lower, {}}.ok()));  // nothing measured meets nothing
    // A subject faster than its in-memory baseline points at the measurement.
    Figure beyond{"r", 0.75, Better::Higher, {1.2, 1.1, 0.9}, bench::kInMemoryLimit};
    EXPECT_TRUE(beyond.beyondLimit());
    EXPECT_FALSE(beyond.ok());
    Figure within{"r", 0.75, Better::Higher, {1.2, 1.04, 0.9}, bench::kInMemoryLimit};
    EXPECT_FALSE(within.beyondLimit());
    EXPECT_TRUE(within.ok());
}

TEST(BenchHarnessTest, RoundsInterleaveWithTheirPreconditionBeforeEachSide) {
    std::string trace;
    double t = 0;
    auto pairs = bench::runPaired(
        3,
        [&] {
            trace += "B";
            return t += 1;
        },
        [&] {
            trace += "S";
            return t += 10;
        },
        [&](bool baselineSide) { trace += baselineSide ? "b" : "s"; });
    EXPECT_EQ(trace, "bBsSbBsSbBsS");
    ASSERT_EQ(pairs.size(), 3u);
    EXPECT_DOUBLE_EQ(pairs[1].baseline, 12);
    EXPECT_DOUBLE_EQ(pairs[1].subject, 22);
    std::vector<bench::Pair> p = {{2, 4}, {3, 1}, {1, 0}};
    EXPECT_EQ(bench::speedRatios(p), (std::vector<double>{0.5, 3, 0}));
    EXPECT_EQ(bench::costRatios(p), (std::vector<double>{2, 1.0 / 3, 0}));
}

TEST(BenchHarnessTest, MinOfRepeatsRunsEachRepeatAndKeepsTheShortest) {
    struct Case {
        std::vector<double> runs;
        int repeats;
        double least;
    };
    const Case cases[] = {{{5}, 1, 5}, {{3, 1, 2}, 3, 1}, {{1, 9, 9}, 3, 1}, {{9, 9, 2}, 3, 2}};
    for (const Case& c : cases) {
        size_t calls = 0;
        double got = bench::minOfRepeats(c.repeats, [&] { return c.runs[calls++]; });
        EXPECT_EQ(got, c.least);
        EXPECT_EQ(calls, c.runs.size()) << "not every repeat ran";
    }
}

TEST(BenchHarnessTest, ArgumentsTakeRoundsAnywhereAndRefuseBadCounts) {
    auto parse = [](std::vector<std::string> args) {
        std::vector<char*> argv;
        args.insert(args.begin(), "bench");
        for (auto& a : args) argv.push_back(a.data());
        return bench::parseArgs(static_cast<int>(argv.size()), argv.data(), "default.img");
    };
    auto o = parse({});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->rounds, bench::kDefaultRounds);
    EXPECT_EQ(o->json, "bench.json");
    EXPECT_EQ(o->image, "default.img");
    o = parse({"out.json", "--rounds", "3", "x.img"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->rounds, 3);
    EXPECT_EQ(o->json, "out.json");
    EXPECT_EQ(o->image, "x.img");
    EXPECT_EQ(parse({"--rounds=11"})->rounds, 11);
    for (auto bad : {std::vector<std::string>{"--rounds", "0"},
                     {"--rounds", "2x"},
                     {"--rounds="},
                     {"--round", "3"},
                     {"a", "b", "c"},
                     {"--rounds"}})
        EXPECT_FALSE(parse(bad)) << bad[0];
}

class BenchJsonTest : public ::testing::Test {
protected:
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("bench-harness-test-" + std::to_string(::getpid()) + ".json");
    void TearDown() override { std::filesystem::remove(path); }
    nlohmann::json read() {
        std::ifstream in(path);
        return nlohmann::json::parse(in);
    }
};

TEST_F(BenchJsonTest, MergesFiguresAndKeepsOtherBenchmarksEntries) {
    { std::ofstream(path) << R"({"other": {"median": 2}, "mine": {"median": 9}})"; }
    bench::Report r("test", path.string());
    testing::internal::CaptureStdout();
    r.add({"mine", 0.5, Better::Higher, {0.4, 0.6, 0.7}});
    r.add({"late_ms", 1, Better::Lower, {3, 1, 2}});
    std::string out = testing::internal::GetCapturedStdout();
    // A busy host adds its steal before the verdict.
    auto has = [&out](const std::string& head, const std::string& verdict) {
        size_t at = out.find(head);
        if (at == std::string::npos) return false;
        std::string rest = out.substr(at + head.size(), out.find('\n', at) - at - head.size());
        if (rest.rfind(" steal ", 0) == 0) rest = rest.substr(rest.find('%') + 1);
        return rest == verdict;
    };
    EXPECT_TRUE(has("bench mine 0.6 target 0.5 min 0.4 max 0.7 rounds 3 noisy", " ok")) << out;
    EXPECT_TRUE(has("bench late_ms 2 target 1 min 1 max 3 rounds 3 noisy", " miss")) << out;
    EXPECT_NE(r.exitCode(), 0);
    r.writeJson();
    nlohmann::json j = read();
    EXPECT_EQ(j["other"]["median"], 2);
    EXPECT_DOUBLE_EQ(j["mine"]["median"].get<double>(), 0.6);
    EXPECT_DOUBLE_EQ(j["mine"]["min"].get<double>(), 0.4);
    EXPECT_DOUBLE_EQ(j["mine"]["max"].get<double>(), 0.7);
    EXPECT_EQ(j["mine"]["rounds"], 3);
    EXPECT_DOUBLE_EQ(j["mine"]["target"].get<double>(), 0.5);
    EXPECT_EQ(j["mine"]["noisy"], true);
    EXPECT_EQ(j["late_ms"]["better"], "lower");
    EXPECT_EQ(j["late_ms"]["ok"], false);
    double steal = j["mine"]["host_steal"].get<double>();
    EXPECT_GE(steal, 0);
    EXPECT_LE(steal, 1);
}

TEST(BenchHarnessTest, StealIsTheStolenShareOfBusyTime) {
    struct Case {
        bench::CpuTimes a, b;
        double share;
    } cases[] = {
        {{10, 100}, {20, 200}, 0.1},
        {{10, 100}, {10, 300}, 0},
        {{10, 100}, {10, 100}, 0},  // nothing counted between them
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(bench::stealShare(c.a, c.b), c.share);
    bench::CpuTimes now = bench::cpuTimes();
    EXPECT_GT(now.busy, 0u) << "/proc/stat unread";
    EXPECT_LE(now.steal, now.busy);
}

TEST_F(BenchJsonTest, AnUnreadableFileStartsAfresh) {
    { std::ofstream(path) << "{ not json"; }
    bench::Report r("test", path.string());
    testing::internal::CaptureStdout();
    r.add({"x", 1, Better::Higher, {1}});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(r.exitCode(), 0);
    r.writeJson();
    EXPECT_EQ(read().size(), 1u);
}

TEST(BenchCacheTest, DropAndWarmChangeResidency) {
    // tmpfs (a usual /tmp) cannot drop its pages: the working directory is the build tree.
    auto path = std::filesystem::current_path() / ("bench-cache-test-" + std::to_string(::getpid()));
    ASSERT_EQ(bench::makeImage(path.string(), 4u << 20), "");
    bench::CacheGuard g{path.string(), "test"};
    if (!g.dropCache()) {
        std::filesystem::remove(path);
        GTEST_SKIP() << "this file system keeps pages resident after POSIX_FADV_DONTNEED";
    }
    EXPECT_LT(bench::residentFraction(path.string()), 0.01);
    EXPECT_TRUE(g.ensureWarm());
    EXPECT_EQ(g.rewarmed, 1);
    EXPECT_DOUBLE_EQ(bench::residentFraction(path.string()), 1.0);
    EXPECT_TRUE(g.ensureWarm());  // already resident: nothing to do
    EXPECT_EQ(g.rewarmed, 1);
    for (bench::Layout layout : {bench::Layout::ReadAhead, bench::Layout::Pages}) {
        bench::CacheGuard s{path.string(), "test", layout};
        ASSERT_TRUE(s.dropCache());
        EXPECT_TRUE(s.settle());
        EXPECT_DOUBLE_EQ(bench::residentFraction(path.string()), 1.0);
    }
    std::filesystem::remove(path);
    EXPECT_LT(bench::residentFraction(path.string()), 0);
}

}  // namespace
