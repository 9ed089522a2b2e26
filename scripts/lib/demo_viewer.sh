# shellcheck shell=bash
# Sourced by the scripts that try quillon-mcp against the demo viewer.

# start_demo_viewer VIEWER OUT LOG [ARG...]: starts the demo viewer with ARGs
# on a free loopback port in the background, its stdout to OUT and stderr to
# LOG, and sets viewer_pid and viewer_port. Fails, saying why, when it does
# not report its port within ten seconds; the caller stops a viewer_pid that
# is left running.
start_demo_viewer() {
  local viewer=$1 out=$2 log=$3
  shift 3
  # The file exists before the viewer opens it: read too early, it is empty.
  : >"$out"
  # ${1+"$@"}: bash 3.2 under set -u takes an empty "$@" for unbound.
  "$viewer" --port 0 ${1+"$@"} >"$out" 2>"$log" &
  viewer_pid=$!
  viewer_port=""
  local tries=0
  while [ $tries -lt 200 ]; do
    viewer_port=$(sed -n 's/^listening on http:\/\/127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$out")
    [ -n "$viewer_port" ] && return 0
    if ! kill -0 "$viewer_pid" 2>/dev/null; then
      echo "the demo viewer did not start:" >&2
      cat "$log" >&2
      return 1
    fi
    sleep 0.05
    tries=$((tries + 1))
  done
  echo "the demo viewer did not report its port in time" >&2
  return 1
}
