/* Device header of a CH32F103 board (Cortex-M3). */
#ifndef CH32F10X_H
#define CH32F10X_H
#include <stdint.h>
typedef struct {
    volatile uint32_t ISER[8];
    uint32_t r0[24];
    volatile uint32_t ICER[8];
    uint32_t r1[88];
    volatile uint8_t IP[240];
} NVIC_Type;
typedef struct {
    volatile uint32_t CTRL, LOAD, VAL, CALIB;
} SysTick_Type;
typedef struct {
    volatile uint32_t CRL, CRH, IDR, ODR, BSRR, BRR, LCKR;
} GPIO_TypeDef;
#define NVIC ((NVIC_Type*)0xE000E100)
#define SysTick ((SysTick_Type*)0xE000E010)
#define GPIOA ((GPIO_TypeDef*)0x40010800)
#define PERIPH_BB_BASE 0x42000000u
#define TIM3_IRQn 29
#include "ch32f10x_conf.h"
#endif
