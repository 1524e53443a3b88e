/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CH32F10X_H
#define CH32F10X_H
#include "core_cm3.h"
#include "system_ch32f10x.h"
typedef struct { __IO uint32_t CRL, CRH, IDR, ODR, BSRR, BRR, LCKR; } GPIO_TypeDef;
#endif
