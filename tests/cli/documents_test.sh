#!/usr/bin/env bash
# Documents in, faxes out: the tessaline command converts what it sends and
# exports what arrived, against tessaline-simd in loopback (a fax sent to the
# device's own number comes back as a received fax).
#
#   documents_test.sh BUILD_DIR
set -uo pipefail

bin=$1
name=documents
# shellcheck source=tests/cli/harness.sh
source "$(dirname "$0")/harness.sh"
private_devices
export TMPDIR=$work/tmp  # every temporary file of the command goes here, to be checked
mkdir -p "$TMPDIR"

no_temp_left() { [ -z "$(ls -A "$TMPDIR")" ] || fail "temporary files left after $1: $(ls -A "$TMPDIR")"; }

# tiff_is FILE PAGES WIDTH XRES YRES: a fax image of that many pages, each
# of that width and resolution, CCITT G4 compressed.
tiff_is() {
  local info; info=$(tiffinfo "$1" 2>&1)
  local pages; pages=$(grep -c '^TIFF Directory' <<<"$info")
  [ "$pages" -eq "$2" ] || fail "$1 has $pages pages, expected $2"
  [ "$(grep -c "Image Width: $3 " <<<"$info")" -eq "$2" ] || fail "$1 is not $3 pixels wide on every page: $info"
  [ "$(grep -c "Resolution: $4, $5 pixels/inch" <<<"$info")" -eq "$2" ] || fail "$1 is not $4 x $5 dpi: $info"
  [ "$(grep -c 'CCITT Group 4' <<<"$info")" -eq "$2" ] || fail "$1 is not G4 compressed: $info"
}
pdf_pages() { gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=bbox "$1" 2>&1 | grep -c '^%%BoundingBox'; }

# receive_next FILE: waits for the fax that loopback makes of the last send
# and downloads it to FILE.
received=0
receive_next() {
  received=$((received + 1))
  run 0 wait
  local name; name=$(printf 'fax%04d.tif' "$received")
  run 0 get "$name" -o "$1"
  last_name=$name
}

start_device --loopback --fax-number 5550100

# The documents: a 3-page PDF, PostScript, text with a form feed, a PNG, a
# JPEG, a colour TIFF that is no fax image, and a fax image.
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o "$work/three.pdf" \
  -c '/Helvetica findfont 48 scalefont setfont 1 1 3 { 72 400 moveto (Page ) show 3 string cvs show showpage } for'
printf '%%!PS\n/Times-Roman findfont 30 scalefont setfont 72 500 moveto (PostScript) show showpage\n' >"$work/page.ps"
printf 'First page\n\tindented, with UTF-8: caf\xc3\xa9\n\fSecond page\n' >"$work/notes.txt"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=png16m -r40 -o "$work/picture.png" -c '1 0 0 setrgbcolor 100 100 300 500 rectfill showpage'
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeggray -r40 -o "$work/photo.jpg" -c '0.5 setgray 100 100 400 200 rectfill showpage'
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=tiff24nc -r50 -o "$work/colour.tif" -c '0 0 1 setrgbcolor 50 50 200 200 rectfill showpage'
"$bin/tessaline-mktiff" "$work/fax.tif" 2

# A PDF arrives as a 3-page fax image at fine resolution, and its log entry
# says 3 pages; the summary says how many pages went to how many recipients.
run 0 send "$work/three.pdf" 5550100 5550199
contains "$out" "3 page(s)"; contains "$out" "2 recipient(s)"
[[ "$err" == *converting* ]] && fail "progress shown off a terminal: $err"
receive_next "$work/three.tif"
tiff_is "$work/three.tif" 3 1728 204 196
run 0 --json log "$last_name"
json '.Pages == 3'
run 0 --json send "$work/three.pdf" 5550100 5550199
json '.pages == 3 and .recipients == 2 and .converted == true and .kind == "a PDF document"'
receive_next "$work/three-again.tif"

