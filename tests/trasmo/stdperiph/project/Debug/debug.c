/* 延时函数，系统定时器轮询（GBK 注释） */
#include "debug.h"

#define BITBAND(addr, bit) \
    ((addr & 0xF0000000u) + 0x2000000u + ((addr & 0xFFFFFu) << 5) + ((bit) << 2))
#define LED_BIT (*(volatile uint32_t*)BITBAND(PERIPH_BB_BASE + 0x1080Cu, 0))

static uint32_t per_ms;

void Delay_Init(void) { per_ms = 72000000u / 8000u; }

void Delay_Ms(uint32_t ms) {
    SysTick->LOAD = ms * per_ms;
    SysTick->VAL = 0;
    SysTick->CTRL = 1u;
    while (!(SysTick->CTRL & (1u << 16)))
        ;
    SysTick->CTRL = 0;
}

void SysTick_Handler(void) { LED_BIT = 1u; }
