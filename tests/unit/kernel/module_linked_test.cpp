// A module linked into the binary through module_init / module_exit, loaded with
// loadLinkedModule (the way the real module is loaded).
#include "kernel/module.h"
#include "tav/modules.h"
#include "tests/support/checks.h"

namespace {

int linkedInits = 0, linkedExits = 0;

int linkedInit(void) {
    linkedInits++;
    return module_refcount(THIS_MODULE) == 1 ? 0 : -EINVAL;
}
void linkedExit(void) { linkedExits++; }

}  // namespace

module_init(linkedInit);
module_exit(linkedExit);
MODULE_LICENSE("Proprietary");
MODULE_DESCRIPTION("platform test module");
MODULE_AUTHOR("tavguard");

namespace {

using ModuleLinkedTest = tav::test::PlatformTest;

TEST_F(ModuleLinkedTest, LoadsTheModuleThatDeclaredItsEntryPoints) {
    int inits = linkedInits, exits = linkedExits;
    ASSERT_EQ(tav::loadLinkedModule("linked"), 0);
    EXPECT_EQ(linkedInits, inits + 1);
    EXPECT_STREQ(THIS_MODULE->name, "linked");
    EXPECT_EQ(tav::unloadModule(), 0);
    EXPECT_EQ(linkedExits, exits + 1);
}

}  // namespace
