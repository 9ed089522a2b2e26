// Drives quillon-mcp with the official MCP TypeScript SDK 2.x client over
// stdio, once for each way such a host picks the protocol revision: the plain
// initialize handshake ('legacy', its default), a server/discover probe that
// falls back to the handshake ('auto'), and a pin to 2026-07-28 with no
// fallback. Hosts that gate tools by their hints see an unannotated tool as one
// that may write and destroy, so every tool must carry a title and all four.
// Pinned, it also opens the model asking for progress; with --slow-open (the
// viewer takes seconds over it) at least two events must come, each further on.
// Usage: node check-v2.mjs /path/to/quillon-mcp [QUILLON_API_PORT [--slow-open]]
import { Client } from "@modelcontextprotocol/client";
import { StdioClientTransport } from "@modelcontextprotocol/client/stdio";

const [command, port, slow] = process.argv.slice(2);
const env = { PATH: process.env.PATH ?? "/usr/bin:/bin" };
if (port) env.QUILLON_API_PORT = port;
const modern = "2026-07-28";
const hints = ["readOnlyHint", "destructiveHint", "idempotentHint", "openWorldHint"];
const modes = [
  ["legacy", "legacy"],
  ["auto", "auto"],
  [`pin ${modern}`, { pin: modern }],
];

let failures = 0;
const fail = (why) => {
  console.log(`  FAIL: ${why}`);
  failures++;
};

function summary(result) {
  const parts = result.content.map((c) =>
    c.type === "image" ? `${c.mimeType}, ${Buffer.from(c.data, "base64").length} bytes` : c.text.slice(0, 70),
  );
  return `${result.isError ? "ERROR " : ""}${parts.join(" | ")}`;
}

async function openWithProgress(client) {
  const heard = [];
  const started = Date.now();
  const onprogress = ({ progress, total, message }) => {
    heard.push(progress);
    const at = ((Date.now() - started) / 1000).toFixed(1);
    console.log(`    progress ${progress}${total === undefined ? "" : `/${total}`} at ${at} s: ${message}`);
  };
  const args = { path: process.env.QUILLON_SKP ?? "/tmp/quillon-sdk-check/model.skp" };
  const options = { onprogress, resetTimeoutOnProgress: true };
  const result = await client.callTool({ name: "quillon_open", arguments: args }, options);
  console.log(`  quillon_open -> ${summary(result)}`);
  if (result.isError && port) fail("quillon_open answered an error");
  const rising = heard.every((progress, i) => i === 0 || progress > heard[i - 1]);
  if (slow && (heard.length < 2 || !rising)) {
    fail(`heard ${heard.length} progress event(s)${rising ? "" : ", not rising"}`);
  }
}

async function check(label, mode) {
  console.log(`${label}:`);
  const transport = new StdioClientTransport({ command, args: [], env, stderr: "pipe" });
  let stderr = "";
  transport.stderr?.on("data", (chunk) => (stderr += chunk));
  const client = new Client({ name: "quillon-sdk-check", version: "1.0.0" }, { versionNegotiation: { mode } });
  // Among what lands here: a progress event whose token the client never sent.
  client.onerror = (error) => fail(`client error: ${error.message}`);
  try {
    await client.connect(transport);
  } catch (error) {
    await transport.close().catch(() => {});
    return fail(`did not connect: ${error.message}`);
  }
  const era = client.getProtocolEra();
  const version = client.getNegotiatedProtocolVersion();
  const info = client.getServerVersion();
  console.log(`  era ${era}, protocol ${version}, server ${info ? `${info.name} ${info.version}` : "(unnamed)"}`);
  if (mode === "legacy" ? era !== "legacy" : version !== modern) fail(`ended in ${version}`);

  try {
    const { tools } = await client.listTools();
    console.log(`  tools: ${tools.map((t) => t.name).join(", ")}`);
    if (tools.length === 0) fail("no tools listed");
    for (const tool of tools) {
      const missing = hints.filter((hint) => typeof tool.annotations?.[hint] !== "boolean");
      if (!tool.title) missing.unshift("title");
      if (missing.length) fail(`${tool.name} lacks ${missing.join(", ")}`);
    }
    for (const name of ["quillon_state", "quillon_snapshot"]) {
      const result = await client.callTool({ name, arguments: {} });
      console.log(`  ${name} -> ${summary(result)}`);
      if (result.isError && port) fail(`${name} answered an error`);
    }
    if (typeof mode === "object") await openWithProgress(client);
  } catch (error) {
    fail(error.message);
  }
  await client.close();
  if (stderr) fail(`stderr was not empty: ${stderr}`);
}

for (const [label, mode] of modes) await check(label, mode);
console.log(failures ? `${failures} problem(s)` : "all modes passed");
process.exit(failures ? 1 : 0);
