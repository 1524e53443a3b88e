/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef LED_H
#define LED_H
#include "ch32f10x_gpio.h"
void LED_Toggle(void);
void TIM2_IRQHandler(void);
#endif
