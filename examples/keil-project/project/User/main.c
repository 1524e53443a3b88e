/* Stand-in file written for the trasmo example; not a vendor file. */
#include "ch32f10x.h"
#include "ch32f10x_conf.h"
#include "led.h"

/* Blinks the LED of the CH32F103 board once per SysTick period. */
int main(void)
{
    SystemInit();
    RCC->APB2ENR |= 0x08;
    SysTick->LOAD = 72000 - 1;
    SysTick->VAL = 0;
    SysTick->CTRL = 0x05;
    while (1) {
        LED_Toggle();
        while ((USART1->SR & 0x80) == 0) {}
        USART1->DR = 'x';
    }
}
