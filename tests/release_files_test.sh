#!/usr/bin/env bash
# What a release publishes beside the bundle: scripts/check-archive passes a
# binary archive packed as scripts/package packs it and refuses each way one
# can differ from its bundle; scripts/homebrew-formula fills the formula and
# refuses what it cannot write; scripts/check-formula passes the filled
# formula, running its test block against the built server, and refuses each
# broken rule (one row each), so that the checks run in CI can fail.
# Usage: tests/release_files_test.sh SERVER VERSION   (the built quillon-mcp and its version)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
server=$1
version=$2
for tool in python3 ruby; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: the checks need $tool"; exit 77; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-release-files.XXXXXX")
trap 'rm -rf "$work"' EXIT
folder="quillon-mcp-$version-darwin-universal"
archive="$work/$folder.tar.gz"
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# The archive check, on archives built file by file (tar's own headers
# included), against a bundle that holds the same server.
python3 - "$root" "$work" "$folder" <<'PYTHON' || failures=$((failures + 1))
import contextlib, importlib.machinery, importlib.util, io, sys, tarfile, zipfile
root, work, folder = sys.argv[1:]
loader = importlib.machinery.SourceFileLoader("checker", f"{root}/scripts/check-archive")
checker = importlib.util.module_from_spec(importlib.util.spec_from_loader("checker", loader))
loader.exec_module(checker)
server = b"#!/bin/sh\necho a universal server\n"
texts = {name: open(f"{root}/{name}", "rb").read() for name in ("LICENSE", "THIRD_PARTY_NOTICES")}
bundle = f"{work}/{folder}.mcpb"
with zipfile.ZipFile(bundle, "w") as packed:
    packed.writestr("server/quillon-mcp", server)
    for name, text in texts.items():
        packed.writestr(name, text)
good = [(folder, None, 0o755, {})] + [(f"{folder}/{name}", data, mode, {}) for name, data, mode in
        [("quillon-mcp", server, 0o755), ("LICENSE", texts["LICENSE"], 0o644),
         ("THIRD_PARTY_NOTICES", texts["THIRD_PARTY_NOTICES"], 0o644), ("README", b"read me\n", 0o644)]]
def changing(name, **change):
    return [(n, change.get("data", d), change.get("mode", m), change.get("pax", p)) if n.endswith(name)
            else (n, d, m, p) for n, d, m, p in good]
rows = [
    ("as packed", good, None),
    ("a ._ file of macOS metadata", good + [(f"{folder}/._quillon-mcp", b"\0\5\26\7", 0o644, {})], "holds"),
    ("another server", changing("/quillon-mcp", data=b"another\n"), "server/quillon-mcp, byte for byte"),
    ("a server without execute permission", changing("/quillon-mcp", mode=0o644), "executable"),
    ("another licence", changing("/LICENSE", data=b"GPL\n"), "LICENSE is the bundle's"),
    ("no notices", [e for e in good if not e[0].endswith("NOTICES")], "holds"),
    ("a quarantine attribute", changing("/quillon-mcp", pax={"SCHILY.xattr.com.apple.quarantine": "0081;"}),
     "extended attributes"),
    ("no folder", [(n.replace(f"{folder}/", ""), d, m, p) for n, d, m, p in good[1:]], "holds"),
]
failures = 0
for label, entries, rule in rows:
    path = f"{work}/{folder}.tar.gz"
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for name, data, mode, pax in entries:
            info = tarfile.TarInfo(name)
            info.mode, info.pax_headers = mode, pax
            if data is None:
                info.type = tarfile.DIRTYPE
            else:
                info.size = len(data)
            tar.addfile(info, io.BytesIO(data) if data is not None else None)
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        status = checker.main(path, bundle)
    if (status == 0) != (rule is None) or (rule and rule not in output.getvalue()):
        print(f"FAIL archive {label}: status {status}, not the rule '{rule}': {output.getvalue()}")
        failures += 1
sys.exit(1 if failures else 0)
PYTHON

