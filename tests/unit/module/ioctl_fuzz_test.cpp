// Seeded random ioctls against the control device: command numbers from the table, near
// it and anywhere; argument records of random bytes whose pointers are valid, null,
// unmapped, the platform's own memory or far off; mmap and munmap of transfer buffers and
// writes to the disk in between; two threads on one file, then on a file each, with an
// agent's next step mixed in so that every state is reached. Every result must be one the
// commands may give; after each close nothing of the backup is left, and the fixture
// checks the leak counters and the log for critical lines at the end.
#include <sys/mman.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "tests/unit/module/start_fixture.h"

namespace {

// The sanitizer builds run a sample, too short to be sure of reaching every state.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kEpisodes = 4, kOpsPerThread = 300;
constexpr bool kExpectEveryState = false;
#else
constexpr int kEpisodes = 10, kOpsPerThread = 1500;
constexpr bool kExpectEveryState = true;
#endif
constexpr std::uint64_t kSeed = 0x7a5e11;
constexpr unsigned kBadBlock = 100;

const unsigned kCommands[] = {
    TAV_GET_BLOCK_SIZE, TAV_START_BACKUP,      TAV_SNAPSHOT,          TAV_GET_STATE,         TAV_GET_AUTOMAP_STATE,
    TAV_NO_LOAD_FROM_AUTOMAP, TAV_NO_START_AUTOMAP, TAV_LOAD_BLOCK_MAP, TAV_GET_AUTOMAP,     TAV_GET_DIRTY_BLOCK,
    TAV_READ_BLOCKS,    TAV_GET_VERSION_MAJOR, TAV_GET_VERSION_MINOR, TAV_SYNC,              TAV_UNLOAD,
    TAV_RESERVED,
};
bool inTable(unsigned cmd) {
    for (unsigned c : kCommands)
        if (c == cmd) return true;
    return false;
}

// Pointers the fuzzer hands the module. Every buffer a command may write is large enough
// for the largest write it can make there, so no result depends on luck.
struct Memory {
    static constexpr size_t kScratch = 512 * 1024;  // > any change map of at most 2^21 bits
    std::vector<std::uint8_t> scratch = std::vector<std::uint8_t>(kScratch);
    // Inaccessible for as long as the test runs: a range merely released could be taken by
    // the next mmap of anyone (the sanitizer's own allocator among them), and a copy that
    // succeeds there writes into someone else's memory.
    void* unmapped = nullptr;
    struct page* page = nullptr;  // platform memory: a page of the test's own
    void* kmem = nullptr;         // and a kmalloc block of the test's own
    Memory() {
        unmapped = ::mmap(nullptr, 4 * PAGE_SIZE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        page = alloc_page(GFP_KERNEL);
        kmem = kmalloc(PAGE_SIZE, GFP_KERNEL);
    }
    ~Memory() {
        ::munmap(unmapped, 4 * PAGE_SIZE);
        __free_page(page);
        kfree(kmem);
    }
};

struct Tally {
    std::mutex lock;
    long iterations = 0;           // guarded by lock
    std::map<int, long> byResult;  // guarded by lock
    std::set<unsigned> states;     // guarded by lock
};

class IoctlFuzzTest : public tav::test::BackupTest {
protected:
    // One thread's run of ops on *fdp; with reopen, it closes the file now and then and
    // starts over on a new one. area is the thread's transfer buffer, if mapped.
    void run(int* fdp, bool reopen, std::uint64_t seed, Memory& mem, Tally& tally) {
        int& fd = *fdp;
        std::mt19937_64 rng(seed);
        std::map<int, long> results;
        std::set<unsigned> states;
        unsigned char* area = nullptr;
        size_t areaBytes = 0;
        AMSessionKey key{};
        int step = 0;  // the agent's next step
        auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
        auto chance = [&](unsigned percent) { return pick(100) < percent; };

        auto pointer = [&](size_t need) -> std::uint64_t {
            switch (pick(10)) {
                case 0: return 0;
                case 1: return reinterpret_cast<std::uint64_t>(mem.unmapped);
                case 2: return need <= 128 ? reinterpret_cast<std::uint64_t>(page_address(mem.page)) : 0;
                case 3: return need <= 128 ? reinterpret_cast<std::uint64_t>(mem.kmem) : 0;
                case 4: return 0xdead000000000000ull | (rng() & 0xffffffffffull);  // not canonical
                case 5: return area ? reinterpret_cast<std::uint64_t>(area) : pick(0x10000);  // read-only, or low
                default: {
                    size_t off = need >= Memory::kScratch ? 0 : pick(static_cast<unsigned>(Memory::kScratch - need));
                    return reinterpret_cast<std::uint64_t>(mem.scratch.data() + (off & ~size_t{7}));
                }
            }
        };
        auto blocks = [&]() -> unsigned {
            switch (pick(6)) {
                case 0: return 0;
                case 1: return fsBlocks();
                case 2: return fsBlocks() + pick(3) - 1;
                case 3: return 0xffffffffu;
                default: return pick(1u << 21);
            }
        };

        for (int op = 0; op < kOpsPerThread; op++) {
            // Buffers, files and disk traffic between the commands.
            unsigned what = pick(100);
            if (reopen && what == 99) {
                if (area) tav::sys::munmap(area, areaBytes);
                area = nullptr;
                EXPECT_EQ(tav::sys::close(fd), 0);
                fd = openDevice();
                step = 0;
                continue;
            }
            if (what < 4) {
                if (area) tav::sys::munmap(area, areaBytes);
                area = nullptr;
                State s{};
                GetState g{&s, sizeof s};
                if (tav::sys::ioctl(fd, TAV_GET_STATE, &g) == 0 && s.mmapSize > 0) {
                    areaBytes = static_cast<size_t>(s.mmapSize) / (chance(50) ? 1 : 2);
                    void* p = tav::sys::mmap(fd, areaBytes, PROT_READ, MAP_PRIVATE, 0);
                    if (p != MAP_FAILED) area = static_cast<unsigned char*>(p);
                }
                continue;
            }
            if (what < 10) {
                submit(1, chance(5) ? kBadBlock : pick(fsBlocks() - 4), 1 + pick(4), static_cast<std::uint8_t>(op));
                continue;
            }

            unsigned cmd;
            alignas(8) std::uint8_t rec[32];
            for (auto& c : rec) c = static_cast<std::uint8_t>(rng());
            auto put32 = [&](size_t off, unsigned v) { memcpy(rec + off, &v, 4); };
            auto put64 = [&](size_t off, std::uint64_t v) { memcpy(rec + off, &v, 8); };
            alignas(8) std::uint8_t ubm[16];
            for (auto& c : ubm) c = static_cast<std::uint8_t>(rng());
            bool agent = chance(40);
            if (agent) {
                const unsigned order[] = {TAV_START_BACKUP, TAV_GET_AUTOMAP_STATE, TAV_SNAPSHOT, TAV_GET_AUTOMAP,
                                          TAV_LOAD_BLOCK_MAP, TAV_READ_BLOCKS, TAV_GET_DIRTY_BLOCK, TAV_READ_BLOCKS};
                cmd = order[step++ % 8];
            } else {
                switch (pick(3)) {
                    case 0: cmd = kCommands[pick(16)]; break;
                    case 1: {
                        cmd = kCommands[pick(16)];
                        switch (pick(5)) {
                            case 0: cmd ^= 1u << pick(32); break;
                            case 1: cmd = (cmd & 0xffffff00u) | 11u; break;
                            case 2: cmd = (cmd & 0xffffff00u) | (17u + pick(239)); break;
                            case 3: cmd = (cmd & 0x3fffffffu) | (pick(4) << 30); break;
                            default: cmd = (cmd & 0xc000ffffu) | (pick(0x3fff) << 16); break;
                        }
                        break;
                    }
                    default: cmd = static_cast<unsigned>(rng()); break;
                }
            }

            unsigned bs = bs_;
            if (cmd == TAV_GET_BLOCK_SIZE || cmd == TAV_START_BACKUP) {
                if (agent || chance(60)) {
                    put32(0, kMajor);
                    put32(4, kFirstMinor + (chance(80) ? 1 : pick(4)));
                }
            }
            if (cmd == TAV_GET_BLOCK_SIZE) {
                put64(8, pointer(16));
                if (chance(50)) put32(16, pick(40));
            } else if (cmd == TAV_START_BACKUP) {
                put32(8, agent ? (chance(5) ? 0 : fsBlocks()) : blocks());
                unsigned cacheLimit = chance(30) ? 1 + pick(3) : 100000;
                put32(12, agent ? cacheLimit : (chance(50) ? pick(6) : static_cast<unsigned>(rng())));
            } else if (cmd == TAV_SNAPSHOT) {
                if (agent) {
                    memcpy(mem.scratch.data(), &key, sizeof key);  // read only, races are harmless
                    put64(0, reinterpret_cast<std::uint64_t>(mem.scratch.data()));
                    put32(8, AMS_KEY_LEN);
                } else {
                    put64(0, pointer(AMS_KEY_LEN));
                    if (chance(60)) put32(8, pick(120));
                }
            } else if (cmd == TAV_GET_STATE || cmd == TAV_GET_AUTOMAP_STATE || cmd == TAV_GET_DIRTY_BLOCK) {
                put64(0, agent ? reinterpret_cast<std::uint64_t>(mem.scratch.data() + 8192) : pointer(76));
                if (agent || chance(60)) put32(8, agent ? 76 : pick(100));
            } else if (cmd == TAV_LOAD_BLOCK_MAP || cmd == TAV_GET_AUTOMAP) {
                unsigned mapLen = agent || chance(40) ? fsBlocks() : blocks();
                std::uint64_t bits = pointer(Memory::kScratch);
                if (agent) bits = reinterpret_cast<std::uint64_t>(mem.scratch.data());
                if (cmd == TAV_LOAD_BLOCK_MAP && bits == reinterpret_cast<std::uint64_t>(mem.scratch.data()) && agent)
                    memset(mem.scratch.data() + 4096, 0xff, (fsBlocks() + 7) / 8);
                memcpy(ubm, &bits, 8);
                memcpy(ubm + 8, &mapLen, 4);
                put64(0, chance(85) ? reinterpret_cast<std::uint64_t>(ubm) : pointer(16));
            } else if (cmd == TAV_READ_BLOCKS) {
                unsigned perArea = area ? static_cast<unsigned>(areaBytes / bs) : 1;
                unsigned start = chance(70) ? pick(fsBlocks()) : static_cast<unsigned>(rng());
                if (chance(15)) start = kBadBlock - pick(std::min(perArea, kBadBlock));
                unsigned count = chance(70) ? pick(perArea + 1) : static_cast<unsigned>(rng());
                if (agent && start + count > fsBlocks()) start = 0;
                put32(0, start);
                put32(4, count);
                put64(8, area && (agent || chance(70)) ? reinterpret_cast<std::uint64_t>(area + (chance(90) ? 0 : PAGE_SIZE))
                                                       : pointer(PAGE_SIZE));
            }
            std::uint64_t arg = reinterpret_cast<std::uint64_t>(rec);
            if (cmd == TAV_GET_VERSION_MAJOR || cmd == TAV_GET_VERSION_MINOR) arg = pointer(4);
            else if (!agent && chance(8)) arg = pointer(32);

            int rc = tav::sys::ioctl(fd, cmd, static_cast<unsigned long>(arg));
            results[rc]++;
            bool allowed = (rc >= 0 && rc <= 12 && rc != 10) || (cmd == TAV_GET_DIRTY_BLOCK && rc == -EFAULT) ||
                           (cmd == TAV_START_BACKUP && rc < 0);
            EXPECT_TRUE(allowed) << std::hex << "command 0x" << cmd << std::dec << " gave " << rc;
            if (!inTable(cmd)) {
                EXPECT_EQ(rc, TAV_ERR_BAD_COMMAND) << std::hex << "command 0x" << cmd;
            }
            if (cmd == TAV_GET_AUTOMAP_STATE && rc == 0 && arg == reinterpret_cast<std::uint64_t>(rec)) {
                std::uint64_t to;
                memcpy(&to, rec, 8);
                unsigned len;
                memcpy(&len, rec + 8, 4);
                if (to >= reinterpret_cast<std::uint64_t>(mem.scratch.data()) &&
                    to < reinterpret_cast<std::uint64_t>(mem.scratch.data() + Memory::kScratch) && len >= 76)
                    memcpy(&key, reinterpret_cast<const AutoMapState*>(to)->amsKey.key, sizeof key);
            }
            State s{};
            GetState g{&s, sizeof s};
            if (tav::sys::ioctl(fd, TAV_GET_STATE, &g) == 0) states.insert(s.state);
        }
        if (area) tav::sys::munmap(area, areaBytes);
        std::lock_guard lk(tally.lock);
        tally.iterations += kOpsPerThread;
        for (auto [rc, n] : results) tally.byResult[rc] += n;
        tally.states.insert(states.begin(), states.end());
    }

