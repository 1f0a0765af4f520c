// Character-device registry, device nodes and the life of an open file.
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>

#include "kernel/fs.h"
#include "kernel/module.h"
#include "kernel/printk.h"
#include "kernel/process.h"
#include "kernel/sched.h"
#include "tav/sys.h"

namespace {

constexpr unsigned kMaxMajor = (1U << (32 - MINORBITS)) - 1;
constexpr unsigned kMinorsPerMajor = 256;
// 2.6.9 hands out dynamic majors from the top of its 255-slot hash downwards.
constexpr unsigned kDynamicMajorTop = 254;

struct Chrdev {
    std::string name;
    struct file_operations* fops;
    std::string autoNode;  // path of the node register_chrdev made, empty if none
};

// Taken one after the other, never nested with nodeLock; module->lock nests inside
// chrdevLock (try_module_get at open).
std::mutex chrdevLock;
std::map<unsigned, Chrdev>& chrdevs() {  // guarded by chrdevLock
    static auto* m = new std::map<unsigned, Chrdev>;
    return *m;
}

// The inode comes first so an inode pointer is the node's.
struct DeviceNode {
    struct inode inode;
    struct dentry dentry;
};
static_assert(std::is_standard_layout_v<DeviceNode>);

std::mutex nodeLock;
std::map<std::string, DeviceNode*>& nodes() {  // guarded by nodeLock
    static auto* m = new std::map<std::string, DeviceNode*>;
    return *m;
}

std::atomic<long> openFiles{0};

void iput(struct inode* inode) {
    if (atomic_dec_and_test(&inode->i_count)) delete reinterpret_cast<DeviceNode*>(inode);
}

// Caller holds nodeLock.
int addNode(const std::string& path, dev_t dev) {
    auto& table = nodes();
    if (table.count(path)) return -EEXIST;
    auto* n = new DeviceNode{};
    n->inode.i_rdev = dev;
    n->inode.i_mode = S_IFCHR | 0600;
    atomic_set(&n->inode.i_count, 1);
    n->dentry.d_inode = &n->inode;
    table[path] = n;
    return 0;
}

// Caller holds nodeLock.
void removeNode(std::map<std::string, DeviceNode*>::iterator it) {
    DeviceNode* n = it->second;
    nodes().erase(it);
    iput(&n->inode);
}

}  // namespace

int register_chrdev(unsigned int major, const char* name, struct file_operations* fops) {
    if (major > kMaxMajor || !fops) return -EINVAL;
    unsigned got = major;
    std::string path = std::string("/dev/") + (name ? name : "");
    {
        std::lock_guard g(chrdevLock);
        auto& table = chrdevs();
        if (major == 0) {
            got = 0;
            for (unsigned m = kDynamicMajorTop; m > 0; m--) {
                if (!table.count(m)) {
                    got = m;
                    break;
                }
            }
            if (!got) return -EBUSY;
        } else if (table.count(major)) {
            return -EBUSY;
        }
        table[got] = Chrdev{name ? name : "", fops, {}};
    }
    bool made;
    {
        std::lock_guard g(nodeLock);
        made = addNode(path, MKDEV(got, 0)) == 0;
    }
    if (made) {
        std::lock_guard g(chrdevLock);
        auto it = chrdevs().find(got);
        if (it != chrdevs().end() && it->second.fops == fops) it->second.autoNode = path;
    }
    return major ? 0 : static_cast<int>(got);
}

int unregister_chrdev(unsigned int major, const char*) {
    std::string autoNode;
    {
        std::lock_guard g(chrdevLock);
        auto it = chrdevs().find(major);
        if (it == chrdevs().end()) return 0;
        autoNode = it->second.autoNode;
        chrdevs().erase(it);
    }
    if (!autoNode.empty()) {
        std::lock_guard g(nodeLock);
        auto it = nodes().find(autoNode);
        if (it != nodes().end() && it->second->inode.i_rdev == MKDEV(major, 0)) removeNode(it);
    }
    return 0;
}

void fput(struct file* f) {
    if (!atomic_dec_and_test(&f->f_count)) return;
    might_sleep();
    struct inode* inode = f->f_dentry->d_inode;
    if (f->f_op->release) f->f_op->release(inode, f);
    module_put(f->f_op->owner);
    iput(inode);
    delete f;
    openFiles--;
}

namespace tav::kernel {

int openDevice(const char* path, int flags, struct file** filp) {
    *filp = nullptr;
    struct inode* inode;
    {
        std::lock_guard g(nodeLock);
        auto it = nodes().find(path ? path : "");
        if (it == nodes().end()) return -ENOENT;
        inode = &it->second->inode;
        atomic_inc(&inode->i_count);
    }
    struct file_operations* fops = nullptr;
    {
        std::lock_guard g(chrdevLock);
        auto it = chrdevs().find(MAJOR(inode->i_rdev));
        if (it != chrdevs().end() && MINOR(inode->i_rdev) < kMinorsPerMajor &&
            try_module_get(it->second.fops->owner))
            fops = it->second.fops;
    }
    if (!fops) {
        iput(inode);
        return -ENXIO;
    }
    auto* f = new file{};
    atomic_set(&f->f_count, 1);
    f->f_flags = static_cast<unsigned>(flags);
    f->f_mode = static_cast<mode_t>((flags + 1) & O_ACCMODE);
    f->f_dentry = &reinterpret_cast<DeviceNode*>(inode)->dentry;
    f->f_op = fops;
    if (fops->open) {
        int ret = fops->open(inode, f);
        if (ret) {
            module_put(fops->owner);
            iput(inode);
            delete f;
            return ret;
        }
    }
    openFiles++;
    *filp = f;
    return 0;
}

int chrdevsOwnedBy(const struct module* mod) {
    std::lock_guard g(chrdevLock);
    int n = 0;
    for (auto& [major, dev] : chrdevs())
        if (dev.fops->owner == mod) n++;
    return n;
}

bool chrdevRegistered(unsigned int major, std::string* name) {
    std::lock_guard g(chrdevLock);
    auto it = chrdevs().find(major);
    if (it == chrdevs().end()) return false;
    if (name) *name = it->second.name;
    return true;
}

long liveFiles() { return openFiles.load(); }

}  // namespace tav::kernel

namespace tav::sys {

int mknod(const char* path, unsigned int major, unsigned int minor) {
    if (Backend* b = tav::kernel::callerBackend()) return b->mknod(path, major, minor);
    if (!path || major > kMaxMajor || minor > MINORMASK) return -EINVAL;
    std::lock_guard g(nodeLock);
    return addNode(path, MKDEV(major, minor));
}

int unlink(const char* path) {
    if (Backend* b = tav::kernel::callerBackend()) return b->unlink(path);
    std::lock_guard g(nodeLock);
    auto it = nodes().find(path ? path : "");
    if (it == nodes().end()) return -ENOENT;
    removeNode(it);
    return 0;
}

}  // namespace tav::sys
