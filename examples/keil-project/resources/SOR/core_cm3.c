/* Stand-in file written for the trasmo example; not a vendor file. */
#include "core_cm3.h"
uint32_t __get_PSP(void) { return 0; }
