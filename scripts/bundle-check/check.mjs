// Starts the server of an unpacked MCP Bundle the way a desktop host does and
// drives it with the official MCP TypeScript SDK client.
// Usage: node check.mjs UNPACKED_FOLDER DEMO_VIEWER_PORT
//
// Two sessions: one where the user set the port field to the demo viewer's
// port (the viewer runs on a free port, not on the default) and chose a
// snapshot folder, and one where the user left the fields alone, to see that
// the defaults reach the server too.
import { mkdtempSync, readFileSync, rmSync, statSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const [folder, viewerPort] = process.argv.slice(2);
const manifest = JSON.parse(readFileSync(join(folder, "manifest.json"), "utf8"));
const config = manifest.server.mcp_config;
let failures = 0;
function check(ok, what) {
  console.log(`${ok ? "ok  " : "FAIL"} ${what}`);
  if (!ok) failures++;
}

// What a host does to mcp_config: ${__dirname} becomes the folder it unpacked
// the bundle into, ${user_config.KEY} the user's value for KEY or else the
// field's default.
function substitute(text, userValues) {
  return text
    .replaceAll("${__dirname}", folder)
    .replace(/\$\{user_config\.([^}]+)\}/g, (_, key) => {
      if (key in userValues) return String(userValues[key]);
      const field = manifest.user_config?.[key];
      if (field?.default === undefined) throw new Error(`user_config.${key} has no value`);
      return String(field.default);
    });
}

const portKey = /^\$\{user_config\.([^}]+)\}$/.exec(config.env?.QUILLON_API_PORT ?? "")?.[1];
const portField = manifest.user_config?.[portKey];
check(portField !== undefined, `QUILLON_API_PORT is the user_config field "${portKey}"`);
check(portField?.default === 17950, `that field's default is 17950 (${portField?.default})`);
check(
  manifest.compatibility?.platforms?.includes(process.platform),
  `the bundle is for this platform, ${process.platform} (it says ${manifest.compatibility?.platforms})`,
);
// The icon a host shows beside the name: a square PNG of 256 pixels or more.
const icon = manifest.icon ? readFileSync(join(folder, manifest.icon)) : Buffer.alloc(0);
const isPNG = icon.subarray(0, 8).equals(Buffer.from("\x89PNG\r\n\x1a\n", "latin1"));
const [width, height] = isPNG ? [icon.readUInt32BE(16), icon.readUInt32BE(20)] : [0, 0];
check(
  isPNG && width === height && width >= 256,
  `the icon ${manifest.icon} is a square PNG of 256 pixels or more (${width}x${height})`,
);
// The launch is tried the hard way: as a host that lost the zip's file modes
// leaves it, in a folder whose path holds a space.
const entryPoint = join(folder, manifest.server.entry_point);
check(
  (statSync(entryPoint).mode & 0o777) === 0o600 && folder.includes(" "),
  `the entry point is mode 0600, in a path with a space: ${entryPoint}`,
);

async function session(userValues) {
  const command = substitute(config.command, userValues);
  const args = (config.args ?? []).map((arg) => substitute(arg, userValues));
  const env = Object.fromEntries(
    Object.entries(config.env ?? {}).map(([name, value]) => [name, substitute(value, userValues)]),
  );
  console.log(`started as: ${[command, ...args].join(" ")}  env ${JSON.stringify(env)}`);
  const transport = new StdioClientTransport({ command, args, env, stderr: "pipe" });
  let stderr = "";
  transport.stderr?.on("data", (chunk) => (stderr += chunk));
  const client = new Client({ name: "quillon-bundle-check", version: "1.0.0" });
  await client.connect(transport);
  const state = await client.callTool({ name: "quillon_state", arguments: {} });
  return { client, state, text: state.content?.[0]?.text ?? "", stderr: () => stderr };
}

// The user set the port field to where the demo viewer listens, and chose a
// snapshot folder (one whose path holds a space).
const folderKey = /^\$\{user_config\.([^}]+)\}$/.exec(config.env?.QUILLON_SNAPSHOT_DIR ?? "")?.[1];
const folderField = manifest.user_config?.[folderKey];
check(
  folderField?.type === "directory" && folderField?.default === "",
  `QUILLON_SNAPSHOT_DIR is the directory field "${folderKey}", empty by default`,
);
const snapshots = mkdtempSync(join(tmpdir(), "quillon snapshots "));
const user = await session({ [portKey]: Number(viewerPort), [folderKey]: snapshots });
const info = user.client.getServerVersion();
check(info?.version === manifest.version, `initialize: server ${info?.name} ${info?.version}`);
const { tools } = await user.client.listTools();
const listed = tools.map(({ name, description }) => ({ name, description }));
check(
  JSON.stringify(listed) === JSON.stringify(manifest.tools),
  `tools/list: ${tools.length} tools, names and descriptions as in the manifest`,
);
// The state names the port its viewer serves the API on.
function answeringPort(text) {
  try {
    return JSON.parse(text).ports?.api ?? null;
  } catch {
    return null;
  }
}
const answeredPort = answeringPort(user.text);
check(
  !user.state.isError && answeredPort === Number(viewerPort),
  `quillon_state: answered by the viewer on port ${answeredPort}: ${user.text.slice(0, 60)}...`,
);
// The snapshot is kept in that folder, privately, and the caption names it.
const snapshot = await user.client.callTool({ name: "quillon_snapshot", arguments: {} });
const caption = snapshot.content?.find((item) => item.type === "text")?.text ?? "";
const saved = / to (\/.*?\.png)\./.exec(caption)?.[1] ?? "";
const kept = saved.startsWith(snapshots + "/") ? readFileSync(saved) : Buffer.alloc(0);
check(
  kept.subarray(0, 8).equals(Buffer.from("\x89PNG\r\n\x1a\n", "latin1")) &&
    (statSync(saved).mode & 0o777) === 0o600,
  `quillon_snapshot kept the picture, mode 0600: ${caption.slice(caption.indexOf("Saved"))}`,
);
rmSync(snapshots, { recursive: true, force: true });
await user.client.close();
check(user.stderr() === "", `nothing on stderr${user.stderr() ? `: ${user.stderr()}` : ""}`);

// The user left the field alone: the server must be looking at 17950. Unless
// something listens there, that shows as the unreachable message naming it.
const untouched = await session({});
check(
  untouched.state.isError
    ? untouched.text.includes("http://127.0.0.1:17950 ")
    : answeringPort(untouched.text) === 17950,
  `quillon_state with the default port: ${untouched.state.isError ? "error " : ""}${untouched.text.slice(0, 90)}`,
);
await untouched.client.close();

console.log(failures ? `${failures} checks failed` : "bundle check passed");
process.exit(failures ? 1 : 0);
