/* Interrupt priorities, as the library's misc driver sets them. */
#include "ch32f10x.h"

void NVIC_Setup(uint8_t irq, uint8_t priority) {
    NVIC->IP[irq] = (uint8_t)(priority << 4);
    NVIC->ICER[irq >> 5] = 1u << (irq & 31u);
    NVIC->ISER[irq >> 5] = 1u << (irq & 31u);
}
