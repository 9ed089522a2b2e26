# shellcheck shell=bash
# Sourced by scripts/package: Developer ID signing and notarization of the Mac
# server, with Apple's codesign, ditto and xcrun notarytool. Every decision is
# taken on what the tools print, not on their exit codes alone: notarytool
# can exit 0 with the verdict "Invalid".

# notary_credentials: sets notary_args to notarytool's credential arguments,
# from a keychain profile (QUILLON_NOTARY_PROFILE) or an App Store Connect API
# key (QUILLON_NOTARY_KEY, the .p8 file; QUILLON_NOTARY_KEY_ID;
# QUILLON_NOTARY_ISSUER). Leaves it empty when none is given; fails on a
# partial or double set.
notary_credentials() {
  notary_args=()
  local key=${QUILLON_NOTARY_KEY:-} id=${QUILLON_NOTARY_KEY_ID:-} issuer=${QUILLON_NOTARY_ISSUER:-}
  local profile=${QUILLON_NOTARY_PROFILE:-}
  if [ -n "$key$id$issuer" ]; then
    if [ -z "$key" ] || [ -z "$id" ] || [ -z "$issuer" ]; then
      echo "an App Store Connect API key needs all of QUILLON_NOTARY_KEY (the .p8 file)," \
        "QUILLON_NOTARY_KEY_ID and QUILLON_NOTARY_ISSUER" >&2
      return 1
    fi
    if [ -n "$profile" ]; then
      echo "QUILLON_NOTARY_PROFILE and an API key both given: name one" >&2
      return 1
    fi
    [ -f "$key" ] || { echo "QUILLON_NOTARY_KEY: no file $key" >&2; return 1; }
    notary_args=(--key "$key" --key-id "$id" --issuer "$issuer")
  elif [ -n "$profile" ]; then
    notary_args=(--keychain-profile "$profile")
  fi
}

# sign_developer_id FILE IDENTITY: signs FILE as a release must be signed, and
# checks that the signature says so: the hardened runtime (notarization
# refuses code without it), a secure timestamp, and a Developer ID
# Application authority (the only one Gatekeeper trusts outside the App
# Store).
sign_developer_id() {
  local file=$1 identity=$2 details
  command -v codesign >/dev/null 2>&1 || {
    echo "signing with $identity needs Apple's codesign: pack the release on a Mac" >&2
    return 1
  }
  codesign --force --options runtime --timestamp --sign "$identity" "$file"
  codesign --verify --strict --verbose=2 "$file"
  # codesign writes its description to stderr.
  details=$(codesign -dv --verbose=4 "$file" 2>&1)
  local missing=""
  printf '%s\n' "$details" | grep -q '^flags=.*(runtime)' || missing="$missing the hardened runtime;"
  printf '%s\n' "$details" | grep -q '^Timestamp=' || missing="$missing a timestamp;"
  printf '%s\n' "$details" | grep -q '^Authority=Developer ID Application: ' ||
    missing="$missing a Developer ID Application authority;"
  if [ -n "$missing" ]; then
    printf '%s\n' "$details" >&2
    echo "$file is signed without$missing a release needs them all" >&2
    return 1
  fi
}

# notarize FILE WORK: submits FILE (zipped into WORK) to Apple's notary
# service with notary_args, waits for the verdict and fails, with Apple's
# log, on anything but "Accepted". A bare executable cannot carry its ticket;
# Gatekeeper looks it up online.
notarize() {
  local file=$1 work=$2 answer status id
  if ! command -v xcrun >/dev/null 2>&1 || ! command -v ditto >/dev/null 2>&1; then
    echo "notarizing needs Apple's xcrun and ditto: pack the release on a Mac" >&2
    return 1
  fi
  rm -f "$work/notarize.zip"
  ditto -c -k --keepParent "$file" "$work/notarize.zip"
  answer=$(xcrun notarytool submit "$work/notarize.zip" "${notary_args[@]}" --wait \
    --output-format json) || true
  # shellcheck disable=SC2016  # the JavaScript's own template string
  read -r status id <<EOF
$(printf '%s' "$answer" | node -e '
  let text = "";
  process.stdin.on("data", (chunk) => (text += chunk)).on("end", () => {
    try {
      const { status, id } = JSON.parse(text);
      console.log(`${status ?? "none"} ${id ?? ""}`);
    } catch {
      console.log("unreadable");
    }
  });')
EOF
  if [ "$status" = Accepted ]; then
    echo "notarized: Apple's verdict is Accepted (submission $id)" >&2
    return 0
  fi
  echo "notarization failed: Apple's verdict is $status${id:+ (submission $id)}" >&2
  printf '%s\n' "$answer" >&2
  if [ -n "$id" ]; then
    echo "Apple's log:" >&2
    xcrun notarytool log "$id" "${notary_args[@]}" >&2 || true
  fi
  return 1
}