    // Nothing of a closed backup is left behind.
    void expectIdleModule() {
        EXPECT_EQ(atomic_read(&busy), 0);
        down_read(&activeSessionUsers);
        EXPECT_EQ(activeSession, nullptr);
        up_read(&activeSessionUsers);
        EXPECT_EQ(workerPID(), 0);
    }
};

TEST_F(IoctlFuzzTest, EveryResultIsOneTheCommandsMayGive) {
    makeDisk();
    // One unreadable block: its reads fail, and so does the copy of a write to it.
    disk_->failSectors(sectorOf(1, kBadBlock), sectorOf(1, kBadBlock) + bs_ / 512 - 1, tav::IoDir::Read);
    Memory mem1, mem2;
    Tally tally;
    const unsigned wanted[] = {BACKUP_IDLE, BACKUP_STARTING, BACKUP_STARTED, BACKUP_SNAPSHOT_DONE, BACKUP_MAP_LOADED,
                               BACKUP_ERR_BLOCK_READ, BACKUP_ERR_MAP_LOAD, BACKUP_ERR_CACHE, BACKUP_REFUSED_BUSY};
    auto allSeen = [&] {
        return std::all_of(std::begin(wanted), std::end(wanted), [&](unsigned s) { return tally.states.count(s) > 0; });
    };
    // Some states are reached only by an interleaving; a run that missed one goes on with
    // fresh seeds for a while before calling it unreachable.
    for (int e = 0; e < kEpisodes || (kExpectEveryState && !allSeen() && e < 4 * kEpisodes); e++) {
        std::uint64_t seed = kSeed + 1000 * static_cast<std::uint64_t>(e);
        if (e % 2 == 0) {  // two threads on one file
            int fd = openDevice();
            std::thread t1([&] { run(&fd, false, seed, mem1, tally); });
            std::thread t2([&] { run(&fd, false, seed + 1, mem2, tally); });
            t1.join();
            t2.join();
            ASSERT_EQ(tav::sys::close(fd), 0);
        } else {  // a file each
            std::thread t1([&] {
                int fd = openDevice();
                run(&fd, true, seed, mem1, tally);
                EXPECT_EQ(tav::sys::close(fd), 0);
            });
            std::thread t2([&] {
                int fd = openDevice();
                run(&fd, true, seed + 1, mem2, tally);
                EXPECT_EQ(tav::sys::close(fd), 0);
            });
            t1.join();
            t2.join();
        }
        expectIdleModule();
        EXPECT_EQ(tav::sys::mappings(), 0);
    }
    std::string counts;
    for (auto [rc, n] : tally.byResult) counts += " " + std::to_string(rc) + ":" + std::to_string(n);
    std::string states;
    for (unsigned s : tally.states) states += " " + std::to_string(s);
    char line[512];
    std::snprintf(line, sizeof line, "ioctl fuzz: seed %#llx, %ld iterations; results by code:%s; states seen:%s\n",
                  static_cast<unsigned long long>(kSeed), tally.iterations, counts.c_str(), states.c_str());
    std::fputs(line, stdout);
    // Beside the test binary, for scripts/test to print after the run.
    std::ofstream(std::filesystem::read_symlink("/proc/self/exe").parent_path() / "ioctl_fuzz.counts") << line;
    for (unsigned s : wanted)
        if (kExpectEveryState) {
            EXPECT_TRUE(tally.states.count(s)) << "state " << s << " never reached";
        }
}

}  // namespace
