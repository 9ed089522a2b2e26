#!/usr/bin/env bash
# The release decisions of scripts/package: each row packs the Mac bundle from
# a small prepared folder, with stand-ins for Apple's codesign, ditto and
# xcrun (tests/support/release/, ahead on PATH) and for the bundle CLI, so
# that it runs anywhere in seconds, with no cmake, npm or network. A row
# checks the exit status, the Apple tools' calls in order, Apple's log where
# a verdict failed, and whether a bundle and a binary archive are left (stale
# ones are put there first, so that a failure must remove them).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
standins="$root/tests/support/release"
command -v node >/dev/null 2>&1 || { echo "SKIP: scripts/package needs node"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/stage/server"
printf '#!/bin/sh\necho "a server to sign, %s"\n' "$$" >"$work/stage/server/quillon-mcp"
printf '{"version":"9.8.7","compatibility":{"platforms":["darwin"]}}\n' >"$work/stage/manifest.json"
printf '\211PNG an icon\n' >"$work/stage/icon.png"
printf 'an App Store Connect key\n' >"$work/AuthKey.p8"
bundle="$work/build/quillon-mcp-9.8.7-darwin-universal.mcpb"
archive="$work/build/quillon-mcp-9.8.7-darwin-universal.tar.gz"
developer_id="Developer ID Application: Quillon Makers (TEAM123456)"
key=(QUILLON_NOTARY_KEY="$work/AuthKey.p8" QUILLON_NOTARY_KEY_ID=KEY1234567
  QUILLON_NOTARY_ISSUER=69a6de7f-1111-47e3-e053-5b8c7c11a4d1)
signed="sign verify describe"
# Where no identity is given, a Mac checks the linker's signature, finds none
# on the prepared file and signs it ad hoc; elsewhere nothing is signed.
unsigned=""
[ "$(uname -s)" = Darwin ] && unsigned="verify sign"

failures=0
name=""
fail() {
  echo "FAIL $name: $*"
  failures=$((failures + 1))
}

# row NAME STATUS BUNDLE CALLS [VARIABLE=VALUE...] -- [ARGUMENT...]
#   STATUS  scripts/package's exit status
#   BUNDLE  new when a bundle and an archive must be made, none when neither
#           may be left, and untouched when the package is refused before it
#           starts
#   CALLS   the kinds of the Apple tools' calls, in order
row() {
  name=$1
  local status=$2 left=$3 calls=$4 environment=() actual
  shift 4
  while [ "$1" != -- ]; do
    environment+=("$1")
    shift
  done
  shift
  mkdir -p "$work/build"
  echo stale >"$bundle"
  echo stale >"$archive"
  : >"$work/calls"
  env -u QUILLON_CODESIGN_IDENTITY -u QUILLON_NOTARY_PROFILE -u QUILLON_NOTARY_KEY \
    -u QUILLON_NOTARY_KEY_ID -u QUILLON_NOTARY_ISSUER PATH="$standins:$PATH" \
    BUILD_DIR="$work/build" QUILLON_PACKAGE_STAGE="$work/stage" QUILLON_MCPB="$standins/mcpb" \
    QUILLON_STANDIN_LOG="$work/calls" ${environment[@]+"${environment[@]}"} \
    "$root/scripts/package" "$@" darwin >"$work/output" 2>&1
  actual=$?
  [ "$actual" -eq "$status" ] || fail "exit status $actual, not $status: $(tail -n 5 "$work/output")"
  local made
  made=$(awk '{print $1}' "$work/calls" | tr '\n' ' ' | sed 's/ $//')
  [ "$made" = "$calls" ] || fail "calls '$made', not '$calls'"
  local file
  for file in "$bundle" "$archive"; do
    case "$left" in
      new) [ -f "$file" ] && ! printf 'stale\n' | cmp -s - "$file" || fail "no new $file" ;;
      none) [ ! -e "$file" ] || fail "$file was left behind" ;;
      untouched) printf 'stale\n' | cmp -s - "$file" || fail "the earlier $file was changed" ;;
    esac
  done
}

