/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef SYSTEM_CH32V10X_H
#define SYSTEM_CH32V10X_H
extern uint32_t SystemCoreClock;
void SystemInit(void);
#endif
