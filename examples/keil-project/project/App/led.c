/* Stand-in file written for the trasmo example; not a vendor file. */
#include "led.h"

void LED_Toggle(void)
{
    if (GPIOB->ODR & 0x01)
        GPIOB->BRR = 0x01;
    else
        GPIOB->BSRR = 0x01;
}

void TIM2_IRQHandler(void)
{
    LED_Toggle();
}
