#!/usr/bin/env bash
# The MCP Registry entry: scripts/server-json fills it for a bundle, and
# scripts/check-server-json passes what it writes and refuses each way an
# entry can break a registry rule (one row each), so that the check run on the
# real bundle in CI can fail. The filler also refuses inputs it cannot write.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
command -v python3 >/dev/null 2>&1 || { echo "SKIP: the check needs python3"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-server-json.XXXXXX")
trap 'rm -rf "$work"' EXIT
bundle="$work/quillon-mcp-2.4.6-darwin-universal.mcpb"
printf 'a bundle %s\n' "$$" >"$bundle"
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

"$root/scripts/server-json" "$bundle" Quillon-Makers/quillon-mcp v2.4.6 >"$work/server.json" ||
  fail "the filler refused a good bundle"
"$root/scripts/check-server-json" "$work/server.json" "$bundle" >"$work/out" ||
  fail "a filled entry fails the check: $(cat "$work/out")"
grep -q '"identifier": "https://github.com/Quillon-Makers/quillon-mcp/releases/download/v2.4.6/quillon-mcp-2.4.6-darwin-universal.mcpb"' \
  "$work/server.json" || fail "the identifier is not the release asset's URL"

# Each row breaks one rule of the filled entry; the check must fail, naming
# that rule. One Python process runs them all.
python3 - "$root/scripts/check-server-json" "$work/server.json" "$bundle" "$work" <<'PYTHON' ||
import contextlib, copy, importlib.machinery, importlib.util, io, json, sys
loader = importlib.machinery.SourceFileLoader("checker", sys.argv[1])
checker = importlib.util.module_from_spec(importlib.util.spec_from_loader("checker", loader))
loader.exec_module(checker)
good = json.load(open(sys.argv[2]))
bundle, work = sys.argv[3], sys.argv[4]
def setting(path, value):
    def change(entry):
        *parents, last = path
        for key in parents:
            entry = entry[key]
        entry[last] = value
    return change
def removing(*path):
    def change(entry):
        *parents, last = path
        for key in parents:
            entry = entry[key]
        del entry[last]
    return change
def replacing(old, new):
    return lambda entry: entry["packages"][0].update(
        identifier=entry["packages"][0]["identifier"].replace(old, new))
port = ("packages", 0, "environmentVariables", 0)
rows = [
    ("description too long", setting(["description"], "x" * 101), "description is 1 to 100"),
    ("no description", removing("description"), "description is 1 to 100"),
    ("no version", removing("version"), "version is a version"),
    ("name with a space", setting(["name"], "io.github.Quillon-Makers/quillon mcp"), "name is 3 to 200"),
    ("name in another namespace", setting(["name"], "io.github.someone/quillon-mcp"), "in the namespace"),
    ("empty title", setting(["title"], ""), "title is 1 to 100"),
    ("repository not on GitHub", setting(["repository", "url"], "https://gitlab.com/a/b"), "GitHub URL"),
    ("unknown field", setting(["homepage"], "https://example.com"), "beyond the schema"),
    ("another registry type", setting(["packages", 0, "registryType"], "npm"), "registryType is mcpb"),
    ("a registry base URL", setting(["packages", 0, "registryBaseUrl"], "https://github.com"),
     "no registryBaseUrl"),
    ("http download", replacing("https:", "http:"), "release asset URL"),
    ("download outside the releases", replacing("/releases/download", "/raw"), "release asset URL"),
    ("download of another tag", replacing("v2.4.6", "v2.4.5"), "release tag v2.4.5 is v2.4.6"),
    ("download of another file", replacing("universal", "arm64"), "is the bundle"),
    ("upper-case hash", lambda e: e["packages"][0].update(fileSha256=e["packages"][0]["fileSha256"].upper()),
     "64 lower-case hex"),
    ("another file's hash", setting(["packages", 0, "fileSha256"], "0" * 64), "the bundle's SHA-256"),
    ("no transport", removing("packages", 0, "transport"), "transport is stdio"),
    ("http transport", setting(["packages", 0, "transport"], {"type": "streamable-http"}), "transport is stdio"),
    ("port default as a number", setting([*port, "default"], 17950), "default is a string"),
    ("port format integer", setting([*port, "format"], "integer"), "format is one of"),
    ("port required", setting([*port, "isRequired"], True), "an optional number"),
    ("two packages", lambda e: e["packages"].append(copy.deepcopy(e["packages"][0])), "one package"),
]
failures = 0
for name, change, rule in rows:
    entry = copy.deepcopy(good)
    change(entry)
    path = f"{work}/broken.json"
    json.dump(entry, open(path, "w"))
    output = io.StringIO()
    with contextlib.redirect_stdout(output):
        status = checker.main(path, bundle)
    if status == 0 or rule not in output.getvalue():
        print(f"FAIL {name}: status {status}, not the rule '{rule}': {output.getvalue()}")
        failures += 1
sys.exit(1 if failures else 0)
PYTHON
  failures=$((failures + 1))

# The filler writes nothing it cannot vouch for.
mkdir "$work/filler"
while IFS='|' read -r name file repository tag; do
  cp "$bundle" "$work/filler/$file"
  if "$root/scripts/server-json" "$work/filler/$file" "$repository" "$tag" >/dev/null 2>&1; then
    fail "filler: $name: accepted"
  fi
done <<'ROWS'
a tag of another version|quillon-mcp-2.4.6-darwin-universal.mcpb|Quillon-Makers/quillon-mcp|v2.4.7
a tag without its v|quillon-mcp-2.4.6-darwin-universal.mcpb|Quillon-Makers/quillon-mcp|2.4.6
no OWNER/REPO|quillon-mcp-2.4.6-darwin-universal.mcpb|quillon-mcp|v2.4.6
a repository that needs escaping|quillon-mcp-2.4.6-darwin-universal.mcpb|Quillon"Makers/quillon-mcp|v2.4.6
the Linux bundle|quillon-mcp-2.4.6-linux-x86_64.mcpb|Quillon-Makers/quillon-mcp|v2.4.6
ROWS

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "server.json: filled, checked, and every broken row refused"
