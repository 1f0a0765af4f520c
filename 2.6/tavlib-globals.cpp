/* Module-wide globals and their load-time state. */
#include "2.6/tavlib.h"

atomic_t initDone;
Backup* activeSession;
struct rw_semaphore activeSessionUsers;
atomic_t busy;
spinlock_t busyLock;
struct semaphore signalThread;
pid_t backup_cachePID;
atomic_t backup_cacheThreadContinue(1);
struct completion backup_cacheThreadStartCompleted;
struct completion backup_cacheThreadExited;
AutoMapSession* amList[AM_LIST_DIM][AM_LIST_DIM];
atomic_t amListUsers(1);
spinlock_t amListUsersLock;
LIST_HEAD(queueListHead);
atomic_t queueListUsers(1);
spinlock_t queueListUsersLock;
atomic_t curAllocAMPages;

/*
 * A module image starts with these values. The platform keeps one image for the whole
 * process, so a reload in the same process must put them back before anything else.
 */
void initModuleGlobals(void) {
    atomic_set(&initDone, 0);
    activeSession = nullptr;
    init_rwsem(&activeSessionUsers);
    atomic_set(&busy, 0);
    spin_lock_init(&busyLock);
    backup_cachePID = 0;
    atomic_set(&backup_cacheThreadContinue, 1);
    init_completion(&backup_cacheThreadStartCompleted);
    init_completion(&backup_cacheThreadExited);
    memset(amList, 0, sizeof amList);
    atomic_set(&amListUsers, 1);
    spin_lock_init(&amListUsersLock);
    INIT_LIST_HEAD(&queueListHead);
    atomic_set(&queueListUsers, 1);
    spin_lock_init(&queueListUsersLock);
    atomic_set(&curAllocAMPages, 0);
}
