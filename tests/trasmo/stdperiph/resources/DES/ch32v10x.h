/* Device header of a CH32V103 board (RISC-V), made for the converter's tests. */
#ifndef CH32V10X_H
#define CH32V10X_H
#include <stdint.h>
typedef struct {
    volatile uint32_t ISR[8];
    uint32_t r0[56];
    volatile uint32_t IENR[8];
    uint32_t r1[24];
    volatile uint32_t IRER[8];
    uint32_t r2[152];
    volatile uint8_t IPRIOR[256];
} PFIC_Type;
typedef struct {
    volatile uint32_t CTLR, CNT, CNTH, CMP, CMPH;
} SysTick_Type;
typedef struct {
    volatile uint32_t CFGLR, CFGHR, INDR, OUTDR, BSHR, BCR, LCKR;
} GPIO_TypeDef;
#define PFIC ((PFIC_Type*)0xE000E000)
#define SysTick ((SysTick_Type*)0xE000F000)
#define GPIOA ((GPIO_TypeDef*)0x40010800)
#define TIM3_IRQn 29
#include "ch32v10x_conf.h"
#endif
