/* Stand-in file written for the trasmo example; not a vendor file. */
#include "ch32f10x_it.h"
void NMI_Handler(void) {}
void HardFault_Handler(void) { while (1) {} }