# Resolution and paper: 204 x 98 dpi, and Letter's 11 inches at 196 rows an inch.
run 0 send --resolution=normal "$work/three.pdf" 5550100
receive_next "$work/normal.tif"
tiff_is "$work/normal.tif" 3 1728 204 98
run 0 send --paper=letter "$work/page.ps" 5550100
receive_next "$work/letter.tif"
tiff_is "$work/letter.tif" 1 1728 204 196
grep -q 'Image Length: 2156' <(tiffinfo "$work/letter.tif") || fail "a Letter page is not 2156 rows long"

# Text, images and a TIFF that is no fax image are converted.
for kind in "notes.txt 2" "picture.png 1" "photo.jpg 1" "colour.tif 1"; do
  set -- $kind
  run 0 --json send "$work/$1" 5550100
  json ".converted == true and .pages == $2"
  receive_next "$work/$1.fax.tif"
  tiff_is "$work/$1.fax.tif" "$2" 1728 204 196
done

# A fax image, G4 or G3, goes through byte for byte; a bilevel TIFF of
# another width, or of the other resolution when one is asked for, is
# converted.
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=tiffg3 -r204x98 -dDEVICEWIDTH=1728 -dDEVICEHEIGHT=1100 -o "$work/g3.tif" \
  -c '0 setgray 100 100 moveto 900 900 lineto stroke showpage'
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=tiffg4 -r200 -dAdjustWidth=0 -dDEVICEWIDTH=1700 -dDEVICEHEIGHT=2200 -o "$work/wide.tif" \
  -c '0 setgray 100 100 moveto 900 900 lineto stroke showpage'
for case in "fax.tif 2 unchanged" "g3.tif 1 unchanged" "wide.tif 1 converted" "fax.tif 2 converted --resolution normal"; do
  set -- $case
  file=$1 pages=$2 how=$3; shift 3
  run 0 --json send "$@" "$work/$file" 5550100
  json ".pages == $pages and .converted == $([ "$how" = converted ] && echo true || echo false)"
  receive_next "$work/$file.back.tif"
  if [ "$how" = unchanged ]; then
    cmp -s "$work/$file" "$work/$file.back.tif" || fail "the fax image $file did not go through unchanged"
  else
    tiff_is "$work/$file.back.tif" "$pages" 1728 204 "$([ $# -gt 0 ] && echo 98 || echo 196)"
  fi
done

# tessaline-mktiff writes G4 fax pages, and takes its numbers strictly.
tiff_is "$work/fax.tif" 2 1728 204 196
for bad in "3x" "0" "101" "+3" " 3" "0x3"; do
  "$bin/tessaline-mktiff" "$work/bad.tif" "$bad" 2>/dev/null
  [ $? -eq 64 ] || fail "tessaline-mktiff took '$bad' pages"
done
no_temp_left "sending"

# Refusals, before the device is touched: the message names the file, what
# it is and what is accepted. With the device named by a path that does not
# exist, an attempt to reach it would end in status 7 instead.
printf 'PK\003\004 an archive' >"$work/letter.zip"
: >"$work/empty"
printf '%%PDF-1.4\nnot really a PDF\n' >"$work/broken.pdf"
before=$("$bin/tessaline" count)
for refused in "letter.zip 65 a ZIP archive" "empty 65 an empty file" "broken.pdf 65 Ghostscript" \
               "missing.pdf 66 No such file or directory"; do
  set -- $refused
  file=$1 status=$2; shift 2
  TESSALINE_FAX_DEVICE=$work/no-such-device run "$status" send "$work/$file" 5550100
  contains "$err" "$work/$file"; contains "$err" "$*"
  [ "$status" = 66 ] || [ "$file" = broken.pdf ] || contains "$err" "PDF, PostScript, plain text, PNG, JPEG"
done
run 65 --json send "$work/letter.zip" 5550100
json '.cause == "refused" and .exit_status == 65 and (has("status") | not) and (.error | contains("ZIP"))'
[ "$("$bin/tessaline" count)" = "$before" ] || fail "a refused file reached the device"
TESSALINE_GHOSTSCRIPT=$work/no-such-gs run 69 send "$work/three.pdf" 5550100
contains "$err" "Ghostscript"
no_temp_left "refusals"

