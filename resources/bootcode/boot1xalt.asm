; boot1xalt - exFAT partition boot record (two sectors) that loads the root
; file "boot".
;
; Loaded to 0000:7C00 and entered with DL = boot drive and DS:SI -> the MBR
; partition entry. Bytes 0..119 of sector 0 are the volume's boot-sector header,
; copied in by the installer. Sector 1 (continuation code and texts) is used
; from 0000:7E00: an MBR that loads several sectors has put it there already;
; otherwise this code reads it itself.
;
; Steps: print "boot1x: init", wait about 2 s for a key (a digit d selects
; "boot<d>"), find the name in the root directory (File, Stream Extension and
; File Name entries; hash and case-insensitive name compare), load the file to
; linear 0x20200 (contiguous when NoFatChain is set, else along the FAT) and
; jump to 2000:0200 with DL = drive. Sectors are 512 bytes.
;
; Memory: 0000:7C00 sector 0, 0000:7E00 sector 1, stack below 0x7C00,
;         0000:8000 one FAT sector, 0000:8200 one directory sector,
;         0000:8400 the matching Stream Extension entry,
;         0x20200 and up the loaded file (it must end below the BIOS's extended
;         data area, 523,776 bytes at most).

        cpu     386
        bits    16
        org     0x7C00

; BP = 0x7C00 throughout; fields are addressed as [bp+offset].
PART_OFFSET     equ 64          ; PartitionOffset (qword)
FAT_OFFSET      equ 80          ; FatOffset (dword)
HEAP_OFFSET     equ 88          ; ClusterHeapOffset (dword)
ROOT_CLUSTER    equ 96          ; FirstClusterOfRootDirectory (dword)
BPS_SHIFT       equ 108         ; BytesPerSectorShift (byte)
SPC_SHIFT       equ 109         ; SectorsPerClusterShift (byte)
DRIVE           equ 111         ; DriveSelect, replaced by DL at run time
; Run-time values in the header bytes that are zero on disk (11..63).
PART            equ 12          ; partition start LBA (dword)
FAT_LBA         equ 16          ; LBA of the FAT (dword)
HEAP_LBA        equ 20          ; LBA of cluster 2 (dword)
NAME_LEN        equ 24          ; characters in the name (byte)
NAME_HASH       equ 26          ; hash of the up-cased name (word)

SECTOR1         equ 0x7E00
FAT_SEG         equ 0x0800
DIR_SEG         equ 0x0820
DIR_BUF         equ 0x8200
STREAM          equ 0x8400
LOAD_SEG        equ 0x2020

        jmp     short start     ; EB 76 90
        nop
        times 120 - ($ - $$) db 0

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, 0x7C00
        mov     bp, sp
        mov     ebx, [si+8]             ; the MBR entry's start, read with the MBR's DS
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     [bp+DRIVE], dl

        ; Partition start: PartitionOffset, or the MBR entry when that is 0.
        ; Only 32-bit LBAs are handled.
        mov     eax, [bp+PART_OFFSET]
        cmp     dword [bp+PART_OFFSET+4], 0
        jne     error
        test    eax, eax
        jnz     .have_start
        xchg    eax, ebx
.have_start:
        mov     [bp+PART], eax
        mov     ebx, [bp+FAT_OFFSET]
        add     ebx, eax
        mov     [bp+FAT_LBA], ebx
        add     eax, [bp+HEAP_OFFSET]
        mov     [bp+HEAP_LBA], eax
        cmp     byte [bp+BPS_SHIFT], 9
        jne     error

        mov     ah, 0x41
        mov     bx, 0x55AA
        int     0x13
        jc      error
        cmp     bx, 0xAA55
        jne     error
        shr     cx, 1
        jnc     error

        ; Sector 1 already in place? Otherwise read it.
        call    have_sector1
        je      .ready
        mov     eax, [bp+PART]
        inc     eax
        push    SECTOR1 >> 4
        pop     es
        mov     cx, 1
        call    read
        call    have_sector1
        jne     error
.ready:
        jmp     sector1_main

