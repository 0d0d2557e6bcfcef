#!/usr/bin/env bash
# unitmon's web side, inside a network namespace made for this run: web
# configuration files that must be refused, TLS and passwords (a
# certificate made by openssl and a bcrypt hash made by the system's crypt
# now), HTTP as clients expect it, a real Prometheus scraping over https
# with basic_auth, and the fleet page in headless Chromium.
# Usage: web_test.sh UNITMON
set -u
unitmon=$(realpath "$1")
. "$(dirname "$0")/netns_lib.sh"
enter_netns ip curl openssl perl python3 -- "$@"
ip link set lo up || { echo "SKIP: no loopback in the namespace"; exit 77; }
cd "$dir" || exit 1

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=unitmon \
  -addext subjectAltName=IP:127.0.0.1 -keyout key.pem -out cert.pem 2>/dev/null &&
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=other \
    -keyout other.pem -out other-cert.pem 2>/dev/null || { echo "FAIL: openssl made no certificate"; exit 1; }
hash=$(perl -e '@c = ("a".."z", "A".."Z", 0..9, ".", "/"); $s = join "", map { $c[rand @c] } 1..22;
  print crypt("s3cret", "\$2b\$05\$$s")')
case $hash in '$2b$05$'*) ;; *) echo "FAIL: the system's crypt made no bcrypt hash: $hash"; exit 1 ;; esac
config="tls_server_config:
  cert_file: cert.pem
  key_file: key.pem
basic_auth_users:
  prometheus: $hash"
echo "$config" > web.yml
mkdir keydir
echo garbage > garbage.pem

# Configurations refused before anything listens: what, the command that
# writes the file, what the message must say.
while IFS='#' read -r what make want; do
  eval "$make" > bad.yml
  out=$(timeout 10 "$unitmon" --metrics 127.0.0.1:9102 --quiet --web-config bad.yml 2>&1 </dev/null)
  status=$?
  check "refused: $what" test "$status" = 1 -a -n "$(echo "$out" | grep -F -- "$want")"
  [ "$status" = 1 ] || echo "  status $status, said: $out"
done <<'EOF'
not a mapping#echo '- tls_server_config'#not a mapping
a key it does not know#echo "$config"; echo 'http_server_config: {http2: true}'#does not know 'http_server_config'
a TLS key it does not know#echo "$config" | sed 's/^  key_file.*/&\n  min_version: TLS13/'#does not know 'min_version'
a key without a certificate#echo "$config" | grep -v cert_file#needs both cert_file and key_file
a key that cannot be read#echo "$config" | sed 's/key.pem/keydir/'#keydir: not a regular file
a certificate that does not load#echo "$config" | sed 's/cert.pem/garbage.pem/'#garbage.pem and key.pem
a key of another certificate#echo "$config" | sed 's/key.pem/other.pem/'#cert.pem and other.pem
a password that is not bcrypt#echo "$config" | sed 's/\$2b\$05\$/$1$/'#is not a bcrypt hash
1 MB of YAML#python3 -c 'print("basic_auth_users:"); [print(f"  u{i}: x") for i in range(60000)]'#larger than 65536 bytes
aliases that would expand#printf 'basic_auth_users:\n  a: &x "%s"\n  b: *x\n' "$hash"#aliases are not taken
YAML that is not YAML#printf 'basic_auth_users: {a: "unclosed\n'#line 
EOF
check "refused: no such file" bash -c '"$1" --metrics 9102 --web-config missing.yml 2>&1 | grep -q "missing.yml: No such file"' _ "$unitmon"

