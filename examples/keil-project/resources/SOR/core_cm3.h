/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CORE_CM3_H
#define CORE_CM3_H
#include <stdint.h>
#define __IO volatile
typedef struct { __IO uint32_t ISER[8]; } NVIC_Type;
#endif
