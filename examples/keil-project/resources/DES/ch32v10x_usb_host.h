/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CH32V10X_USB_HOST_H
#define CH32V10X_USB_HOST_H
#include "ch32v10x.h"
void USBH_Init(void);
#endif
