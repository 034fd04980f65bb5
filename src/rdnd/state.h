// Library-internal part of the state change.
#ifndef GARD_RDND_STATE_H
#define GARD_RDND_STATE_H

// True when the hardware-control gard policies 0 and 11 both permit garding
// a service processor; a policy that cannot be read forbids.
bool gardCheckQelGardPolicy();

#endif