; ZF set when our sector 1 is at 0000:7E00: its texts start there and it ends
; in 00 00 55 AA.
have_sector1:
        cmp     dword [SECTOR1 + 508], 0xAA550000
        jne     .ret
        cmp     dword [SECTOR1 + 2], 'boot'
.ret:
        ret

; Reads CX sectors (1..128) from LBA EAX to ES:0000. Keeps registers; a read
; error ends in error.
read:
        pushad
        push    dword 0
        push    eax
        push    es
        push    byte 0
        push    cx
        push    byte 0x10
        mov     si, sp
        mov     ah, 0x42
        mov     dl, [bp+DRIVE]
        int     0x13
        lea     sp, [si+16]
        popad
        jc      error
        ret

; EAX = cluster -> EAX = its first LBA. Keeps the other registers.
cluster_lba:
        push    cx
        sub     eax, 2
        mov     cl, [bp+SPC_SHIFT]
        shl     eax, cl
        add     eax, [bp+HEAP_LBA]
        pop     cx
        ret

; EAX = cluster -> EAX = next cluster from the FAT; CF set at the end of the
; chain (0xFFFFFFFF), on a bad cluster or any value below 2. Keeps registers.
next_cluster:
        push    es
        push    bx
        push    cx
        shl     eax, 2
        mov     bx, ax
        and     bh, 1                   ; BX = byte offset in the FAT sector
        shr     eax, 9
        add     eax, [bp+FAT_LBA]
        push    FAT_SEG
        pop     es
        mov     cx, 1
        call    read
        mov     eax, [es:bx]
        cmp     eax, 2
        jb      .end
        cmp     eax, 0xFFFFFFF7
        cmc
.end:
        pop     cx
        pop     bx
        pop     es
        ret

; Prints "boot1x: error" (from sector 1 when it is there) and halts.
error:
        mov     si, early_error
        call    have_sector1
        jne     .print
        mov     si, msg_prefix
        call    print
        mov     si, msg_error
.print:
        call    print
.halt:
        sti
        hlt
        jmp     short .halt

; Prints the zero-terminated text at DS:SI.
print:
        pusha
.next:
        lodsb
        test    al, al
        jz      .end
        mov     ah, 0x0E
        mov     bx, 0x0001
        int     0x10
        jmp     short .next
.end:
        popa
        ret

early_error:    db 13, 10, "boot1x: error", 0

%if ($ - $$) > 510
%error "boot1xalt sector 0 overflows"
%endif
        times 510 - ($ - $$) db 0
        dw      0xAA55

; ---------------------------------------------------------------- sector 1
msg_prefix:     db 13, 10, "boot1x: ", 0
msg_init:       db "init", 0
msg_error:      db "error", 0
name:           db "boot", 0, 0

sector1_main:
        mov     si, msg_prefix
        call    print
        mov     si, msg_init
        call    print

        ; About 2 s (36 timer ticks of 55 ms) for a key, idle between polls.
        mov     byte [bp+NAME_LEN], 4
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
        jmp     short .hash
.key:
        xor     ah, ah
        int     0x16
        cmp     al, '0'
        jb      .hash
        cmp     al, '9'
        ja      .hash
        mov     [name+4], al            ; "boot<d>"
        inc     byte [bp+NAME_LEN]

        ; NameHash of the up-cased name, as stored in the Stream Extension.
.hash:
        mov     si, name
        movzx   cx, byte [bp+NAME_LEN]
        xor     bx, bx
        xor     ax, ax
.hash_char:
        lodsb
        cmp     al, 'a'
        jb      .upper
        sub     al, 0x20
.upper:
        ror     bx, 1
        add     bx, ax                  ; low byte of the UTF-16 unit
        ror     bx, 1                   ; its high byte is 0
        loop    .hash_char
        mov     [bp+NAME_HASH], bx

        ; Walk the root directory: DH = 0 looking for a File entry, 1 after a
        ; File entry that is not a directory, 2 after its matching Stream
        ; Extension.
        xor     dh, dh
        mov     eax, [bp+ROOT_CLUSTER]
