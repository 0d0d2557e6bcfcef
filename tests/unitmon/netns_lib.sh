# Shared by the shell tests that need real sockets: sourced after `set -u`
# with the tools needed as arguments to enter_netns. Runs the rest of the
# script inside a network namespace of its own (nothing leaves the host's),
# and gives check, a directory $dir and the clean-up of $pids.

enter_netns() {  # the script's own arguments after "--", tools before
  if [ "${UNITMON_IN_NETNS:-}" = 1 ]; then
    dir=$(mktemp -d)
    trap cleanup EXIT
    return 0
  fi
  [ "$(id -u)" = 0 ] || { echo "SKIP: network namespaces need root"; exit 77; }
  while [ "$1" != -- ]; do
    command -v "$1" >/dev/null || { echo "SKIP: no $1"; exit 77; }
    shift
  done
  shift
  unshare --net true 2>/dev/null || { echo "SKIP: cannot create a network namespace"; exit 77; }
  UNITMON_IN_NETNS=1 exec unshare --net "$BASH" "$0" "$@"
}

failures=0
check() {  # description, then a command that must succeed
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
finish() {
  echo "$failures failed"
  [ "$failures" = 0 ]
}

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for _ in $(seq 50); do [ -z "$(jobs -pr)" ] && break; sleep 0.1; done
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$dir"
}

# Standard error without the line about a receive buffer smaller than asked
# (the host's net.core.rmem_max decides it).
said() { grep -v 'raise net.core.rmem_max' "$1"; }
