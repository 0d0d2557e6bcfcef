#!/usr/bin/env bash
# The install: for each prefix and each init system of the board, the board
# component puts the init file where that init system looks for it (for the
# usual prefixes), and every init file it installs starts a program that the
# same install put there; the configuration file a systemd unit names is
# installed too. A board build installs no operator's tool by default.
# Usage: install_test.sh SOURCE_DIR CMAKE
set -u
src=$1 cmake=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
b=$dir/build
configure() { "$cmake" -S "$src" -B "$b" -DBOARD_TESTS=OFF "$@" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }; }
configure -DCMAKE_INSTALL_PREFIX=/usr || exit 1
"$cmake" --build "$b" -j2 --target unitctl mcuflash unitmon >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; exit 1; }

# The program an init file starts: systemd's ExecStart, the procd script's
# PROG, the SysV script's default UNITCTL.
started() {
  sed -n -e 's/^ExecStart=[-@!+]*\([^ ]*\).*/\1/p' -e 's/^PROG=\(.*\)/\1/p' \
    -e 's/^UNITCTL=\${UNITCTL:-\(.*\)}$/\1/p' "$1"
}
# prefix    init     where the init file must be ("" : anywhere)
while read -r prefix init where; do
  [ "$where" = - ] && where=
  what="prefix $prefix, $init"
  configure -DCMAKE_INSTALL_PREFIX="$prefix" -DBOARD_INIT_SYSTEM="$init" || { fail "$what: configure"; continue; }
  d=$dir/root-${prefix//\//_}-$init
  DESTDIR=$d "$cmake" --install "$b" --component board >/dev/null || { fail "$what: install"; continue; }
  files=$(find "$d" -path '*/init.d/*' -o -name '*.service' | sort)
  [ -n "$files" ] || fail "$what: no init file installed"
  [ -z "$where" ] || [ -f "$d$where" ] || fail "$what: nothing at $where (installed: ${files//$d/})"
  for f in $files; do
    prog=$(started "$f")
    if [ -z "$prog" ] || [ ! -x "$d$prog" ] || [ -d "$d$prog" ]; then
      fail "$what: ${f#"$d"} starts '$prog', which the install did not put there"
    fi
    [[ $f != */init.d/* ]] || [ -x "$f" ] || fail "$what: ${f#"$d"} is not executable"
    env=$(sed -n 's/^EnvironmentFile=-\?//p' "$f")
    [ -z "$env" ] || [ -f "$d$env" ] || fail "$what: ${f#"$d"} reads $env, which is not installed"
  done
  if [ "$init" = sysv ] && ! grep -q '^### BEGIN INIT INFO' $files; then
    fail "$what: the SysV script has no LSB header"
  fi
done <<'TABLE'
/              systemd  /usr/lib/systemd/system/unitctl.service
/              sysv     /etc/init.d/unitctl
/              procd    /etc/init.d/unitctl
/usr           systemd  /usr/lib/systemd/system/unitctl.service
/usr           sysv     /etc/init.d/unitctl
/usr           procd    /etc/init.d/unitctl
/opt/unitboard systemd  -
/opt/unitboard sysv     -
TABLE

# Another prefix at install time is refused before any file is installed,
# whichever component.
for component in "" host; do
  "$cmake" --install "$b" --prefix "$dir/elsewhere" ${component:+--component "$component"} >/dev/null 2>&1 &&
    fail "install --prefix elsewhere ${component:-(all)}: accepted"
  [ ! -e "$dir/elsewhere" ] || fail "install --prefix elsewhere ${component:-(all)}: $(cd "$dir/elsewhere" && find . -type f | head -n3)"
done

# A board build installs the board component unless asked for more.
configure -DCMAKE_INSTALL_PREFIX=/usr -DBOARD_IMAGE=ON || fail "configure a board build"
DESTDIR=$dir/image "$cmake" --install "$b" >/dev/null || fail "install a board build"
[ -x "$dir/image/usr/bin/unitctl" ] && [ ! -e "$dir/image/usr/bin/unitmon" ] ||
  fail "a board build's plain install: $(ls "$dir/image/usr/bin")"

echo "$failures failed"
[ "$failures" = 0 ]
