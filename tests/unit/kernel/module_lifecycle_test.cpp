// Module load, unload and reference counting.
#include "kernel/module.h"
#include "tav/modules.h"
#include "tests/unit/kernel/vfs_test_driver.h"

namespace {

struct Seen {
    int inits = 0, exits = 0;
    int initResult = 0;
    unsigned refsDuringInit = 0;
    module_state stateDuringInit = MODULE_STATE_LIVE;
    std::string nameDuringInit;
} seen;

int countingInit() {
    seen.inits++;
    seen.refsDuringInit = module_refcount(THIS_MODULE);
    std::lock_guard g(THIS_MODULE->lock);
    seen.stateDuringInit = THIS_MODULE->state;
    seen.nameDuringInit = THIS_MODULE->name;
    return seen.initResult;
}
void countingExit() { seen.exits++; }

class ModuleLifecycleTest : public tav::test::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        seen = Seen{};
    }
    void TearDown() override {
        if (tav::moduleLoaded()) {
            EXPECT_EQ(tav::unloadModule(), 0);
        }
        PlatformTest::TearDown();
    }
    static tav::ModuleDef def() { return {"tmod", countingInit, countingExit}; }
};

module_state stateOf(struct module* m) {
    std::lock_guard g(m->lock);
    return m->state;
}

TEST_F(ModuleLifecycleTest, InitRunsComingWithAReferenceAndExitRunsAtUnload) {
    ASSERT_EQ(tav::loadModule(def()), 0);
    EXPECT_EQ(seen.inits, 1);
    EXPECT_EQ(seen.stateDuringInit, MODULE_STATE_COMING);
    EXPECT_EQ(seen.refsDuringInit, 1U) << "2.6.9 holds a reference while init runs";
    EXPECT_EQ(seen.nameDuringInit, "tmod");
    EXPECT_EQ(stateOf(THIS_MODULE), MODULE_STATE_LIVE);
    EXPECT_EQ(module_refcount(THIS_MODULE), 0U);
    EXPECT_EQ(tav::loadModule(def()), -EEXIST);
    EXPECT_EQ(seen.inits, 1);

    EXPECT_EQ(tav::unloadModule(), 0);
    EXPECT_EQ(seen.exits, 1);
    EXPECT_FALSE(tav::moduleLoaded());
    EXPECT_EQ(tav::unloadModule(), -ENOENT);
    EXPECT_EQ(try_module_get(THIS_MODULE), 0) << "no module is loaded";
    EXPECT_EQ(try_module_get(nullptr), 1) << "a built-in owner is always there";
}

TEST_F(ModuleLifecycleTest, FailedInitLeavesNothingLoaded) {
    seen.initResult = -ENOMEM;
    EXPECT_EQ(tav::loadModule(def()), -ENOMEM);
    EXPECT_FALSE(tav::moduleLoaded());
    EXPECT_EQ(seen.exits, 0) << "exit is not run for a module that never loaded";
    EXPECT_EQ(module_refcount(THIS_MODULE), 0U);
    seen.initResult = 3;
    EXPECT_EQ(tav::loadModule(def()), 0) << "a positive init result is a success";
    EXPECT_TRUE(tav::moduleLoaded());
}

TEST_F(ModuleLifecycleTest, UnloadIsRefusedWhileReferencesAreHeld) {
    ASSERT_EQ(tav::loadModule(def()), 0);
    ASSERT_EQ(try_module_get(THIS_MODULE), 1);
    __module_get(THIS_MODULE);
    EXPECT_EQ(module_refcount(THIS_MODULE), 2U);
    EXPECT_EQ(tav::unloadModule(), -EBUSY);
    EXPECT_EQ(seen.exits, 0);
    EXPECT_EQ(stateOf(THIS_MODULE), MODULE_STATE_LIVE) << "a refused unload changes nothing";
    EXPECT_EQ(try_module_get(THIS_MODULE), 1);
    module_put(THIS_MODULE);
    module_put(THIS_MODULE);
    EXPECT_EQ(tav::unloadModule(), -EBUSY);
    module_put(THIS_MODULE);
    EXPECT_EQ(tav::unloadModule(), 0);
    EXPECT_EQ(seen.exits, 1);
}

TEST_F(ModuleLifecycleTest, ModuleBugsAreLoggedAsCritical) {
    checkCritical_ = false;
    ASSERT_EQ(tav::loadModule(def()), 0);
    module_put(THIS_MODULE);
    EXPECT_EQ(module_refcount(THIS_MODULE), 0U);
    EXPECT_TRUE(tav::kernel::logContains("module_put: tmod: reference count already 0"));

    struct file_operations fops {};
    fops.owner = THIS_MODULE;
    ASSERT_EQ(register_chrdev(241, "leftover", &fops), 0);
    EXPECT_EQ(tav::unloadModule(), 0);
    EXPECT_EQ(tav::kernel::logLinesAtMost(2).size(), 2U);
    EXPECT_TRUE(tav::kernel::logContains("1 character device(s) still registered after exit"));
    unregister_chrdev(241, "leftover");
}

}  // namespace
