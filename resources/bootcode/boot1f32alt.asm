; boot1f32alt - FAT32 partition boot record that loads the root file BOOT.
;
; Loaded by the MBR to 0000:7C00 and entered with DL = boot drive and
; DS:SI -> the partition entry (DS = 0). Bytes 3..89 carry the volume's BIOS
; parameter block, copied in by the installer; bytes 90..100 hold the 8.3 name
; of the file to load ("BOOT       "), which is also the "BO" mark that the
; boot0 MBR looks for at offset 0x5A.
;
; Steps: wait about 2 s for a key (a digit d selects "BOOT<d>"), find the
; name in the root directory, load the file to linear 0x20200 and jump to
; 2000:0200 with DL = drive. Sectors are 512 bytes.
;
; Memory: 0000:7C00 this sector (not moved), stack below it,
;         0000:7E00 one FAT sector, 0800:0000 one root directory cluster,
;         0x20200 and up the loaded file (it must end below the BIOS's extended
;         data area, 523,776 bytes at most).

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
; Run-time values overwrite the volume label and type text, which this code
; does not need.
FAT_START       equ 0x4C        ; LBA of the first FAT (dword)
DATA_START      equ 0x50        ; LBA of cluster 2 (dword)
FAT_SEG         equ 0x07E0      ; one FAT sector at 0000:7E00
DIR_SEG         equ 0x0800      ; one directory cluster at 0000:8000
LOAD_SEG        equ 0x2020      ; the file at linear 0x20200

        jmp     near start      ; E9 62 00
        times 90 - ($ - $$) db 0
name:   db      "BOOT       "

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, 0x7C00
        mov     bp, sp
        mov     ebx, [si+8]             ; the MBR entry's start, read with the MBR's DS
        mov     ds, ax
        sti
        cld
        mov     [bp+DRIVE], dl

        ; Partition start: hidden sectors, or the MBR entry when that is 0.
        mov     eax, [bp+HIDDEN]
        test    eax, eax
        jnz     .have_start
        xchg    eax, ebx
.have_start:
        movzx   ebx, word [bp+RESERVED]
        add     eax, ebx
        mov     [bp+FAT_START], eax
        movzx   ebx, byte [bp+NFATS]
        imul    ebx, [bp+FATSZ]
        add     eax, ebx
        mov     [bp+DATA_START], eax

        ; INT 13h extensions with the fixed-disk subset are required.
        mov     ah, 0x41
        mov     bx, 0x55AA
        int     0x13
        jc      error
        cmp     bx, 0xAA55
        jne     error
        shr     cx, 1
        jnc     error

        ; About 2 s (36 timer ticks of 55 ms) for a key, idle between polls.
        mov     bx, [0x046C]
.poll:
        mov     ah, 0x01
        int     0x16
        jnz     .key
        hlt                             ; until the next interrupt (timer, keyboard)
        mov     ax, [0x046C]
        sub     ax, bx
        cmp     ax, 36
        jb      .poll
        jmp     short .find
.key:
        xor     ah, ah
        int     0x16
        cmp     al, '0'
        jb      .find
        cmp     al, '9'
        ja      .find
        mov     [name+4], al            ; "BOOT<d>"

        ; Walk the root directory cluster by cluster.
.find:
        FIND_IN_ROOT DIR_SEG, name, found, error

error:
        mov     si, msg_error
.print:
        lodsb
        test    al, al
        jz      .halt
        mov     ah, 0x0E
        mov     bx, 0x0001
        int     0x10
        jmp     short .print
.halt:
        sti
        hlt
        jmp     short .halt

found:
        mov     eax, [es:di+28]         ; file size
        ; The file must end below the top of base memory (BDA word 0x413,
        ; in KiB), where the BIOS keeps its extended data area: at most
        ; 2 * KiB - 257 sectors after 0x20200, which is 523,776 bytes with
        ; 640 KiB. An empty file is refused as well (size - 1 wraps).
        movzx   ecx, word [0x0413]
        add     cx, cx
        sub     cx, 257
        dec     eax
        shr     eax, 9                  ; sectors - 1
        cmp     eax, ecx
        jae     error
        inc     ax
        xchg    si, ax                  ; SI = sectors still to load
        push    word [es:di+20]
        push    word [es:di+26]
        pop     eax                     ; EAX = first cluster
        push    LOAD_SEG
        pop     es
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
        jmp     short error             ; the chain ends before the file does
.jump:
        mov     dl, [bp+DRIVE]
        jmp     0x2000:0x0200

%define READ_FAILED error
%include "fat32_chain.inc"

msg_error:  db 13, 10, "boot1: error", 0

%if ($ - $$) > 510
%error "boot1f32alt does not fit in one sector"
%endif
        times 510 - ($ - $$) db 0
        dw      0xAA55
