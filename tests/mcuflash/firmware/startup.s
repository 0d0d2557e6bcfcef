@ A small Cortex-M firmware for the flasher's tests: a vector table at 0,
@ the flash configuration field at 0x400 (its security byte at 0x40C comes
@ from the assembler's --defsym FSEC=...), code after it, constants a short
@ gap further on, a table far away, and initialised data that is loaded in
@ flash but runs from RAM.
        .syntax unified
        .cpu cortex-m0plus
        .thumb

        .section .vectors, "a"
        .word   0x20012000              @ initial stack pointer
        .word   reset + 1               @ reset handler (Thumb)
        .rept   14
        .word   fault + 1
        .endr

        .section .flash_config, "a"
        .word   0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF  @ backdoor key, protection
        .byte   FSEC                    @ 0x40C: security
        .byte   0xFF                    @ 0x40D: options
        .byte   0xFF, 0xFF              @ EEPROM and data flash protection

        .text
        .thumb_func
        .global reset
reset:
        ldr     r0, =greeting
        ldr     r1, =table
        ldr     r2, =counter
loop:
        ldrb    r3, [r0]
        ldr     r4, [r2]
        adds    r4, r4, r3
        str     r4, [r2]
        b       loop
        .thumb_func
fault:
        b       fault
        .ltorg

        .section .rodata
greeting:
        .asciz  "mcuflash test firmware"

        .section .table, "a"
table:
        .word   0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x00C0FFEE
        .fill   200, 1, 0x5A

        .data
counter:
        .word   0x11223344, 0x55667788
