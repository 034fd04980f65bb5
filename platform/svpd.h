// Platform VPD service: presence of units and the gard keyword of the
// service processors.
#ifndef PLATFORM_SVPD_H
#define PLATFORM_SVPD_H

class ErrlEntry;

// Sets `status` non-zero when the unit is present.
ErrlEntry* SVPD_fru_status(unsigned int unit, unsigned int& status, bool flag);
// Hands over a block allocated with scalar `operator new`
// holding the keyword; the caller releases it with scalar `operator delete`.
ErrlEntry* SVPD_get_qel_gd_keyword(unsigned int unit, unsigned int* length, unsigned char** data,
                                   bool flag);
ErrlEntry* SVPD_set_qel_gd_keyword(unsigned int unit, unsigned int length,
                                   unsigned char const* data);

#endif