# The calls' details: what a notarization was given, and what it was of.
expect_call() {
  grep -q -- "$1" "$work/calls" || fail "no call matching '$1' in: $(cat "$work/calls")"
}
expect_output() {
  grep -q -- "$1" "$work/output" || fail "output lacks '$1': $(tail -n 5 "$work/output")"
}
# The bundle and the archive hold the very bytes that were notarized.
expect_notarized_bytes_packed() {
  local submitted packed server
  submitted=$(sed -n 's/^submit sha256=\([0-9a-f]*\) .*/\1/p' "$work/calls")
  rm -rf "$work/unpacked"
  mkdir "$work/unpacked"
  tar -xf "$bundle" -C "$work/unpacked"
  tar -xzf "$archive" -C "$work/unpacked"
  for server in server/quillon-mcp quillon-mcp-9.8.7-darwin-universal/quillon-mcp; do
    packed=$(sed -n '$p' "$work/unpacked/$server")
    [ "$packed" = "#stand-in signature identity=$developer_id runtime=yes timestamp=yes" ] ||
      fail "the packed $server is not the signed one: $packed"
    if command -v sha256sum >/dev/null 2>&1; then
      packed=$(sha256sum "$work/unpacked/$server" | cut -d ' ' -f 1)
    else
      packed=$(shasum -a 256 "$work/unpacked/$server" | cut -d ' ' -f 1)
    fi
    [ -n "$submitted" ] && [ "$submitted" = "$packed" ] ||
      fail "notarized $submitted, packed $packed in $server"
  done
}

row "a release notarized with a keychain profile" 0 new "$signed zip submit" \
  QUILLON_CODESIGN_IDENTITY="$developer_id" QUILLON_NOTARY_PROFILE=quillon-notary -- --release
expect_call "^submit sha256=[0-9a-f]\{64\} --keychain-profile quillon-notary --wait --output-format json$"
expect_notarized_bytes_packed

row "a release notarized with an API key" 0 new "$signed zip submit" \
  QUILLON_CODESIGN_IDENTITY="$developer_id" "${key[@]}" -- --release
expect_call "--key $work/AuthKey.p8 --key-id KEY1234567 --issuer 69a6de7f-1111-47e3-e053-5b8c7c11a4d1 "
expect_notarized_bytes_packed

for verdict in Invalid Rejected; do
  row "a release Apple calls $verdict" 1 none "$signed zip submit log" \
    QUILLON_CODESIGN_IDENTITY="$developer_id" QUILLON_NOTARY_PROFILE=quillon-notary \
    QUILLON_STANDIN_VERDICT=$verdict -- --release
  expect_output "Apple's verdict is $verdict"
  expect_output "does not have the hardened runtime enabled"
done

row "a release without notarization" 2 untouched "" QUILLON_CODESIGN_IDENTITY="$developer_id" -- --release
row "a release without an identity" 2 untouched "" QUILLON_NOTARY_PROFILE=quillon-notary -- --release
row "a release without either" 2 untouched "" -- --release
row "a release signed by no Developer ID" 1 none "$signed" \
  QUILLON_CODESIGN_IDENTITY="Apple Development: Quillon Makers (TEAM123456)" \
  QUILLON_NOTARY_PROFILE=quillon-notary -- --release
expect_output "without a Developer ID Application authority"
row "an API key in part" 2 untouched "" QUILLON_CODESIGN_IDENTITY="$developer_id" \
  QUILLON_NOTARY_KEY_ID=KEY1234567 -- --release
row "a profile and an API key both" 2 untouched "" QUILLON_CODESIGN_IDENTITY="$developer_id" \
  QUILLON_NOTARY_PROFILE=quillon-notary "${key[@]}" -- --release

row "a local bundle signed with an identity alone" 0 new "$signed" \
  QUILLON_CODESIGN_IDENTITY="$developer_id" --
expect_output "not notarized"
row "a local bundle with no credentials" 0 new "$unsigned" --

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "scripts/package: every release decision as expected"
