# Stand-in file written for the trasmo example; not a vendor file.
    .section .init,"ax",@progbits
    .global _start
_start:
    j handle_reset
