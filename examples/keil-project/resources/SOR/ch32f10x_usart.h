/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CH32F10X_USART_H
#define CH32F10X_USART_H
#include "ch32f10x.h"
void USART_SendData(void *usart, uint16_t data);
#endif
