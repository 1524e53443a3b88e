/* Stand-in file written for the trasmo example; not a vendor file. */
#include "ch32f10x.h"

uint32_t SystemCoreClock = 72000000;

void SystemInit(void)
{
    RCC->CTLR |= 0x00000001;
}
