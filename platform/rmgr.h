// Platform redundancy manager.
#ifndef PLATFORM_RMGR_H
#define PLATFORM_RMGR_H

class ErrlEntry;

ErrlEntry* rmgrGardBackup(unsigned short compId);
ErrlEntry* rmgrUngardBackup(unsigned short compId);
ErrlEntry* rmgrAssertSiblingQELPOR();

#endif
