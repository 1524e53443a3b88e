/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef CH32V10X_IT_H
#define CH32V10X_IT_H
void NMI_Handler(void) __attribute__((interrupt("machine")));
void HardFault_Handler(void) __attribute__((interrupt("machine")));
#endif
