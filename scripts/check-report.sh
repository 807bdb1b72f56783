#!/usr/bin/env bash
# Renders a zebsim report page in a real browser (headless Chromium, Debian's
# chromium package, installed when missing) and fails when the page is blank,
# a picture is missing or a plot is empty. Without an argument it runs the
# demo (scripts/demo.sh) and checks its capture report.
#   scripts/check-report.sh [report.html] [screenshot.png]
# The screenshot goes to the given path (default: beside the page, .png).
# The page itself needs no script: the check runs on a copy with a probe
# appended that marks, once the page has loaded, every picture that did not
# decode and every plot without data.
set -euo pipefail
cd "$(dirname "$0")/.."
page="${1:-out/demo/capture/report/report.html}"
if [ $# -eq 0 ]; then
  bash scripts/demo.sh >/dev/null
fi
[ -f "$page" ] || { echo "check-report: no page $page" >&2; exit 2; }
page="$(realpath "$page")"
shot="${2:-${page%.html}.png}"

# Asks dpkg first: with the package there, no apt-get runs (and none needs the network).
if ! dpkg-query -W -f='${Status}' chromium 2>/dev/null | grep -q "install ok installed"; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq chromium >/dev/null
fi

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking
       --disable-component-update --disable-sync --user-data-dir="$tmp/profile" --hide-scrollbars)

# The probe: a copy whose relative links still lead beside the page.
probe="$tmp/probe.html"
{
  sed "0,/<head>/s||<head><base href=\"file://$(dirname "$page")/\">|" "$page"
  cat <<'JS'
<script>
window.addEventListener('load', function () {
  var images = Array.prototype.slice.call(document.images);
  var broken = images.filter(function (i) { return !(i.complete && i.naturalWidth > 0); });
  var plots = Array.prototype.slice.call(document.querySelectorAll('svg'));
  var empty = plots.filter(function (s) { return s.querySelectorAll('.mark').length === 0; });
  var out = document.createElement('pre');
  out.id = 'zeb-probe';
  out.textContent = 'images=' + images.length + ' broken=' + broken.length + ' plots=' + plots.length +
      ' empty=' + empty.length + ' text=' + document.body.innerText.length +
      ' missing=' + document.querySelectorAll('.missing').length +
      ' emptyTitles=' + empty.map(function (s) { var t = s.querySelector('title'); return t ? t.textContent : '?'; }).join('|');
  document.body.appendChild(out);
});
</script>
JS
} > "$probe"

timeout 120 chromium "${flags[@]}" --virtual-time-budget=10000 --dump-dom "file://$probe" > "$tmp/dom.html" 2>"$tmp/dom.log" || true
timeout 120 chromium "${flags[@]}" --window-size=1400,3000 --screenshot="$shot" "file://$page" >"$tmp/shot.log" 2>&1 || true

status=0
fail() { echo "check-report: $*" >&2; status=1; }
probe_line="$(grep -o 'id="zeb-probe">images=[0-9][^<]*' "$tmp/dom.html" | sed 's/^id="zeb-probe">//' || true)"
if [ -z "$probe_line" ]; then
  fail "the page did not load in Chromium (no probe result); log: $(tail -3 "$tmp/dom.log")"
else
  echo "check-report: $probe_line"
  get() { echo "$probe_line" | sed -n "s/.*\b$1=\([0-9]*\).*/\1/p"; }
  [ "$(get text)" -gt 200 ] || fail "the page is blank (text $(get text) characters)"
  [ "$(get images)" -gt 0 ] || fail "the page holds no picture"
  [ "$(get broken)" -eq 0 ] || fail "$(get broken) picture(s) did not load"
  [ "$(get missing)" -eq 0 ] || fail "$(get missing) picture(s) missing from the sheets"
  [ "$(get plots)" -gt 0 ] || fail "the page holds no plot"
  [ "$(get empty)" -eq 0 ] || fail "$(get empty) plot(s) without data: $(echo "$probe_line" | sed 's/.*emptyTitles=//')"
fi
# The screenshot is not one colour: something was drawn.
if [ ! -s "$shot" ]; then
  fail "no screenshot; log: $(tail -3 "$tmp/shot.log")"
else
  python3 - "$shot" <<'PY' || status=1
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG'
pos, idat, head = 8, b'', None
while pos < len(data):
    n, kind = struct.unpack('>I4s', data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + n]
    if kind == b'IHDR': head = struct.unpack('>IIBBBBB', body)
    if kind == b'IDAT': idat += body
    pos += 12 + n
w, h, depth, colour, _, _, interlace = head
if depth != 8 or interlace or colour not in (2, 6):
    sys.exit('check-report: screenshot format not checked (depth %d, colour type %d)' % (depth, colour))
bpp = 3 if colour == 2 else 4
raw, stride = zlib.decompress(idat), w * bpp
prev, colours, rows = bytearray(stride), set(), 0
i = 0
for y in range(h):
    f, line = raw[i], bytearray(raw[i + 1:i + 1 + stride]); i += 1 + stride
    for x in range(stride):
        a = line[x - bpp] if x >= bpp else 0
        b, c = prev[x], prev[x - bpp] if x >= bpp else 0
        if f == 1: line[x] = (line[x] + a) & 255
        elif f == 2: line[x] = (line[x] + b) & 255
        elif f == 3: line[x] = (line[x] + (a + b) // 2) & 255
        elif f == 4:
            p = a + b - c; pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    prev = line
    if y % 7 == 0:
        for x in range(0, w, 5): colours.add(bytes(line[x * bpp:x * bpp + 3]))
print('check-report: screenshot %dx%d, %d distinct colours sampled' % (w, h, len(colours)))
if len(colours) < 50:
    sys.exit('check-report: the rendered page is (nearly) uniform')
PY
fi
echo "check-report: screenshot $shot"
[ $status -eq 0 ] && echo "check-report: $page renders with its pictures and plots" || echo "check-report: FAILED" >&2
exit $status
