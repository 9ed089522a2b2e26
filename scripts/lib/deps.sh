# shellcheck shell=bash
# Sourced by the scripts: installs the Debian packages they need that are not
# there yet. Elsewhere (a Mac with Homebrew, say) there is no apt-get: it says
# once what to install instead and checks only that cmake is there.

ensure_packages() {
  if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
    echo "Not Debian: install the equivalents of $* yourself (macOS: the brew line in README.md, \"Build it yourself\")." >&2
    command -v cmake >/dev/null || { echo "cmake is required" >&2; return 1; }
    return 0
  fi
  local missing="" pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing="$missing $pkg"
  done
  [ -z "$missing" ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing:$missing" >&2
  $sudo apt-get update -qq >&2
  # shellcheck disable=SC2086  # one word per package
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >&2
}

# The number of cores, for parallel builds (nproc is GNU only).
cpu_count() {
  getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2
}

# The SHA-256 of a file ("-": standard input) in hex (sha256sum is GNU, shasum
# is the Mac's).
sha256_of() {
  if command -v sha256sum >/dev/null 2>&1; then
    sha256sum "$1" | cut -d ' ' -f 1
  else
    shasum -a 256 "$1" | cut -d ' ' -f 1
  fi
}
