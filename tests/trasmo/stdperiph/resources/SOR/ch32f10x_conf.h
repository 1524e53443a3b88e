/* Library configuration of a CH32F103 board. */
#ifndef CH32F10X_CONF_H
#define CH32F10X_CONF_H
#define HSE_VALUE 8000000u
#endif
