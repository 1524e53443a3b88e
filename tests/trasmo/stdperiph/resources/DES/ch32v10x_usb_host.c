#include "ch32v10x_usb_host.h"

void USBH_Init(void) {}
