#!/usr/bin/env bash
# Tessaline.dll as a file, read on Linux with the cross toolchain's tools:
#   dll_file_test.sh exports OBJDUMP DLL
#     exactly the four exports, under the name Tessaline.DLL, and imports of
#     system DLLs only (the compiler's runtime is linked in);
#   dll_file_test.sh resources WINDRES DLL VERSION
#     the version resource (VERSION as a.b.c.d), the module's name string and
#     the embedded type library.
# Prints one line per check; exits non-zero if any failed.
set -uo pipefail
. "$(dirname "$0")/../../scripts/wine-common.sh"
what=$1 tool=$2 dll=$3
out=$(mktemp)
trap 'rm -f "$out"' EXIT

case $what in
  exports)
    "$tool" -p "$dll" > "$out" || exit 1
    exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$out" |
              awk 'NR > 1 && /\[/ {print $NF}' | sort | tr '\n' ' ')
    wine_check "exports: $exports" \
      test "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
    wine_check "export directory names Tessaline.DLL" grep -qE '^Name[[:space:]]+[0-9a-f]+ Tessaline\.DLL$' "$out"
    imports=$(awk '/DLL Name:/ {print $3}' "$out" | tr '\n' ' ')
    foreign=$(awk '/DLL Name:/ {print $3}' "$out" |
              grep -viE '^(ADVAPI32|KERNEL32|msvcrt|ole32|OLEAUT32|SETUPAPI|USER32)\.dll$')
    wine_check "imports system DLLs only: $imports" test -z "$foreign"
    ;;
  resources)
    version=$4
    "$tool" -i "$dll" -O rc > "$out" || exit 1
    commas=${version//./, }
    for want in "FILEVERSION $commas" "PRODUCTVERSION $commas" \
                'VALUE "FileDescription", "FAX COM API Server"' "VALUE \"FileVersion\", \"$version\"" \
                "VALUE \"ProductVersion\", \"$version\"" 'VALUE "InternalName", "Tessaline.dll"' \
                'VALUE "OriginalFilename", "Tessaline.dll"' '100, "Tessaline"' '1 "TYPELIB"'; do
      wine_check "resource: $want" grep -qF "$want" "$out"
    done
    ;;
  *) echo "dll_file_test.sh: exports or resources, not $what" >&2; exit 2 ;;
esac
[ "$wine_failed" = 0 ]
