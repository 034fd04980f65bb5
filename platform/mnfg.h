// Platform manufacturing policy.
#ifndef PLATFORM_MNFG_H
#define PLATFORM_MNFG_H

// Sets `isSet` to whether manufacturing policy flag `flag` is set. Returns 0
// on success; a failed call leaves `isSet` untouched.
int mnfgIsPolicyFlagSet(unsigned int flag, bool& isSet);

#endif
