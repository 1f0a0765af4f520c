// Module reference counting, load and unload.
#include <cstring>
#include <string>

#include "tav/modules.h"
#include "kernel/fs.h"
#include "kernel/module.h"
#include "kernel/printk.h"

struct module __this_module;

namespace {

// Guards the unload sync point. Load and unload themselves are kept apart by the
// module's own state (a second load sees loaded, an unload during init sees COMING), so
// no lock is held across init, exit or the sync point.
std::mutex hookLock;
std::function<void()>& unloadHook() {
    static auto* h = new std::function<void()>;  // guarded by hookLock
    return *h;
}

// A module that leaves a character device registered behind it leaves the kernel
// pointing into freed code; say so loudly.
void checkLeftovers(struct module* mod, const char* when) {
    int left = tav::kernel::chrdevsOwnedBy(mod);
    if (left)
        printk("<2>%s: %d character device(s) still registered %s\n", mod->name, left, when);
}

void forget(struct module* mod) {
    std::lock_guard g(mod->lock);
    mod->loaded = false;
    mod->state = MODULE_STATE_GOING;
    mod->refcount = 0;
    mod->init = nullptr;
    mod->exit = nullptr;
    mod->name[0] = '\0';
}

}  // namespace

int try_module_get(struct module* mod) {
    if (!mod) return 1;
    std::lock_guard g(mod->lock);
    if (!mod->loaded || mod->state == MODULE_STATE_GOING) return 0;
    mod->refcount++;
    return 1;
}

void __module_get(struct module* mod) {
    if (!mod) return;
    std::lock_guard g(mod->lock);
    mod->refcount++;
}

void module_put(struct module* mod) {
    if (!mod) return;
    bool underflow;
    {
        std::lock_guard g(mod->lock);
        underflow = mod->refcount == 0;
        if (!underflow) mod->refcount--;
    }
    if (underflow) printk("<2>module_put: %s: reference count already 0\n", mod->name);
}

unsigned int module_refcount(struct module* mod) {
    std::lock_guard g(mod->lock);
    return mod->refcount;
}

namespace tav {

int loadModule(const ModuleDef& def) {
    struct module* mod = THIS_MODULE;
    {
        std::lock_guard g(mod->lock);
        if (mod->loaded) return -EEXIST;
        mod->loaded = true;
        mod->state = MODULE_STATE_COMING;
        mod->refcount = 1;  // held for the duration of init
        std::strncpy(mod->name, def.name ? def.name : "", MODULE_NAME_LEN - 1);
        mod->name[MODULE_NAME_LEN - 1] = '\0';
        mod->init = def.init;
        mod->exit = def.exit;
    }
    int ret = def.init ? def.init() : 0;
    if (ret < 0) {
        {
            std::lock_guard g(mod->lock);
            mod->state = MODULE_STATE_GOING;
        }
        checkLeftovers(mod, "after a failed init");
        forget(mod);
        return ret;
    }
    std::lock_guard g(mod->lock);
    mod->state = MODULE_STATE_LIVE;
    mod->refcount--;
    return 0;
}

int unloadModule() {
    struct module* mod = THIS_MODULE;
    {
        std::lock_guard g(mod->lock);
        if (!mod->loaded) return -ENOENT;
        if (mod->state != MODULE_STATE_LIVE) return -EBUSY;
        if (mod->init && !mod->exit) return -EBUSY;
        if (mod->refcount != 0) return -EBUSY;
        mod->state = MODULE_STATE_GOING;
    }
    std::function<void()> hook;
    {
        std::lock_guard g(hookLock);
        hook = unloadHook();
    }
    if (hook) hook();
    if (mod->exit) mod->exit();
    checkLeftovers(mod, "after exit");
    forget(mod);
    return 0;
}

bool moduleLoaded() {
    std::lock_guard g(THIS_MODULE->lock);
    return THIS_MODULE->loaded;
}

void setUnloadSyncPoint(std::function<void()> hook) {
    std::lock_guard g(hookLock);
    unloadHook() = std::move(hook);
}

}  // namespace tav
