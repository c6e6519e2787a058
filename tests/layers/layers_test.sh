#!/usr/bin/env bash
# The layers stack one way: for each layer, a file that includes a header of
# the layer above it, built with that layer's own target settings, must fail
# to compile because the header is not found (and for no other reason).
#   layers_test.sh BUILD_DIR
set -uo pipefail
build=$1
failures=0
for check in platform_includes_transport:transport/fax_device.h \
             transport_includes_protocol:protocol/fax_packet.h \
             protocol_includes_server:server/usbfax.h; do
  target=tessaline_layer_check_${check%%:*} header=${check#*:}
  out=$(cmake --build "$build" --target "$target" 2>&1)
  if [ $? = 0 ]; then
    echo "FAIL  $target compiled: $header is visible from the layer below"
    failures=$((failures + 1))
  elif grep -qE "$header(: No such file|' file not found)" <<<"$out"; then
    echo "ok    $target: $header not found"
  else
    echo "FAIL  $target failed for another reason:"
    echo "$out" | tail -20
    failures=$((failures + 1))
  fi
done
exit $((failures > 0))
