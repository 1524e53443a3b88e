/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CH32V10X_RCC_H
#define CH32V10X_RCC_H
#include "ch32v10x.h"
void RCC_APB2PeriphClockCmd(uint32_t periph, int state);
#endif
