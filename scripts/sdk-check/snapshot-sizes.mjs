// Measures how large a snapshot the official MCP TypeScript SDK's stdio client
// takes: a stand-in viewer answers /v1/snapshot.png with N MiB, and for each
// size a fresh session calls quillon_snapshot, then quillon_state.
// Usage: node snapshot-sizes.mjs /path/to/quillon-mcp MIB...
import { createServer } from "node:http";
import { randomBytes } from "node:crypto";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const [command, ...sizes] = process.argv.slice(2);
let body = Buffer.alloc(0);
const viewer = createServer((request, response) => {
  const png = request.url === "/v1/snapshot.png";
  response.writeHead(200, { "Content-Type": png ? "image/png" : "application/json" });
  response.end(png ? body : "{}");
});
await new Promise((resolve) => viewer.listen(0, "127.0.0.1", resolve));
const port = String(viewer.address().port);

async function outcome(client, name) {
  try {
    const result = await client.callTool({ name, arguments: {} });
    const image = result.content.find((c) => c.type === "image");
    return image ? `image, ${image.data.length} bytes of Base64` : result.isError ? "error result" : "ok";
  } catch (error) {
    return `failed: ${error.message}`;
  }
}

for (const mib of sizes) {
  body = randomBytes(Math.round(Number(mib) * 1024 * 1024));
  const transport = new StdioClientTransport({ command, args: [], env: { QUILLON_API_PORT: port } });
  let transportError = "";
  const client = new Client({ name: "quillon-snapshot-sizes", version: "1.0.0" });
  await client.connect(transport);
  transport.onerror = ((previous) => (error) => {
    transportError ||= error.message;
    previous?.(error);
  })(transport.onerror);
  const snapshot = await outcome(client, "quillon_snapshot");
  const next = await outcome(client, "quillon_state");
  console.log(`${mib} MiB PNG (${body.length} bytes): quillon_snapshot -> ${snapshot}; then quillon_state -> ${next}`);
  if (transportError) console.log(`  transport error: ${transportError}`);
  await client.close();
}
viewer.close();
