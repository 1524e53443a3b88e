/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CH32F10X_GPIO_H
#define CH32F10X_GPIO_H
#include "ch32f10x.h"
void GPIO_SetBits(GPIO_TypeDef *GPIOx, uint16_t pins);
#endif
