/* Library configuration of a CH32V103 board. */
#ifndef CH32V10X_CONF_H
#define CH32V10X_CONF_H
#define HSE_VALUE 8000000u
#include "ch32v10x_usb_host.h"
#endif
