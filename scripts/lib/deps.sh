# Sourced by the scripts: installs Debian packages that are not there yet.
# Elsewhere (a Mac with Homebrew, say) it only checks that the tools exist.

ensure_packages() {
  if ! command -v dpkg-query >/dev/null 2>&1; then
    command -v cmake >/dev/null || { echo "cmake is required" >&2; return 1; }
    return 0
  fi
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}" >&2
  $sudo apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2
}
