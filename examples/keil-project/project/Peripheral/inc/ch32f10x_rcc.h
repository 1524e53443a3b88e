/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CH32F10X_RCC_H
#define CH32F10X_RCC_H
#include "ch32f10x.h"
void RCC_APB2PeriphClockCmd(uint32_t periph, int state);
#endif
