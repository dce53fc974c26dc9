; The demo data set's "boot" program.
;
; The Clover-style chain on a Flashkeel drive is: MBR (boot0) -> partition boot
; record (boot1f32alt or boot1xalt) -> the root file "boot", loaded at linear
; 0x20200 and entered at 2000:0200 with DL = BIOS drive number. A real Clover
; data set puts Clover's own "boot" file there. This stand-in only proves that
; the chain reached it: it prints a notice through the BIOS (which SeaBIOS also
; mirrors to the serial port when QEMU runs without graphics), then halts.
; Under QEMU with an isa-debug-exit device at port 0xF4 it ends the emulator
; with exit status 0x21 ((0x10 << 1) | 1) once the text is out.

        bits 16
        org 0x0200

start:
        cli
        mov ax, cs              ; 0x2000
        mov ds, ax
        mov es, ax
        mov ss, ax
        mov sp, 0xFFF0
        sti
        mov [drive], dl

        mov si, banner
        call print
        mov al, [drive]
        call print_hex
        mov si, tail
        call print

        ; Let the BIOS flush its serial mirror (it sends the last character on
        ; the next timer tick), then leave QEMU if it has a debug-exit port.
        mov cx, 6
.wait:  hlt
        loop .wait
        mov al, 0x10
        out 0xF4, al
.halt:  hlt
        jmp .halt

; Prints the zero-terminated text at DS:SI.
print:
        lodsb
        or al, al
        jz .done
        mov ah, 0x0E
        mov bx, 0x0007
        int 0x10
        jmp print
.done:  ret

; Prints AL as two hexadecimal digits.
print_hex:
        push ax
        shr al, 4
        call .digit
        pop ax
        and al, 0x0F
.digit: add al, '0'
        cmp al, '9'
        jbe .out
        add al, 7
.out:   mov ah, 0x0E
        mov bx, 0x0007
        int 0x10
        ret

; Each line stays under 80 columns: the BIOS's serial mirror wraps longer ones.
banner: db 13, 10, "Flashkeel demo: the boot chain reached 'boot' (BIOS drive 0x", 0
tail:   db ").", 13, 10
        db "This is the Flashkeel demo data set, not Clover.", 13, 10, 0
drive:  db 0
