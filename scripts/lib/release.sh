# shellcheck shell=bash
# Sourced by the scripts that fill a release's published files from one of
# its Mac files (scripts/server-json, scripts/homebrew-formula): the checks of
# their arguments. The values go into JSON, Ruby and URLs unescaped, so each
# is held to a form that needs no escaping.

# release_arguments SCRIPT FILE OWNER/REPO TAG SUFFIX: fails, saying why,
# unless FILE exists and is named quillon-mcp-VERSION-darwin-universal.SUFFIX,
# OWNER/REPO names a GitHub repository and TAG is v and VERSION; sets version.
release_arguments() {
  local script=$1 file=$2 repository=$3 tag=$4 suffix=$5
  # Bash's own regular expressions match the whole value, newlines included.
  local name='^[A-Za-z0-9-]+/[A-Za-z0-9._-]+$' release='^v[0-9]+\.[0-9]+\.[0-9]+$'
  [ -f "$file" ] || { echo "$script: no file $file" >&2; return 1; }
  [[ $repository =~ $name ]] || { echo "$script: '$repository' is no GitHub OWNER/REPO" >&2; return 1; }
  [[ $tag =~ $release ]] || { echo "$script: '$tag' is no release tag (v1.2.3)" >&2; return 1; }
  version=${tag#v}
  if [ "$(basename "$file")" != "quillon-mcp-$version-darwin-universal.$suffix" ]; then
    echo "$script: $(basename "$file") is not the Mac .$suffix of version $version (tag $tag)" >&2
    return 1
  fi
}
