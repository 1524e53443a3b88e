/* Delays on the system timer. */
#ifndef DEBUG_H
#define DEBUG_H
#include "ch32f10x.h"
void Delay_Init(void);
void Delay_Ms(uint32_t ms);
#endif
