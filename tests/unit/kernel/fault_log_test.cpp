// The fault plan's rule shapes, counters, and the kernel log.
#include "kernel/fault.h"
#include "kernel/printk.h"
#include "tests/support/checks.h"

namespace {

using tav::fault::Site;

class FaultPlanTest : public tav::test::PlatformTest {};

std::string pattern(Site site, int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += tav::fault::shouldFail(site) ? 'F' : '.';
    return s;
}

TEST_F(FaultPlanTest, NthTimesAndAllFromNow) {
    EXPECT_EQ(pattern(Site::BioAlloc, 5), ".....") << "no rule must mean no failure";
    tav::fault::Rule r = tav::fault::failNth(Site::BioAlloc, 3);
    r.times = 2;
    int id = tav::fault::add(r);
    EXPECT_EQ(pattern(Site::BioAlloc, 6), "..FF..");
    EXPECT_EQ(pattern(Site::Kmalloc, 3), "...") << "a rule leaked onto another site";
    tav::fault::remove(id);
    tav::fault::add(tav::fault::failAllFromNow(Site::BioAlloc));
    EXPECT_EQ(pattern(Site::BioAlloc, 3), "FFF");
    EXPECT_EQ(tav::fault::fired(Site::BioAlloc), 5);
}

TEST_F(FaultPlanTest, ProbabilityIsSeededAndRepeatable) {
    tav::fault::add(tav::fault::failWithProbability(Site::Kmalloc, 0.3, 42));
    std::string first = pattern(Site::Kmalloc, 200);
    tav::fault::clear();
    tav::fault::add(tav::fault::failWithProbability(Site::Kmalloc, 0.3, 42));
    EXPECT_EQ(pattern(Site::Kmalloc, 200), first);
    long fails = std::count(first.begin(), first.end(), 'F');
    EXPECT_GT(fails, 30);
    EXPECT_LT(fails, 90);
}

TEST_F(FaultPlanTest, RangesAndNamesNarrowARule) {
    tav::fault::Rule r = tav::fault::failAllFromNow(Site::DiskRead);
    r.first = 100;
    r.last = 107;
    r.name = "fd0";
    tav::fault::add(r);
    EXPECT_FALSE(tav::fault::shouldFail(Site::DiskRead, "fd0", 92, 99));
    EXPECT_TRUE(tav::fault::shouldFail(Site::DiskRead, "fd0", 96, 103));
    EXPECT_FALSE(tav::fault::shouldFail(Site::DiskRead, "rd0", 100, 107));
    EXPECT_FALSE(tav::fault::shouldFail(Site::DiskRead, "fd0", 108, 200));
}

TEST_F(FaultPlanTest, CountingModeCountsCallsForSweeps) {
    tav::fault::setCounting(true);
    pattern(Site::AllocBufferHead, 7);
    EXPECT_EQ(tav::fault::calls(Site::AllocBufferHead), 7);
    tav::fault::clear();
    pattern(Site::AllocBufferHead, 7);
    EXPECT_EQ(tav::fault::calls(Site::AllocBufferHead), 0);
}

TEST_F(FaultPlanTest, ARuleCountsTheCallsItMatchesFailedOrNot) {
    tav::fault::Rule count = tav::fault::failNth(Site::SlabAlloc, 1);
    count.times = 0;
    count.name = "tavCP";
    int counter = tav::fault::add(count);
    tav::fault::Rule fail = tav::fault::failNth(Site::SlabAlloc, 2);
    fail.name = "tavCP";
    int failing = tav::fault::add(fail);
    std::string seen;
    for (const char* name : {"tavCP0811", "tavDC0811", "tavCP0811", "tavCP0811"})
        seen += tav::fault::shouldFail(Site::SlabAlloc, name) ? 'F' : '.';
    EXPECT_EQ(seen, "..F.") << "a counting rule must never fail a call";
    EXPECT_EQ(tav::fault::matched(counter), 3);
    EXPECT_EQ(tav::fault::matched(failing), 3);
    tav::fault::remove(counter);
    EXPECT_EQ(tav::fault::matched(counter), -1);
}

TEST_F(FaultPlanTest, PrintkKeepsLevelAndPrefix) {
    printk("<3>%s: ioctl command not found%s", "tavIOCTL", "\n");
    printk("no level given\n");
    auto lines = tav::kernel::logLines();
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].text, "<3>tavIOCTL: ioctl command not found");
    EXPECT_EQ(lines[1].level, 4);
    std::vector<std::string> echoed;
    tav::kernel::setLogSink([&](const tav::kernel::LogLine& l) { echoed.push_back(l.text); });
    printk("<6>%s: a%s", "f", "\n");
    tav::kernel::setLogSink(nullptr);
    EXPECT_EQ(echoed, (std::vector<std::string>{"<6>f: a"}));
    EXPECT_EQ(tav::kernel::logCount("<6>f: a"), 1U);
}

}  // namespace
