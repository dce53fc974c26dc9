; boot0 - master boot record that starts a Clover-style partition boot record.
;
; The BIOS loads this sector to 0000:7C00 and enters it with DL = boot drive.
; It moves itself to 0000:0600, picks a partition, loads the partition's first
; three sectors to 0000:7C00 (a two-sector boot record then finds its second
; sector in place at 0000:7E00) and jumps there with DL = drive and
; DS:SI -> the 16-byte partition entry at 0000:07BE + 16*n.
;
; Choice of partition:
;   1. the first entry whose boot flag is 0x80 (only its 55 AA is checked);
;   2. otherwise the first entry of type 0x0C, 0x0B, 0x07 or 0xAF whose boot
;      sector carries a file-system signature: "BO" at +0x5A (FAT32 boot
;      record that loads BOOT), "EXFAT" at +3, "H+"/"HX" at +1024.
; Every read uses INT 13h extensions; without them the code reports an error.
; Code and data stay within bytes 0..439 (disk signature and table follow).

        cpu     386
        bits    16
        org     0x0600

RELOC   equ     0x0600
LOADAT  equ     0x7C00
TABLE   equ     RELOC + 0x1BE

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, LOADAT              ; stack grows down from 0000:7C00
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

        ; INT 13h extensions present, with the fixed-disk subset?
        mov     ah, 0x41
        mov     bx, 0x55AA
        int     0x13
        jc      error
        cmp     bx, 0xAA55
        jne     error
        test    cl, 1
        jz      error

        ; Pass 1: the active entry.
        mov     si, TABLE
        mov     cx, 4
.active:
        cmp     byte [si], 0x80
        jne     .next_active
        call    load_partition
        jc      error
        jmp     short boot
.next_active:
        add     si, 16
        loop    .active

        ; Pass 2: a supported type whose boot record we recognise.
        mov     si, TABLE
        mov     cl, 4
.scan:
        mov     al, [si+4]
        mov     di, types
        push    cx
        mov     cx, types_end - types
        repne   scasb
        pop     cx
        jne     .next_scan
        call    load_partition
        jc      .next_scan
        cmp     word [LOADAT + 0x5A], 'BO'
        je      boot
        cmp     dword [LOADAT + 3], 'EXFA'
        jne     .not_exfat
        cmp     byte [LOADAT + 7], 'T'
        je      boot
.not_exfat:
        mov     ax, [LOADAT + 1024]
        cmp     ax, 'H+'
        je      boot
        cmp     ax, 'HX'
        je      boot
.next_scan:
        add     si, 16
        loop    .scan
        jmp     short error

boot:
        mov     dl, [drive]             ; DS = 0, SI -> the chosen entry
        jmp     0:LOADAT

; Reads the first three sectors of the partition at DS:SI to 0000:7C00 and
; checks 55 AA at 0000:7DFE. CF set on failure. Keeps SI and CX.
load_partition:
        pusha
        mov     di, 3                   ; attempts
.try:
        push    dword 0                 ; LBA bits 32..63
        push    dword [si+8]            ; LBA bits 0..31
        push    word 0                  ; buffer segment
        push    word LOADAT             ; buffer offset
        push    word 3                  ; sector count
        push    word 0x10               ; packet size
        mov     bp, si
        mov     si, sp
        mov     ah, 0x42
        mov     dl, [drive]
        int     0x13
        lea     sp, [si+16]             ; drop the packet, keep CF
        mov     si, bp
        jnc     .read
        xor     ah, ah                  ; reset the drive and try again
        int     0x13
        dec     di
        jnz     .try
        stc
        jmp     short .done
.read:
        cmp     word [LOADAT + 510], 0xAA55
        je      .done                   ; equal: CF is clear
        stc
.done:
        popa
        ret

error:
        mov     si, msg_prefix
        call    print
        mov     si, msg_error
        call    print
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
        mov     bx, 0x0001
        int     0x10
        jmp     short print
.end:
        ret

types:      db 0x0C, 0x0B, 0x07, 0xAF
types_end:
drive:      db 0
msg_prefix: db 13, 10, "boot0: ", 0
msg_error:  db "error", 0

%if ($ - $$) > 440
%error "boot0 code exceeds 440 bytes"
%endif
        times 510 - ($ - $$) db 0
        dw      0xAA55
