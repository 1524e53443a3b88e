/* Stand-in file written for the trasmo example; not a vendor file. */
#include "ch32v10x_usb_host.h"
void USBH_Init(void) {}