# First a unitmon over TLS with passwords, with two units and one whose
# serial number is markup; then a plain one on IPv6's unspecified address.
"$unitmon" --metrics 127.0.0.1:9102 --quiet --web-config web.yml 2> tls.err &
tls_pid=$!
pids+=("$tls_pid")
send() {  # serial battery: identity, version and status of a unit at 127.0.0.N
  python3 - "$@" <<'PY'
import socket, sys
serial, battery, n = sys.argv[1].encode(), int(sys.argv[2]), int(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.%d" % n, 0))
for d in (b"\0\2" + serial.ljust(11, b"\0") + bytes(15) + bytes([n]), b"\0\1\1\4\0\2",
          b"\0\0" + bytes([battery, 1])):
    s.sendto(d, ("127.0.0.1", 2013))
PY
}
send 'SU01-00042' 9 2
send '<script>' 55 3
send 'SU01-00007' 80 4
ok=false
for _ in $(seq 50); do
  curl -sk -u prometheus:s3cret https://127.0.0.1:9102/metrics | grep -q 'serial="SU01-00007"' && ok=true && break
  sleep 0.1
done
check "the TLS exporter answers" $ok

tls=(-s --cacert cert.pem https://127.0.0.1:9102/metrics)
echo "Authorization: Basic $(head -c 1000000 /dev/zero | tr '\0' A)" > huge-header
# Requests: what, the HTTP status wanted (or "none": no HTTP answer), curl arguments.
while IFS='|' read -r what want args; do
  eval "set -- $args"
  code=$(curl -o /dev/null -w '%{http_code}' --max-time 10 "$@")
  [ "$want" = none ] && want=000
  check "$what: $want" test "$code" = "$want"
done <<EOF
the right password|200|-u prometheus:s3cret ${tls[*]}
a wrong password|401|-u prometheus:wrong ${tls[*]}
an unknown user|401|-u nobody:s3cret ${tls[*]}
no password|401|${tls[*]}
an Authorization that is not base64|401|-H 'Authorization: Basic !!not64' ${tls[*]}
a password of 1 MB|431|-H @huge-header ${tls[*]}
plain HTTP to the TLS port|none|-s http://127.0.0.1:9102/metrics
a certificate from elsewhere|none|-s --cacert other-cert.pem https://127.0.0.1:9102/metrics
the page, with the password|200|-u prometheus:s3cret ${tls[*]%/metrics}/
POST|405|-X POST -u prometheus:s3cret ${tls[*]}
EOF
# Client certificates signed by a CA of the site's.
ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
openssl req -x509 "${ec[@]}" -days 2 -subj /CN=site-ca -keyout ca.key -out ca.pem 2>/dev/null &&
  openssl req "${ec[@]}" -subj /CN=prometheus -keyout client.key -out client.csr 2>/dev/null &&
  openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out client.pem 2>/dev/null
printf 'tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n  client_ca_file: ca.pem\n  client_auth_type: RequireAndVerifyClientCert\n' > client.yml
"$unitmon" --metrics 127.0.0.1:9104 --quiet --web-config client.yml 2> /dev/null &
client_pid=$!
for _ in $(seq 50); do curl -s --cacert cert.pem https://127.0.0.1:9104/ -o /dev/null && break; sleep 0.1; done
while IFS='|' read -r what want args; do
  check "client certificates, $what: $want" \
    test "$(curl -s -o /dev/null -w '%{http_code}' --cacert cert.pem $args https://127.0.0.1:9104/metrics)" = "$want"
done <<EOF
one the CA signed|200|--cert client.pem --key client.key
none|403|
one the CA did not sign|403|--cert other-cert.pem --key other.pem
EOF
kill "$client_pid"

# A handshake that stops half-way holds no scrape up.
exec 3<>/dev/tcp/127.0.0.1/9102 && printf '\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03' >&3
check "a scrape while a handshake hangs half-way" \
  test "$(curl -o /dev/null -w '%{http_code}' --max-time 5 -u prometheus:s3cret "${tls[@]}")" = 200
exec 3>&-
check "401 asks for Basic" bash -c 'curl -sD - -o /dev/null "$@" | grep -qi "^WWW-Authenticate: Basic"' _ "${tls[@]}"
check "405 says what is allowed" bash -c 'curl -sD - -o /dev/null -X PUT "$@" | grep -qi "^Allow: GET, HEAD"' _ "${tls[@]}"
check "HEAD says the length without the body" \
  bash -c 'curl -sI -u prometheus:s3cret "$@" | grep -qi "^Content-Length: [1-9]"' _ "${tls[@]}"
check "one connection serves two scrapes" \
  bash -c 'curl -v -u prometheus:s3cret "$@" "${@: -1}" -o /dev/null -o /dev/null 2>&1 | grep -q "Re-using existing connection"' _ "${tls[@]}"

# gzip: asked for, answered smaller, the same units inside.
curl -s -u prometheus:s3cret -H 'Accept-Encoding: gzip' -D gz.head -o gz.body "${tls[@]}"
curl -s -u prometheus:s3cret -o plain.body "${tls[@]}"
check "gzip asked, gzip answered" grep -qi '^Content-Encoding: gzip' gz.head
check "gzipped is smaller" test "$(stat -c %s gz.body)" -lt "$(stat -c %s plain.body)"
check "and holds the same units" \
  bash -c 'grep -q "^unitmon_unit_.*SU01-00007" plain.body &&
           diff <(gzip -dc gz.body | grep ^unitmon_unit_) <(grep ^unitmon_unit_ plain.body)'
check "no gzip unasked" bash -c 'curl -sD - -o /dev/null -u prometheus:s3cret "$@" > head &&
  grep -q "^HTTP/1.1 200" head && ! grep -qi "^Content-Encoding" head' _ "${tls[@]}"
check "build information and start time" bash -c \
  'grep -q "^unitmon_build_info{version=\"[0-9.]*\",revision=\"[0-9a-f]*\(-dirty\)\?\"} 1$" plain.body &&
   grep -q "^process_start_time_seconds 1[0-9]\{9\}\.[0-9][0-9]$" plain.body'

# A real Prometheus over https with basic_auth.
if command -v prometheus >/dev/null; then
  cat > prometheus.yml <<YML
global: {scrape_interval: 1s}
scrape_configs:
  - job_name: unitmon
    scheme: https
    tls_config: {ca_file: $dir/cert.pem}
    basic_auth: {username: prometheus, password: s3cret}
    static_configs: [{targets: ['127.0.0.1:9102']}]
YML
  prometheus --config.file=prometheus.yml --storage.tsdb.path=tsdb --web.listen-address=127.0.0.1:9090 \
    > prometheus.log 2>&1 &
  pids+=("$!")
  query() {
    curl -s --max-time 2 "http://127.0.0.1:9090/api/v1/query" --data-urlencode "query=$1" |
      python3 -c 'import json, sys; print(" ".join(sorted(r["metric"].get("serial", "") + "=" + r["value"][1] for r in json.load(sys.stdin)["data"]["result"])))' 2>/dev/null
  }
  until_query() {
    for _ in $(seq 40); do [ "$(query "$1")" = "$2" ] && return 0; sleep 0.5; done
    echo "  $1 gave: $(query "$1")"
    return 1
  }
  check "Prometheus scrapes over https with basic_auth" \
    until_query unitmon_unit_battery_ratio '<script>=0.55 SU01-00007=0.8 SU01-00042=0.09'
else
  echo "SKIP: no prometheus, no scrape over https"
fi
kill "$tls_pid"
wait "$tls_pid"
check "the TLS unitmon had nothing to say" test -z "$(said tls.err)"

"$unitmon" --metrics '[::]:9103' --quiet --stale 2 2> /dev/null &
pids+=("$!")
send 'SU01-00042' 9 2
send '<script>' 55 3
for family in '[::1]' 127.0.0.1; do
  ok=false
  for _ in $(seq 50); do curl -s "http://$family:9103/metrics" | grep -q SU01-00042 && ok=true && break; sleep 0.1; done
  check "[::]:9103 answers on $family" $ok
done

# The page in a real browser.
chrome=$(command -v chromium chromium-browser 2>/dev/null | head -1)
if [ -z "$chrome" ]; then
  echo "SKIP: no chromium, the page is not shown in a browser"
else
  # Chromium shows the page of the plain unitmon; the units are sent to it.
  chromium() {
    timeout 120 "$chrome" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
      --disable-background-networking --disable-component-update --disable-sync \
      --user-data-dir="$(mktemp -d -p "$dir")" --window-size=1000,400 "$@" http://127.0.0.1:9103/ 2>/dev/null
  }
  chromium --dump-dom > dom.html
  check "the page shows each unit" grep -q 'SU01-00042.*9&nbsp;%' dom.html
  check "the hostile serial number is text" \
    bash -c 'grep -qF "<td>&lt;script&gt;</td>" dom.html && [ "$(grep -c "<script" dom.html)" = 0 ]'
  sleep 3
  chromium --dump-dom > stale.html
  check "a silent unit is marked" grep -q '<tr class="stale"><td>SU01-00042.*silent' stale.html
  chromium --screenshot="$dir/page.png" > /dev/null
  check "the screenshot shows the text and the silent rows" python3 - page.png <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n"
w, h, depth, kind = struct.unpack(">IIBB", data[16:26])
idat, pos = b"", 8
while pos < len(data):
    n, tag = struct.unpack(">I4s", data[pos:pos + 8])
    if tag == b"IDAT": idat += data[pos + 8:pos + 8 + n]
    pos += 12 + n
raw, bpp = zlib.decompress(idat), {2: 3, 6: 4}[kind]
stride, prev, dark, pink = w * bpp, bytearray(w * bpp), 0, 0
for y in range(h):
    f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        a = line[i - bpp] if i >= bpp else 0
        b, c = prev[i], prev[i - bpp] if i >= bpp else 0
        p = a + b - c
        pred = [0, a, b, (a + b) // 2, a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c][f]
        line[i] = (line[i] + pred) & 255
    prev = line
    dark += sum(1 for x in range(0, stride, bpp) if line[x] < 100)
    pink += sum(1 for x in range(0, stride, bpp) if tuple(line[x:x + 3]) == (255, 221, 221))
print(f"  {w}x{h}, {len(data)} bytes, {dark} dark pixels, {pink} of a silent row")
sys.exit(0 if w == 1000 and h == 400 and dark > 2000 and pink > 3000 else 1)
PY
fi
finish
