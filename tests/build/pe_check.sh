#!/usr/bin/env bash
# Checks a built exe's PE header with objdump: its import table names Known
# DLLs only (Windows takes those from the system folder whatever lies beside
# the exe; any other DLL must be delay-loaded and loaded from the system
# folder by the entry), and ASLR with high-entropy addresses and DEP stay on.
set -euo pipefail
exe=${1:?usage: pe_check.sh EXE}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
# The Known DLLs of Windows 10 and 11.
known=" advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32
 msctf msvcrt normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi
 user32 wldap32 ws2_32 "
known=$(echo $known)
dump=$("$objdump" -p "$exe")
failed=0
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z')
# An empty list would mean the dump was not understood, not that all is well.
if ! grep -qx kernel32.dll <<<"$imports"; then
  echo "no import of kernel32.dll found in $exe: not a PE dump this script understands"
  exit 1
fi
for dll in $imports; do
  case " $known " in
    *" ${dll%.dll} "*) echo "import: $dll (Known DLL)" ;;
    *) echo "import: $dll is not a Known DLL: it would be looked for beside the exe first"
       failed=1 ;;
  esac
done
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  if grep -qx "[[:space:]]*$flag" <<<"$dump"; then
    echo "flag: $flag"
  else
    echo "flag: $flag is missing from DllCharacteristics"
    failed=1
  fi
done
exit $failed