# A send stopped by a signal while its document is converted leaves no
# temporary file behind (the renderer here takes its time).
printf '#!/bin/sh\necho $$ >"%s"\nexec sleep 30\n' "$work/gs.pid" >"$work/slow-gs"
chmod +x "$work/slow-gs"
TESSALINE_GHOSTSCRIPT=$work/slow-gs "$bin/tessaline" send "$work/notes.txt" 5550100 >/dev/null 2>&1 &
job=$!
for _ in $(seq 100); do [ "$(ls -A "$TMPDIR" | wc -l)" -ge 2 ] && break; sleep 0.05; done
[ "$(ls -A "$TMPDIR" | wc -l)" -ge 2 ] || fail "the conversion made no temporary files: $(ls -A "$TMPDIR")"
kill -TERM "$job"; wait "$job"; rc=$?; job=
[ "$rc" -eq 143 ] || fail "a send stopped by SIGTERM exited $rc"
sleep 0.2
# (ended, or a zombie waiting for a parent to collect it)
[[ "$(ps -o stat= -p "$(cat "$work/gs.pid")")" == [^Z]* ]] && fail "the renderer outlived the send stopped by a signal"
no_temp_left "a send stopped by a signal"

# A file that is no fax image, sent with --raw, is refused by the device as
# a fax machine would: an outcome status, and nothing received.
run 8 send --raw "$work/letter.zip" 5550100
[ "$("$bin/tessaline" count)" = "$before" ] || fail "the device received a job that is no TIFF"

# Looking at what arrived: a PDF of as many pages as the fax, to a file or
# to standard output, and the fax itself to standard output.
run 0 get fax0001.tif -o "$work/first.pdf"
[ "$(pdf_pages "$work/first.pdf")" = 3 ] || fail "the PDF of a 3-page fax has $(pdf_pages "$work/first.pdf") pages"
"$bin/tessaline" get fax0001.tif --pdf --output=- >"$work/stdout.pdf" || fail "get --pdf -o -"
[ "$(pdf_pages "$work/stdout.pdf")" = 3 ] || fail "the PDF on standard output has the wrong page count"
"$bin/tessaline" get fax0001.tif -o - >"$work/stdout.tif" || fail "get -o -"
cmp -s "$work/stdout.tif" "$work/three.tif" || fail "the fax on standard output differs from the download"
(cd "$work" && "$bin/tessaline" get fax0002.tif --pdf >/dev/null) || fail "get --pdf"
[ -s "$work/fax0002.pdf" ] || fail "get --pdf did not write fax0002.pdf"
no_temp_left "exporting"

# list -l: each fax with its log entry, as a table and in JSON.
run 0 list -l
contains "$out" "NAME"; contains "$out" "PAGES"
grep -Eq '^fax0001\.tif +20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9:]{8} +3 +[0-9]+s +\+1 555 0100$' <<<"$out" ||
  fail "list -l row of fax0001.tif: $out"
run 0 --json list -l
json '.faxes[0].name == "fax0001.tif" and .faxes[0].Pages == 3 and .faxes[0].CIS == "+1 555 0100"'
json "(.faxes | length) == $received"

# On a terminal: the page being converted, the line cleared at the end.
"$bin/tests/pty_run" "page 3 of 3" "" "$bin/tessaline" send "$work/three.pdf" 5550199 >"$work/pty.out" 2>&1 ||
  fail "send on a terminal: $(cat -v "$work/pty.out")"
grep -q "converting $work/three.pdf: page 1 of 3" "$work/pty.out" || fail "no conversion progress: $(cat -v "$work/pty.out")"
shown=$(cat "$work/pty.out")
rest=${shown##*page 3 of 3}
[[ "$rest" == $'\e[K'*$'\r\e[K'*"sent 3 page(s)"* ]] ||
  fail "the progress line was not cleared before the summary: $(cat -v "$work/pty.out")"

finish
