/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CH32V10X_CONF_H
#define CH32V10X_CONF_H
#include "ch32v10x_gpio.h"
#include "ch32v10x_rcc.h"
#include "ch32v10x_usart.h"
#include "ch32v10x_usb_host.h"
#endif
