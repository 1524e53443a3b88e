/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CH32F10X_IT_H
#define CH32F10X_IT_H
void NMI_Handler(void);
void HardFault_Handler(void);
#endif
