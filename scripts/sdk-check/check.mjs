// Drives quillon-mcp with the official MCP TypeScript SDK client over stdio:
// initialize, list the tools, then call each of them once. The open asks for
// progress; with --slow-open (the viewer takes seconds over it) at least two
// events must come, each further on.
// Usage: node check.mjs /path/to/quillon-mcp [QUILLON_API_PORT [--slow-open]]
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const [command, port, slow] = process.argv.slice(2);
const env = { PATH: process.env.PATH ?? "/usr/bin:/bin" };
if (port) env.QUILLON_API_PORT = port;

const transport = new StdioClientTransport({ command, args: [], env, stderr: "pipe" });
let stderr = "";
transport.stderr?.on("data", (chunk) => (stderr += chunk));
const client = new Client({ name: "quillon-sdk-check", version: "1.0.0" });
let failures = 0;
// Among what lands here: a progress event whose token the client never sent.
client.onerror = (error) => {
  console.log(`client error: ${error.message}`);
  failures++;
};
await client.connect(transport);

const info = client.getServerVersion();
const { tools } = await client.listTools();
console.log(`server ${info.name} ${info.version}`);
console.log(`tools: ${tools.map((t) => t.name).join(", ")}`);

const calls = [
  ["quillon_state", {}],
  ["quillon_help", {}],
  ["quillon_open", { path: process.env.QUILLON_SKP ?? "/tmp/quillon-sdk-check/model.skp" }],
  ["quillon_camera", {}],
  ["quillon_camera", { yaw: 30, pitch: -15, fov: 50 }],
  ["quillon_scene", { index: 0 }],
  ["quillon_layers", { all: true }],
  ["quillon_rendering", { style: "clay", backdropStyle: "studioDark" }],
  ["quillon_snapshot", {}],
  ["quillon_snapshot", { format: "pdf" }],
];
const heard = [];
let started = 0;
const withProgress = {
  onprogress: ({ progress, total, message }) => {
    heard.push(progress);
    const at = ((Date.now() - started) / 1000).toFixed(1);
    const of = total === undefined ? "" : `/${total}`;
    console.log(`  progress ${progress}${of} at ${at} s: ${message}`);
  },
  resetTimeoutOnProgress: true,
};
for (const [name, args] of calls) {
  started = Date.now();
  const options = name === "quillon_open" ? withProgress : undefined;
  const result = await client.callTool({ name, arguments: args }, undefined, options);
  const summary = result.content
    .map((c) => (c.type === "image" ? `${c.mimeType}, ${Buffer.from(c.data, "base64").length} bytes` : c.text.slice(0, 70)))
    .join(" | ");
  console.log(`${name} ${JSON.stringify(args)} -> ${result.isError ? "ERROR " : ""}${summary}`);
  if (result.isError && port) failures++;
}
const rising = heard.every((progress, i) => i === 0 || progress > heard[i - 1]);
if (slow && (heard.length < 2 || !rising)) {
  console.log(`the slow open heard ${heard.length} progress event(s)${rising ? "" : ", not rising"}`);
  failures++;
}
try {
  await client.callTool({ name: "quillon_nothing", arguments: {} });
  console.log("unknown tool was accepted");
  failures++;
} catch (error) {
  console.log(`unknown tool -> ${error.message}`);
}
await client.close();
if (stderr) {
  console.log(`stderr was not empty: ${stderr}`);
  failures++;
}
process.exit(failures ? 1 : 0);
