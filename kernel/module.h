// Modules. A process holds at most one loaded module, and it is always __this_module
// (THIS_MODULE), so a module's code and the platform agree on it without a loader.
// Loading and unloading go through include/tav/modules.h.
//
// A module declares its entry points with module_init(fn) / module_exit(fn). The macros
// define two extern "C" functions, tavLinkedModuleInit and tavLinkedModuleExit, that
// tav::loadLinkedModule() (an inline function of include/tav/modules.h) refers to. The
// reference sits in the object file of whoever calls loadLinkedModule, never in the
// platform library, so:
//   - a binary that links the platform without a module links (nobody refers to them);
//   - a binary that calls loadLinkedModule pulls the module's object file out of its
//     static library by that reference, whatever the library order on the link line.
// A module without module_exit cannot be linked for loadLinkedModule (2.6.9 would refuse
// to unload it anyway).
#pragma once

#include <mutex>

#include "kernel/types.h"

enum module_state { MODULE_STATE_LIVE, MODULE_STATE_COMING, MODULE_STATE_GOING };

constexpr int MODULE_NAME_LEN = 64 - static_cast<int>(sizeof(unsigned long));

struct module {
    // Platform-private: makes "no references left, so mark GOING" one step against
    // try_module_get, which 2.6.9 gets from stop_machine.
    std::mutex lock;
    enum module_state state = MODULE_STATE_GOING;  /* guarded by lock */
    unsigned int refcount = 0;                      /* guarded by lock */
    bool loaded = false;                            /* guarded by lock */
    char name[MODULE_NAME_LEN] = {};   /* set at load, read-only while loaded */
    int (*init)(void) = nullptr;       /* set at load, read-only while loaded */
    void (*exit)(void) = nullptr;      /* set at load, read-only while loaded */
};

extern struct module __this_module;
#define THIS_MODULE (&__this_module)

// 1 when a reference was taken; 0 while the module is being removed (state GOING) or
// when no module is loaded. A null module (a built-in driver) always succeeds.
int try_module_get(struct module* mod);
// Takes a reference whatever the state; the caller already holds one.
void __module_get(struct module* mod);
// Drops a reference. Dropping one that was never taken logs a critical line.
void module_put(struct module* mod);
unsigned int module_refcount(struct module* mod);

#define module_init(initfn)                                 \
    extern "C" int tavLinkedModuleInit(void) { return initfn(); } \
    static_assert(true, "module_init")
#define module_exit(exitfn)                                 \
    extern "C" void tavLinkedModuleExit(void) { exitfn(); } \
    static_assert(true, "module_exit")

// Metadata only: nothing reads it.
#define MODULE_LICENSE(license) static_assert(true, license)
#define MODULE_DESCRIPTION(text) static_assert(true, text)
#define MODULE_AUTHOR(text) static_assert(true, text)
