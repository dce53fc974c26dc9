; USB-HDD+ - master boot record that starts the active partition.
;
; The BIOS loads this sector to 0000:7C00 and enters it with DL = boot drive.
; It moves itself to 0000:0600, prints "Start booting from USB device...",
; reads the first sector of the active partition (boot flag 0x80) to
; 0000:7C00 and jumps there with DL = drive and DS:SI -> the partition entry
; (0000:07BE + 16*n). Reads use INT 13h extensions when the BIOS has them and
; CHS addressing with the BIOS geometry otherwise.
; No active entry, a read error or a missing 55 AA: "Boot failed", then
; INT 18h so that the BIOS tries the next boot device.
; The marker "HDD+" sits at offset 0x2E; code and data stay within 0..439.

        cpu     386
        bits    16
        org     0x0600

RELOC   equ     0x0600
LOADAT  equ     0x7C00
TABLE   equ     RELOC + 0x1BE

start:
        jmp     short main
msg_start:  db "Start booting from USB device...", 13, 10, 0
        times 0x2E - ($ - $$) db 0
        db      "HDD+"

main:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, LOADAT
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     si, LOADAT
        mov     di, RELOC
        mov     cx, 256
        rep     movsw
        jmp     0:relocated

relocated:
        mov     [drive], dl
        mov     si, msg_start
        call    print

        mov     bp, TABLE
        mov     cx, 4
.find:
        cmp     byte [bp], 0x80
        je      .found
        add     bp, 16
        loop    .find
        jmp     failed
.found:
        mov     di, 3                   ; attempts
.attempt:
        call    read_boot_sector
        jnc     .read
        xor     ah, ah                  ; reset the drive before the next try
        mov     dl, [drive]
        int     0x13
        dec     di
        jnz     .attempt
        jmp     failed
.read:
        cmp     word [LOADAT + 510], 0xAA55
        jne     failed
        mov     si, bp                  ; DS = 0, SI -> the active entry
        mov     dl, [drive]
        jmp     0:LOADAT

; Reads the first sector of the partition at BP to 0000:7C00; CF on error.
read_boot_sector:
        mov     dl, [drive]
        mov     ah, 0x41
        mov     bx, 0x55AA
        int     0x13
        jc      .chs
        cmp     bx, 0xAA55
        jne     .chs
        test    cl, 1
        jz      .chs
        push    dword 0                 ; LBA bits 32..63
        push    dword [bp+8]            ; LBA bits 0..31
        push    word 0                  ; buffer segment
        push    word LOADAT             ; buffer offset
        push    word 1                  ; one sector
        push    word 0x10               ; packet size
        mov     si, sp
        mov     ah, 0x42
        mov     dl, [drive]
        int     0x13
        lea     sp, [si+16]             ; drop the packet, keep CF
        ret
.chs:
        mov     ah, 0x08                ; geometry
        mov     dl, [drive]
        push    es
        xor     di, di
        int     0x13
        pop     es
        jc      .ret
        and     ecx, 0x3F               ; sectors per track
        jz      .bad
        movzx   ebx, dh
        inc     bx                      ; heads
        mov     eax, [bp+8]
        xor     edx, edx
        div     ecx                     ; EAX = track, DX = sector - 1
        inc     dx
        mov     cl, dl                  ; CL bits 0..5 = sector
        xor     edx, edx
        div     ebx                     ; EAX = cylinder, DX = head
        cmp     eax, 1023
        ja      .bad
        mov     dh, dl
        mov     ch, al                  ; cylinder bits 0..7
        shl     ah, 6
        or      cl, ah                  ; cylinder bits 8..9
        mov     dl, [drive]
        mov     bx, LOADAT
        mov     ax, 0x0201
        int     0x13
.ret:
        ret
.bad:
        stc
        ret

failed:
        mov     si, msg_failed
        call    print
        int     0x18
.halt:
        sti
        hlt
        jmp     short .halt

; Prints the zero-terminated text at DS:SI.
print:
        lodsb
        test    al, al
        jz      .end
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        jmp     short print
.end:
        ret

drive:  db      0
msg_failed: db "Boot failed", 0

%if ($ - $$) > 440
%error "USB-HDD+ code exceeds 440 bytes"
%endif
        times 0x1BE - ($ - $$) db 0
        db      0x80                    ; entry 0 active; the rest of the table is filled in when written
        times 510 - ($ - $$) db 0
        dw      0xAA55
