#!/usr/bin/env bash
# check_windows_exe.sh EXE ARCH: the exe is a console program for ARCH
# (i686 or x86-64) that imports nothing but system DLLs.
set -euo pipefail
exe=$1 arch=$2

case $arch in
    i686) objdump=i686-w64-mingw32-objdump format="file format pei-i386" ;;
    x86-64) objdump=x86_64-w64-mingw32-objdump format="file format pei-x86-64" ;;
    *) echo "unknown architecture: $arch" >&2; exit 2 ;;
esac

headers=$($objdump -p "$exe")
grep -q "$format" <<<"$headers" || { echo "$exe: not $format" >&2; exit 1; }
grep -q "Subsystem.*(Windows CUI)" <<<"$headers" || { echo "$exe: not a console program" >&2; exit 1; }

unexpected=$(grep "DLL Name:" <<<"$headers" | awk '{print toupper($3)}' |
             grep -v -x -E 'KERNEL32.DLL|ADVAPI32.DLL|SETUPAPI.DLL|MSVCRT.DLL' || true)
if [[ -n "$unexpected" ]]; then
    echo "$exe imports DLLs that a clean Windows does not have:" >&2
    echo "$unexpected" >&2
    exit 1
fi
echo "$exe: $format, console, imports: $(grep 'DLL Name:' <<<"$headers" | awk '{print $3}' | tr '\n' ' ')"
