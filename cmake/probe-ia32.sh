#!/bin/sh
# probe-ia32.sh: exits 0 when this machine's kernel runs 32-bit x86 programs
# (what Wine's 32-bit loader needs to run the i686 build), 1 when it does not,
# 2 when the probe cannot be built (no binutils).
# It assembles and links a static 32-bit Linux program of a few instructions
# that writes "ia32" through int $0x80 and exits 0, then runs it. A kernel
# without IA-32 emulation refuses to start it.
set -u
command -v as >/dev/null 2>&1 && command -v ld >/dev/null 2>&1 || exit 2
work=$(mktemp -d "${TMPDIR:-/tmp}/probe-ia32.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
cat >"$work/probe.s" <<'EOF'
        .section .rodata
text:   .ascii "ia32"
        .text
        .globl _start
_start: movl $4, %eax           # write(1, text, 4)
        movl $1, %ebx
        movl $text, %ecx
        movl $4, %edx
        int $0x80
        movl $1, %eax           # exit(0)
        xorl %ebx, %ebx
        int $0x80
EOF
as --32 -o "$work/probe.o" "$work/probe.s" 2>/dev/null || exit 2
ld -m elf_i386 -static -o "$work/probe" "$work/probe.o" 2>/dev/null || exit 2
out=$("$work/probe" 2>/dev/null) || exit 1
[ "$out" = ia32 ] || exit 1
exit 0
