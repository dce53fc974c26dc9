; Test payload: plays the part of the file a boot sector loads ("boot",
; "BOOT<d>", KERNEL.SYS). It checks the entry state and that the whole file is
; in memory, reports on COM1 and leaves QEMU through isa-debug-exit (port 0xF4):
; exit value 0x21 on success, 0x40 + check number on a failed check.
;
; Assembled as the first 512 bytes of the file; the test appends the rest of
; the file, where the dword at file offset o holds o XOR 0x5AC3E1F0.
;
; -D values: ORG (entry offset), ENTRY_CS, FREEDOS (1: FreeDOS kernel entry
; contract), SIZE (file size, a multiple of 4), TAG (text reported on success).

        cpu     386
        bits    16
        org     ORG

start:
        call    .here
.here:
        pop     ax
        mov     [cs:entry_ip], ax
        mov     [cs:entry_dx], dx
        mov     [cs:entry_bx], bx
        mov     [cs:entry_bp], bp
        mov     ax, ss
        mov     [cs:entry_ss], ax
        mov     ax, ds
        mov     [cs:entry_ds], ax
        mov     [cs:entry_sp], sp
        push    cs                      ; the stack stays where the boot sector left it
        pop     ds
        cld

        mov     cl, 1
        cmp     word [entry_ip], start + 3
        jne     fail
        inc     cx
        mov     ax, cs
        cmp     ax, ENTRY_CS
        jne     fail
        inc     cx
        cmp     byte [entry_dx], 0x80   ; DL = boot drive
        jne     fail
%if FREEDOS
        inc     cx
        cmp     byte [entry_bx], 0x80   ; BL = DL
        jne     fail
        inc     cx
        cmp     word [entry_ss], 0x1FE0
        jne     fail
        inc     cx
        cmp     word [entry_ds], 0x1FE0
        jne     fail
        inc     cx
        cmp     word [entry_bp], 0x7C00
        jne     fail
        inc     cx                      ; SS:BP -> the boot sector with its BPB
        push    ds
        mov     ds, [entry_ss]
        mov     si, [cs:entry_bp]
        cmp     word [si+0x1FE], 0xAA55
        jne     .bpb_bad
        cmp     word [si+0x0B], 512
.bpb_bad:
        pop     ds
        jne     fail
%endif

        ; Every dword after the first 512 bytes holds its file offset XOR a key.
        inc     cx
        mov     ebx, ENTRY_CS * 16 + ORG + 512     ; linear address of file offset 512
        mov     esi, 512
.check:
        cmp     esi, SIZE
        jae     .checked
        mov     eax, ebx
        shr     eax, 4
        mov     es, ax
        mov     di, bx
        and     di, 15
        mov     eax, esi
        xor     eax, 0x5AC3E1F0
        cmp     [es:di], eax
        jne     fail
        add     ebx, 4
        add     esi, 4
        jmp     short .check
.checked:
        mov     si, msg_ok
        call    serial
        mov     si, tag
        call    serial
        mov     si, crlf
        call    serial
        mov     al, 0x21
        out     0xF4, al
.halt:
        sti
        hlt
        jmp     short .halt

fail:
        mov     si, msg_fail
        call    serial
        mov     al, cl
        add     al, '0'
        call    serial_char
        mov     si, crlf
        call    serial
        mov     al, cl
        add     al, 0x40
        out     0xF4, al
        jmp     short start.halt

; Writes the zero-terminated text at DS:SI to COM1.
serial:
        lodsb
        test    al, al
        jz      .end
        call    serial_char
        jmp     short serial
.end:
        ret

serial_char:
        push    dx
        push    ax
        mov     dx, 0x3FD
.wait:
        in      al, dx
        test    al, 0x20
        jz      .wait
        pop     ax
        mov     dx, 0x3F8
        out     dx, al
        pop     dx
        ret

msg_ok:     db "PAYLOAD OK ", 0
msg_fail:   db "PAYLOAD FAIL ", 0
crlf:       db 13, 10, 0
tag:        db TAG, 0
entry_ip:   dw 0
entry_dx:   dw 0
entry_bx:   dw 0
entry_bp:   dw 0
entry_ss:   dw 0
entry_ds:   dw 0
entry_sp:   dw 0

%if ($ - $$) > 512
%error "payload head exceeds 512 bytes"
%endif
        times 512 - ($ - $$) db 0
