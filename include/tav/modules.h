// Loading and unloading the module of this process (insmod / rmmod).
//
// One module at a time: its struct module is __this_module (kernel/module.h). The
// sequence follows 2.6.9's sys_init_module / sys_delete_module:
//   load:   state COMING with one reference held for the duration of init; init < 0
//           marks it GOING and forgets it; otherwise LIVE and the init reference goes.
//   unload: refused while references are held (rmmod without --wait), else GOING (from
//           then on try_module_get fails), the unload sync point, exit, forgotten.
// Neither holds a lock while init, exit or the sync point run.
#pragma once

#include <functional>

namespace tav {

struct ModuleDef {
    const char* name;     // copied; truncated to MODULE_NAME_LEN - 1 characters
    int (*init)(void);    // may be null (nothing to do)
    void (*exit)(void);   // null: the module can never be unloaded
};

// 0 when loaded; init's negative result when init failed (nothing stays loaded);
// -EEXIST while a module is loaded (or being loaded or removed). A positive init result
// counts as success, as in 2.6.9.
int loadModule(const ModuleDef& def);

// 0 when unloaded. -ENOENT: no module. -EBUSY: references are held (2.6.9 reports
// EWOULDBLOCK to a non-waiting rmmod; -EBUSY is what this platform's callers test), the
// module is still initialising or already going, or it has no exit function.
int unloadModule();

bool moduleLoaded();

// Called by unloadModule after the state became GOING and before exit runs, on the
// unloading thread, with no platform lock held: a test can open the device here to see
// an open that races with removal. An empty function clears it.
void setUnloadSyncPoint(std::function<void()> hook);

}  // namespace tav

// Defined by module_init / module_exit in the module's own code (kernel/module.h).
extern "C" int tavLinkedModuleInit(void);
extern "C" void tavLinkedModuleExit(void);

namespace tav {
// Loads the module that this binary links (the one whose code says module_init and
// module_exit). Calling it is what links the module's object file in.
inline int loadLinkedModule(const char* name = "tavguard") {
    return loadModule(ModuleDef{name, &tavLinkedModuleInit, &tavLinkedModuleExit});
}
}  // namespace tav
