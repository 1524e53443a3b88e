/* 主程序：LED 闪烁，定时器 3 中断（UTF-8 注释） */
#include "ch32f10x.h"
#include "debug.h"

volatile uint32_t ticks;

/* Defined without a prototype anywhere. */
void TIM3_IRQHandler(void) {
    ++ticks;
    GPIOA->ODR ^= 1u;
}

int main(void) {
    NVIC->ISER[0] = 1u << TIM3_IRQn;
    Delay_Init();
    while (1) {
        Delay_Ms(500);
        if (GPIOA->IDR & 2u) GPIOA->BSRR = 1u;
    }
}
