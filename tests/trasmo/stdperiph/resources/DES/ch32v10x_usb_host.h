/* USB host driver of the V library (stand-in). */
#ifndef CH32V10X_USB_HOST_H
#define CH32V10X_USB_HOST_H
void USBH_Init(void);
#endif
