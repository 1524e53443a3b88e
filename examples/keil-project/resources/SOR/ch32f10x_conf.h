/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CH32F10X_CONF_H
#define CH32F10X_CONF_H
#include "ch32f10x_gpio.h"
#include "ch32f10x_rcc.h"
#include "ch32f10x_usart.h"
#endif
