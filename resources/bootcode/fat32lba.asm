; Fat32LBA - FreeDOS FAT32 partition boot record (INT 13h extensions).
;
; Loaded by the MBR to 0000:7C00 and entered with DL = boot drive. Bytes
; 3..89 carry the volume's BIOS parameter block, copied in by the installer;
; HiddenSectors must hold the partition's start LBA.
;
; Steps: move this sector to 1FE0:7C00 (linear 0x27A00), print
; "Loading FreeDOS ", find "KERNEL  SYS" in the root directory, load the whole
; file to 0060:0000 and jump there with DL = BL = drive, DS = SS = 0x1FE0 and
; BP = 0x7C00, so that SS:BP points at this sector and its BPB, as the FreeDOS
; kernel expects. Sectors are 512 bytes.
;
; Memory: 0x00600..0x21FFF the kernel (at most 137,728 bytes; each root
;         directory cluster is read here as well while searching),
;         0x22000 one FAT sector, 0x27A00 this sector, stack below it.
; Kernel missing (or unreadable, or too large): "No KERNEL  SYS", wait for a
; key, INT 19h.

        cpu     386
%include "fat32_root.inc"

        bits    16
        org     0x7C00

; BP = 0x7C00 throughout; fields are addressed as [bp+offset].
SPC             equ 0x0D        ; sectors per cluster (byte)
RESERVED        equ 0x0E        ; reserved sectors (word)
NFATS           equ 0x10        ; number of FATs (byte)
HIDDEN          equ 0x1C        ; hidden sectors = partition start (dword)
FATSZ           equ 0x24        ; sectors per FAT (dword)
ROOT            equ 0x2C        ; first cluster of the root directory (dword)
DRIVE           equ 0x40        ; drive number byte, replaced by DL at run time
FAT_START       equ 0x4C        ; run time: LBA of the first FAT (dword)
DATA_START      equ 0x50        ; run time: LBA of cluster 2 (dword)
RELOC_SEG       equ 0x1FE0
KERNEL_SEG      equ 0x0060
FAT_SEG         equ 0x2200
MAX_SECTORS     equ (0x22000 - 0x600) / 512

        jmp     short start     ; EB 58 90
        nop
        times 90 - ($ - $$) db 0

start:
        cli
        cld
        xor     ax, ax
        mov     ds, ax
        mov     si, 0x7C00
        mov     di, si
        push    RELOC_SEG
        pop     es
        mov     cx, 256
        rep     movsw
        jmp     RELOC_SEG:relocated
relocated:
        push    es
        pop     ds
        push    es
        pop     ss
        mov     bp, 0x7C00
        lea     sp, [bp-0x20]
        sti
        mov     [bp+DRIVE], dl

        mov     si, msg_loading
        call    print

        ; FAT start = reserved sectors + hidden sectors (the partition start).
        movzx   eax, word [bp+RESERVED]
        add     eax, [bp+HIDDEN]
        mov     [bp+FAT_START], eax
        movzx   ebx, byte [bp+NFATS]
        imul    ebx, [bp+FATSZ]
        add     eax, ebx
        mov     [bp+DATA_START], eax

        mov     ah, 0x41
        mov     bx, 0x55AA
        int     0x13
        jc      fail
        cmp     bx, 0xAA55
        jne     fail
        shr     cx, 1
        jnc     fail

        ; Search the root directory, one cluster at a time.
        FIND_IN_ROOT KERNEL_SEG, kernel_name, found, fail

fail:
        mov     si, msg_no_kernel
        call    print
        xor     ah, ah
        int     0x16
        int     0x19

found:
        mov     eax, [es:di+28]         ; file size
        dec     eax
        cmp     eax, MAX_SECTORS * 512  ; rejects an empty file too (size-1 wraps)
        jae     fail
        shr     eax, 9
        inc     ax
        xchg    si, ax                  ; SI = sectors still to load
        mov     ax, [es:di+20]
        shl     eax, 16
        mov     ax, [es:di+26]          ; EAX = first cluster
.load:
        movzx   cx, byte [bp+SPC]
        cmp     cx, si
        jbe     .whole
        mov     cx, si                  ; the file ends inside this cluster
.whole:
        call    read_cluster
        sub     si, cx
        jz      .jump
        shl     cx, 5                   ; sectors -> paragraphs
        mov     dx, es
        add     dx, cx
        mov     es, dx
        call    next_cluster
        jnc     .load
        jmp     short fail              ; the chain ends before the file does
.jump:
        mov     dl, [bp+DRIVE]
        mov     bl, dl
        jmp     KERNEL_SEG:0

%define READ_FAILED fail
%include "fat32_chain.inc"

; Prints the zero-terminated text at DS:SI.
print:
        lodsb
        test    al, al
        jz      .end
        mov     ah, 0x0E
        xor     bx, bx
        int     0x10
        jmp     short print
.end:
        ret

msg_loading:    db "Loading FreeDOS ", 0
msg_no_kernel:  db "No "
kernel_name:    db "KERNEL  SYS", 0

%if ($ - $$) > 510
%error "Fat32LBA does not fit in one sector"
%endif
        times 510 - ($ - $$) db 0
        dw      0xAA55
