#!/usr/bin/env bash
# `tessaline web` against tessaline-simd, seen from a browser: headless
# Chromium renders the device's pages through the proxy (a screenshot of
# each is kept in ARTIFACTS), curl posts the settings form and downloads a
# fax, and the listening sockets are on loopback only.
#
#   web_test.sh BUILD_DIR ARTIFACTS
set -uo pipefail
bin=$1
artifacts=$2
name=web
# shellcheck source=tests/cli/harness.sh
source "$(dirname "$0")/harness.sh"
private_devices
mkdir -p "$artifacts"
web=

stop_web() {
  [ -n "$web" ] || return 0
  kill -INT "$web"
  wait "$web"
  local rc=$?
  [ "$rc" -eq 0 ] || fail "tessaline web exited $rc after SIGINT, expected 0"
  web=
}
suite_cleanup() { stop_web; }

for program in chromium curl ss; do
  command -v "$program" >/dev/null || { skip "$program is not installed (scripts/install-deps.sh)"; finish; }
done

mkdir "$work/faxes"
head -c 70000 /dev/urandom >"$work/faxes/fax0007.tif"
printf 'II*\0second' >"$work/faxes/front desk.tif"
start_device --faxes "$work/faxes"

"$bin/tessaline" web --port 0 >"$work/web.out" 2>"$work/web.err" &
web=$!
for _ in $(seq 100); do grep -q '^serving' "$work/web.out" && break; sleep 0.05; done
port=$(sed -n 's|^serving the device.s web pages at http://localhost:\([0-9]*\)/$|\1|p' "$work/web.out")
[ -n "$port" ] || fail_now "no port printed: $(cat "$work/web.out" "$work/web.err")"
url=http://localhost:$port

# Loopback only: every listening socket of the process.
listening=$(ss -ltnpH | grep "pid=$web," | awk '{print $4}' | sort)
[ "$listening" = "$(printf '127.0.0.1:%s\n[::1]:%s' "$port" "$port" | sort)" ] ||
  fail "listening on: $listening"

# The pages in a browser, through the proxy.
browse() {  # browse PAGE NAME: the rendered DOM in $work/NAME.html, a screenshot in ARTIFACTS
  # A profile of its own for each run: a second browser on the same
  # profile would hand its work to the first and leave.
  local flags=(--headless --no-sandbox --disable-gpu --no-first-run --window-size=1024,768)
  timeout 60 chromium "${flags[@]}" --user-data-dir="$work/chromium-$2-dom" --dump-dom "$url$1" >"$work/$2.html" 2>"$work/chromium.err" ||
    fail "chromium could not load $1: $(tail -3 "$work/chromium.err")"
  rm -f "$artifacts/$2.png"
  timeout 60 chromium "${flags[@]}" --user-data-dir="$work/chromium-$2-shot" --screenshot="$artifacts/$2.png" \
    "$url$1" >/dev/null 2>>"$work/chromium.err"
  [ -s "$artifacts/$2.png" ] || fail "no screenshot of $1"
}
browse / home
contains "$(cat "$work/home.html")" 'id="fax-name">Tessaline Simulated Fax<'
contains "$(cat "$work/home.html")" '<a href="/faxes">2</a>'
browse /faxes faxes
contains "$(cat "$work/faxes.html")" 'href="/faxes/fax0007.tif">fax0007.tif</a>'
contains "$(cat "$work/faxes.html")" 'href="/faxes/front%20desk.tif">front desk.tif</a>'

# The settings form, posted as a browser posts it, is saved on the device.
code=$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' --data-urlencode 'FaxName=Reception & post' \
  -d FaxNumber=5550142 "$url/settings")
[ "$code" = "303 $url/settings" ] || fail "POST /settings answered $code"
run 0 settings --json
json '.FaxName == "Reception & post" and .FaxNumber == "5550142"'
browse /settings settings
contains "$(cat "$work/settings.html")" 'value="Reception &amp; post"'

# A download through the proxy is the fax as get gives it.
for fax in fax0007.tif "front desk.tif"; do
  curl -s -o "$work/web.tif" "$url/faxes/${fax// /%20}" || fail "curl could not download $fax"
  run 0 get "$fax" -o "$work/get.tif"
  cmp -s "$work/web.tif" "$work/get.tif" || fail "$fax through the proxy differs from tessaline get's"
done

# Keep-alive: several requests on one connection.
curl -sv -o /dev/null -o /dev/null -o /dev/null "$url/" "$url/style.css" "$url/logo.png" 2>"$work/curl.err"
[ "$(grep -c 'Re-using existing connection' "$work/curl.err")" -eq 2 ] ||
  fail "curl's requests did not share a connection: $(grep -i connect "$work/curl.err")"

# Refused, and never passed on: a foreign Host for GET and POST, Upgrade,
# CONNECT.
check_status() {  # check_status EXPECTED CURL-ARGS...
  local want=$1 got
  shift
  got=$(curl -s -o /dev/null -w '%{http_code}' "$@")
  [ "$got" = "$want" ] || fail "curl $* answered $got, expected $want"
}
check_status 421 -H 'Host: rebound.example' "$url/"
check_status 421 -H "Host: rebound.example:$port" -d FaxName=Rebound "$url/settings"
check_status 501 -H 'Connection: Upgrade' -H 'Upgrade: websocket' "$url/"
check_status 405 -X CONNECT "$url/"
run 0 settings --json
json '.FaxName == "Reception & post"'

stop_web
log=$(cat "$work/web.err")
contains "$log" "GET / 200 "
contains "$log" "POST /settings 303 "
contains "$log" "POST /settings 421 0 "
finish
