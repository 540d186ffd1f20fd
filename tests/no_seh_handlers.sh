#!/usr/bin/env bash
# The exe is linked --no-seh, which is only true if no code in it registers an SEH handler: on i386
# that means writing the handler chain's head at %fs:0. Disassembles the exe and fails on any write
# there, after proving on a small object that each form of such a write is found.
# Usage: no_seh_handlers.sh OBJDUMP ASSEMBLER EXE
set -euo pipefail
objdump="$1" assembler="$2" exe="$3"

# AT&T syntax puts the destination last: a mov (or any two-operand write) into %fs:0x0, or a pop
# into it, which is how a handler is unlinked again.
writes_fs0() {
  "$objdump" -d "$1" | grep -E '(,|\spop[lw]?\s+)%fs:0x0\s*$'
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
canary() {
  printf '.text\n%s\nret\n' "$1" >"$work/canary.s"
  "$assembler" --32 -o "$work/canary.o" "$work/canary.s"
  echo "$work/canary.o"
}
for write in 'movl %esp, %fs:0' 'movl $0, %fs:0' 'popl %fs:0' 'popw %fs:0' 'xchgl %eax, %fs:0'; do
  if ! writes_fs0 "$(canary "$write")" >/dev/null; then
    echo "the check misses a registration written as: $write" >&2
    exit 1
  fi
done
# Reading the chain, or writing elsewhere in the thread block, is no registration.
if writes_fs0 "$(canary $'pushl %fs:0\nmovl %fs:0, %eax\nmovl %eax, %fs:0x18')"; then
  echo "the check takes a read for a registration" >&2
  exit 1
fi

if writes_fs0 "$exe"; then
  echo "$exe registers an SEH handler (above), so --no-seh is false" >&2
  exit 1
fi
echo "no write to %fs:0 in $exe"
