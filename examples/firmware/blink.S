# Minimal CH32V103 image: reset vector at 0x08000000 jumps to a loop that
# toggles PA0 (GPIOA at 0x40010800) with a busy-wait delay.
    .section .init, "ax"
    .globl _start
_start:
    j reset
    .section .text
reset:
    li t0, 0x40021018        # RCC_APB2PCENR
    lw t1, 0(t0)
    ori t1, t1, 0x4          # IOPAEN
    sw t1, 0(t0)
    li t0, 0x40010800        # GPIOA_CFGLR
    li t1, 0x44444443        # PA0 push-pull output, 50 MHz
    sw t1, 0(t0)
    li t2, 0x4001080C        # GPIOA_OUTDR
    li t3, 1
loop:
    lw t1, 0(t2)
    xor t1, t1, t3
    sw t1, 0(t2)
    li t4, 200000
delay:
    addi t4, t4, -1
    bnez t4, delay
    j loop
    .section .rodata
    .asciz "blink example for a CH32V103 at 0x08000000"
