/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CORE_RISCV_H
#define CORE_RISCV_H
#include <stdint.h>
#define __IO volatile
typedef struct { __IO uint32_t ISR[8]; } PFIC_Type;
#endif
