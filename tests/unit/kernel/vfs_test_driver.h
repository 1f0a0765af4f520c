// A small character-device driver for the file and mapping tests. It records every
// call, hands out pages it filled itself through nopage (like a transfer buffer), and can
// be told to fail. One driver is active at a time: the callbacks reach it through
// TestDriver::active.
#pragma once

#include <sys/syscall.h>
#include <sys/wait.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "kernel/fs.h"
#include "kernel/mman.h"
#include "kernel/module.h"
#include "tav/sys.h"
#include "tests/support/checks.h"

namespace tav::test {

// Word w of page i of a mapping's pages.
inline u32 patternWord(unsigned page, unsigned word) { return 0xA5000000U | (page << 12) | word; }

struct TestDriver {
    // One mapping's pages. Only the VMA the driver's mmap saw frees them; copies made by
    // fork or a split share them, and may outlive them (areas says which are alive).
    struct Area {
        struct vm_area_struct* owner;
        std::vector<struct page*> pages;
    };

    static inline TestDriver* active = nullptr;

    unsigned major;
    struct file_operations fops{};
    struct vm_operations_struct vmops{};

    // Configuration.
    int openResult = 0;
    int mmapResult = 0;
    unsigned pagesPerMapping = 4;  // nopage beyond these gives no page
    bool oomPage = false;          // nopage reports NOPAGE_OOM
    std::function<void(unsigned long address)> inNopage;      // runs inside nopage
    std::function<int(unsigned int, unsigned long)> inIoctl;  // the ioctl's result

    // What happened, in order; guarded by lock.
    std::mutex lock;
    std::vector<std::string> events;
    std::vector<struct vm_area_struct*> vmOpened, vmClosed, nopageVmas;
    std::vector<mode_t> openModes;
    unsigned long lastIoctlArg = 0;
    std::atomic<int> nopages{0};
    std::set<Area*> areas;  // guarded by lock

    TestDriver(unsigned major, const char* name, struct module* owner = nullptr) : major(major) {
        fops.owner = owner;
        fops.read = [](struct file*, char __user*, size_t n, loff_t* pos) -> ssize_t {
            *pos += static_cast<loff_t>(n);
            return static_cast<ssize_t>(n / 2);
        };
        fops.write = [](struct file*, const char __user*, size_t n, loff_t*) -> ssize_t {
            return static_cast<ssize_t>(n);
        };
        fops.poll = [](struct file*, struct poll_table_struct*) -> unsigned { return POLLIN | POLLHUP; };
        fops.ioctl = [](struct inode*, struct file*, unsigned cmd, unsigned long arg) {
            active->note("ioctl");
            {
                std::lock_guard g(active->lock);
                active->lastIoctlArg = arg;
            }
            return active->inIoctl ? active->inIoctl(cmd, arg) : 0;
        };
        fops.mmap = [](struct file*, struct vm_area_struct* vma) { return active->mmap(vma); };
        fops.open = [](struct inode* inode, struct file* f) {
            active->note("open");
            std::lock_guard g(active->lock);
            active->openModes.push_back(f->f_mode);
            EXPECT_EQ(imajor(inode), active->major);
            return active->openResult;
        };
        fops.flush = [](struct file*) {
            active->note("flush");
            return 0;
        };
        fops.release = [](struct inode*, struct file*) {
            active->note("release");
            return 0;
        };
        vmops.open = [](struct vm_area_struct* vma) {
            active->note("vmopen");
            std::lock_guard g(active->lock);
            active->vmOpened.push_back(vma);
        };
        vmops.close = [](struct vm_area_struct* vma) { active->vmClose(vma); };
        vmops.nopage = [](struct vm_area_struct* vma, unsigned long address, int*) {
            return active->nopage(vma, address);
        };
        active = this;
        EXPECT_EQ(register_chrdev(major, name, &fops), 0);
    }

    // Ends the process first: its files and mappings call back into this driver.
    ~TestDriver() {
        tav::sys::exitProcess();
        unregister_chrdev(major, "");
        active = nullptr;
    }

    void note(const char* what) {
        std::lock_guard g(lock);
        events.push_back(what);
    }
    std::vector<std::string> history() {
        std::lock_guard g(lock);
        return events;
    }
    int count(const std::string& what) {
        std::lock_guard g(lock);
        return static_cast<int>(std::count(events.begin(), events.end(), what));
    }

    int mmap(struct vm_area_struct* vma) {
        note("mmap");
        if (mmapResult) return mmapResult;
        auto* area = new Area{vma, {}};
        for (unsigned i = 0; i < pagesPerMapping; i++) {
            struct page* p = alloc_page(GFP_KERNEL);
            auto* words = static_cast<u32*>(page_address(p));
            for (unsigned w = 0; w < PAGE_SIZE / sizeof(u32); w++) words[w] = patternWord(i, w);
            area->pages.push_back(p);
        }
        vma->vm_private_data = area;
        vma->vm_ops = &vmops;
        std::lock_guard g(lock);
        areas.insert(area);
        return 0;
    }

    struct page* nopage(struct vm_area_struct* vma, unsigned long address) {
        auto* area = static_cast<Area*>(vma->vm_private_data);
        bool alive;
        {
            std::lock_guard g(lock);
            nopageVmas.push_back(vma);
            alive = areas.count(area) != 0;
        }
        nopages++;
        if (inNopage) inNopage(address);
        if (oomPage) return NOPAGE_OOM;
        if (!alive) return NOPAGE_SIGBUS;
        unsigned long idx = (address - vma->vm_start) / PAGE_SIZE;
        if (idx >= area->pages.size()) return NOPAGE_SIGBUS;
        get_page(area->pages[idx]);
        return area->pages[idx];
    }

    void vmClose(struct vm_area_struct* vma) {
        note("vmclose");
        std::lock_guard g(lock);
        vmClosed.push_back(vma);
        auto* area = static_cast<Area*>(vma->vm_private_data);
        if (!areas.count(area) || area->owner != vma) return;
        areas.erase(area);
        for (struct page* p : area->pages) __free_page(p);
        delete area;
    }

    static Area* areaOf(void* userAddress) {
        struct vm_area_struct* vma = find_vma(tav::kernel::processMm(), reinterpret_cast<unsigned long>(userAddress));
        return vma ? static_cast<Area*>(vma->vm_private_data) : nullptr;
    }
};

// A fixture that ends each test like a process exit, so nothing stays mapped or open.
class DriverTest : public PlatformTest {
protected:
    void TearDown() override {
        tav::sys::exitProcess();
        EXPECT_EQ(tav::kernel::liveFiles(), 0);
        PlatformTest::TearDown();
    }
};

// A death by signal sig. Sanitizer runtimes catch the signal themselves, report it and
// exit with an error, which counts too.
struct DiedOf {
    int sig;
    bool operator()(int status) const {
        if (WIFSIGNALED(status)) return WTERMSIG(status) == sig;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        return WIFEXITED(status) && WEXITSTATUS(status) != 0;
#else
        return false;
#endif
    }
};

// What the dying child prints: nothing of interest without a sanitizer; a sanitizer
// names the signal ("BUS", "SEGV") in its report.
inline const char* deathReport(int sig) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return sig == SIGBUS ? "BUS" : "SEGV";
#else
    (void)sig;
    return "";
#endif
}

inline pid_t hostTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

}  // namespace tav::test
