; Stand-in file written for the trasmo example; not a vendor file.
    .syntax unified
    .cpu cortex-m3
    .section .isr_vector,"a",%progbits
    .word _estack
    .word Reset_Handler
    .word NMI_Handler
    .word HardFault_Handler
