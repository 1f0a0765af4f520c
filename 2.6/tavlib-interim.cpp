/*
 * Commands whose engine is not built yet answer "could not be carried out"; each goes
 * when its handler arrives. No automap session can exist before the snapshot does, so
 * there is nothing for closeAllAMS to close.
 */
#include "2.6/tavlib.h"

int ioctlStartBackup(Backup*, dev_t, unsigned int, unsigned int) { return TAV_ERR_GENERAL; }
int ioctlSnapShot(Backup*, AMSessionKey*, unsigned int) { return TAV_ERR_GENERAL; }
int ioctlGetAutoMapState(Backup*, AutoMapState*, unsigned int) { return TAV_ERR_GENERAL; }
int ioctlNoLoadFromAutoMap(Backup*) { return TAV_ERR_GENERAL; }
int ioctlNoStartAutoMap(Backup*) { return TAV_ERR_GENERAL; }
int ioctlLoadBlockMap(Backup*, UserBlockMap*) { return TAV_ERR_GENERAL; }
int ioctlGetAutoMap(Backup*, UserBlockMap*) { return TAV_ERR_GENERAL; }
int ioctlGetDirtyBlock(Backup*, unsigned int*) { return TAV_ERR_GENERAL; }
int ioctlReadBlocks(Backup*, unsigned int, unsigned int, void*) { return TAV_ERR_GENERAL; }
int tavMMAP(struct file*, struct vm_area_struct*) { return -EINVAL; }
void closeAllAMS(void) {}