# The formula, for a stand-in archive of the same version as the server.
mkdir -p "$work/$folder"
cp "$root/LICENSE" "$root/THIRD_PARTY_NOTICES" "$root/packaging/archive/README" "$work/$folder/"
printf 'a universal server\n' >"$work/$folder/quillon-mcp"
COPYFILE_DISABLE=1 tar -czf "$archive" -C "$work" "$folder"
"$root/scripts/homebrew-formula" "$archive" Quillon-Makers/quillon-mcp "v$version" >"$work/release.rb" ||
  fail "the filler refused a good archive"
"$root/scripts/homebrew-formula" "$archive" Quillon-Makers/quillon-mcp "v$version" "file://$archive" \
  >"$work/local.rb" || fail "the filler refused the archive's file:// URL"
for formula in release local; do
  "$root/scripts/check-formula" "$work/$formula.rb" "$archive" "$server" >"$work/out" ||
    fail "the $formula formula fails the check: $(cat "$work/out")"
done
grep -q "^  url \"https://github.com/Quillon-Makers/quillon-mcp/releases/download/v$version/$folder.tar.gz\"$" \
  "$work/release.rb" || fail "the url is not the release asset's"

# Each row breaks one rule of the filled formula (a sed script); the check
# must fail, naming that rule.
while IFS='|' read -r name edit rule; do
  sed -e "$edit" "$work/release.rb" >"$work/broken.rb"
  if "$root/scripts/check-formula" "$work/broken.rb" "$archive" "$server" >"$work/out" ||
    ! grep -q -- "$rule" "$work/out"; then
    fail "formula: $name: not refused for '$rule': $(cat "$work/out")"
  fi
done <<ROWS
not Ruby|s/^end\$/en/|parses
another class|s/QuillonMcp/Quillon/|class QuillonMcp
the url of another tag|s#/v$version/#/v0.0.1/#|is the release asset
the url of another file|s#universal.tar.gz#arm64.tar.gz#|is the release asset
another file's SHA-256|s/sha256 "[0-9a-f]*"/sha256 "$(printf '0%.0s' {1..64})"/|the archive's SHA-256
a version other than the archive's|s/^  version ".*"/  version "0.0.1"/|is the archive's
another licence|s/license "MIT"/license "GPL-3.0-only"/|license is MIT
no minimum macOS|/macos: :monterey/d|macOS 12 or later
no restriction to macOS|/depends_on :macos\$/d|macOS only
a file the archive lacks|s/bin.install "quillon-mcp"/bin.install "quillon"/|only what the archive holds
no request but ping|s/"method":"initialize"/"method":"ping"/|initialize request
another server name asserted|s/"name":"quillon",/"name":"quillon-mcp",/|the test block:
another version asserted|s/"version":"$version"}/"version":"0.0.1"}/|the test block:
another exit status expected|s/\\\\n", 0)/\\\\n", 1)/|exits 0, not 1
ROWS

# The filler writes nothing it cannot vouch for.
mkdir "$work/filler"
while IFS='|' read -r name file repository tag url; do
  cp "$archive" "$work/filler/$file"
  if "$root/scripts/homebrew-formula" "$work/filler/$file" "$repository" "$tag" ${url:+"$url"} \
    >/dev/null 2>&1; then
    fail "filler: $name: accepted"
  fi
done <<ROWS
a tag of another version|$folder.tar.gz|Quillon-Makers/quillon-mcp|v0.0.1|
a tag without its v|$folder.tar.gz|Quillon-Makers/quillon-mcp|$version|
no OWNER/REPO|$folder.tar.gz|quillon-mcp|v$version|
a repository that needs escaping|$folder.tar.gz|Quillon"Makers/quillon-mcp|v$version|
the bundle|$folder.mcpb|Quillon-Makers/quillon-mcp|v$version|
an http URL|$folder.tar.gz|Quillon-Makers/quillon-mcp|v$version|http://example.com/$folder.tar.gz
a URL that Ruby would run|$folder.tar.gz|Quillon-Makers/quillon-mcp|v$version|https://example.com/#{system("id")}
a URL with a quote|$folder.tar.gz|Quillon-Makers/quillon-mcp|v$version|https://example.com/a"b
ROWS
if "$root/scripts/homebrew-formula" "$archive" Quillon-Makers/quillon-mcp "v$version" \
  "$(printf 'https://example.com/a\n"b')" >/dev/null 2>&1; then
  fail "filler: a URL with a newline: accepted"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "release files: the archive check, the formula's filler and its check refuse every broken row"