.dir_cluster:
        push    eax
        call    cluster_lba
        mov     cl, [bp+SPC_SHIFT]
        xor     ebx, ebx
        inc     bx
        shl     ebx, cl                 ; EBX = sectors in the cluster
        push    DIR_SEG
        pop     es
.dir_sector:
        mov     cx, 1
        call    read
        mov     di, DIR_BUF
.entry:
        mov     al, [di]
        test    al, al
        jz      error                   ; end of directory
        cmp     dh, 1
        jne     .not_stream
        xor     dh, dh
        cmp     al, 0xC0
        jne     .primary
        mov     cl, [bp+NAME_LEN]
        cmp     [di+3], cl
        jne     .next_entry
        mov     cx, [bp+NAME_HASH]
        cmp     [di+4], cx
        jne     .next_entry
        pusha                           ; keep the stream entry for loading
        push    es
        push    ds
        pop     es
        mov     si, di
        mov     di, STREAM
        mov     cx, 16
        rep     movsw
        pop     es
        popa
        mov     dh, 2
        jmp     short .next_entry
.not_stream:
        cmp     dh, 2
        jne     .primary
        xor     dh, dh
        cmp     al, 0xC1
        jne     .primary
        ; Compare the name, ignoring ASCII case.
        pusha
        push    es
        push    ds
        pop     es
        lea     si, [di+2]
        mov     di, name
        movzx   cx, byte [bp+NAME_LEN]
.name_char:
        lodsw
        test    ah, ah
        jnz     .name_done
        or      al, 0x20
        scasb
        jne     .name_done
        loop    .name_char
.name_done:
        pop     es
        popa
        je      found
        jmp     short .next_entry
.primary:
        cmp     al, 0x85
        jne     .next_entry
        test    byte [di+4], 0x10       ; a directory
        jnz     .next_entry
        mov     dh, 1
.next_entry:
        add     di, 32
        cmp     di, DIR_BUF + 512
        jb      .entry
        inc     eax
        dec     ebx
        jnz     .dir_sector
        pop     eax
        call    next_cluster
        jnc     .dir_cluster
        jmp     error

found:
        pop     eax                     ; the directory cluster is no longer needed
        test    byte [STREAM+1], 1      ; AllocationPossible
        jz      error
        cmp     dword [STREAM+12], 0    ; ValidDataLength, high half
        jne     error
        mov     eax, [STREAM+8]
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
        mov     eax, [STREAM+20]        ; first cluster
        push    LOAD_SEG
        pop     es
        test    byte [STREAM+1], 2      ; NoFatChain: one contiguous run
        jz      .chain
        call    cluster_lba
        movzx   ebx, si
        call    read_run
        jmp     short .jump
.chain:
        push    eax
        call    cluster_lba
        mov     cl, [bp+SPC_SHIFT]
        xor     ebx, ebx
        inc     bx
        shl     ebx, cl
        call    read_run
        pop     eax
        test    si, si
        jz      .jump
        call    next_cluster
        jnc     .chain
        jmp     error                   ; the chain ends before the file does
.jump:
        mov     dl, [bp+DRIVE]
        jmp     0x2000:0x0200

; Loads up to EBX sectors from LBA EAX to ES:0000 and on, at most SI sectors in
; all, 64 sectors per read. Advances ES, decreases SI.
read_run:
        xor     ecx, ecx
        mov     cl, 64
        cmp     ebx, ecx
        jae     .cap_file
        mov     cx, bx
.cap_file:
        cmp     cx, si
        jbe     .read
        mov     cx, si
.read:
        call    read
        add     eax, ecx
        sub     ebx, ecx
        sub     si, cx
        shl     cx, 5                   ; sectors -> paragraphs
        mov     dx, es
        add     dx, cx
        mov     es, dx
        test    si, si
        jz      .done
        test    ebx, ebx
        jnz     read_run
.done:
        ret

%if ($ - $$) > 1020
%error "boot1xalt sector 1 overflows"
%endif
        times 1020 - ($ - $$) db 0
        dd      0xAA550000              ; 00 00 55 AA
