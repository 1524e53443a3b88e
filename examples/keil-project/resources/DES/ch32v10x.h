/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CH32V10X_H
#define CH32V10X_H
#include "core_riscv.h"
#include "system_ch32v10x.h"
typedef struct { __IO uint32_t CFGLR, CFGHR, INDR, OUTDR, BSHR, BCR, LCKR; } GPIO_TypeDef;
#endif
