// Measures how large a snapshot the official MCP TypeScript SDK's stdio client
// takes from quillon-mcp: a stand-in viewer answers /v1/snapshot.png with a
// real PNG of N MiB, and for each size a fresh session calls
// quillon_snapshot, then quillon_state: once with the default limits, where
// the picture is scaled down to fit, and once with QUILLON_SNAPSHOT_MAX_BYTES=0,
// where it is sent whole. Exits 1 when, with the defaults, a snapshot is not
// an image or the call after it fails.
// Usage: node snapshot-sizes.mjs /path/to/quillon-mcp MIB...
import { createServer } from "node:http";
import { randomBytes } from "node:crypto";
import zlib from "node:zlib";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

// zlib.crc32 came with node 20.15 and 22.2.
const crcTable = Array.from({ length: 256 }, (_, n) => {
  for (let k = 0; k < 8; k++) n = n & 1 ? 0xedb88320 ^ (n >>> 1) : n >>> 1;
  return n >>> 0;
});
const crc32 =
  zlib.crc32 ??
  ((bytes) => {
    let c = ~0;
    for (const b of bytes) c = crcTable[(c ^ b) & 255] ^ (c >>> 8);
    return ~c >>> 0;
  });

function chunk(type, data) {
  const head = Buffer.alloc(8);
  head.writeUInt32BE(data.length, 0);
  head.write(type, 4, "latin1");
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), data])), 0);
  return Buffer.concat([head, data, crc]);
}

// An 8-bit RGB PNG of exactly `bytes` (a text chunk makes up the rest), 16:10,
// of pixel noise that does not compress, so that its size is set by its sides
// as a render's is.
function noisePNG(bytes) {
  const width = Math.round(Math.sqrt((bytes / 3) * 1.6));
  const row = 1 + 3 * width;
  const rows = randomBytes(Math.floor(bytes / row) * row);
  for (let at = 0; at < rows.length; at += row) rows[at] = 0; // filter: none
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.set([8, 2, 0, 0, 0], 8);
  for (let height = rows.length / row; height > 0; height--) {
    header.writeUInt32BE(height, 4);
    const parts = [
      Buffer.from("\x89PNG\r\n\x1a\n", "latin1"),
      chunk("IHDR", header),
      chunk("IDAT", zlib.deflateSync(rows.subarray(0, height * row), { level: 1 })),
    ];
    const room = bytes - parts.reduce((sum, part) => sum + part.length, 0) - 12;
    if (room < 12 + 8) continue; // a row less, and try again
    parts.push(chunk("tEXt", Buffer.from("Comment\0".padEnd(room - 12, " "), "latin1")));
    parts.push(chunk("IEND", Buffer.alloc(0)));
    return { png: Buffer.concat(parts), width, height };
  }
  throw new Error(`${bytes} bytes is too small for a test PNG`);
}

const [command, ...sizes] = process.argv.slice(2);
let body = Buffer.alloc(0);
const viewer = createServer((request, response) => {
  const png = request.url === "/v1/snapshot.png";
  response.writeHead(200, { "Content-Type": png ? "image/png" : "application/json" });
  response.end(png ? body : "{}");
});
await new Promise((resolve) => viewer.listen(0, "127.0.0.1", resolve));
const port = String(viewer.address().port);

async function call(client, name) {
  try {
    const result = await client.callTool({ name, arguments: {} });
    const image = result.content.find((c) => c.type === "image");
    const text = result.content.find((c) => c.type === "text")?.text ?? "";
    if (image) return { image: true, shown: `${image.mimeType}, ${image.data.length} chars of Base64, "${text}"` };
    return { ok: !result.isError, shown: result.isError ? `error result: ${text}` : "ok" };
  } catch (error) {
    return { shown: `failed: ${error.message}` };
  }
}

let failures = 0;
for (const mib of sizes) {
  const made = noisePNG(Math.round(Number(mib) * 1024 * 1024));
  body = made.png;
  console.log(`${mib} MiB PNG, ${made.width}x${made.height} (${body.length} bytes):`);
  for (const whole of [false, true]) {
    const env = { QUILLON_API_PORT: port };
    if (whole) env.QUILLON_SNAPSHOT_MAX_BYTES = "0";
    const transport = new StdioClientTransport({ command, args: [], env });
    let transportError = "";
    const client = new Client({ name: "quillon-snapshot-sizes", version: "1.0.0" });
    await client.connect(transport);
    transport.onerror = ((previous) => (error) => {
      transportError ||= error.message;
      previous?.(error);
    })(transport.onerror);
    const snapshot = await call(client, "quillon_snapshot");
    const next = await call(client, "quillon_state");
    const label = whole ? "sent whole (MAX_BYTES=0)" : "default limits";
    console.log(`  ${label}: quillon_snapshot -> ${snapshot.shown}; then quillon_state -> ${next.shown}`);
    if (transportError) console.log(`    transport error: ${transportError}`);
    if (!whole && !(snapshot.image && next.ok)) {
      console.log("    !! UNEXPECTED: with the default limits every snapshot should fit");
      failures++;
    }
    await client.close();
  }
}
viewer.close();
process.exit(failures ? 1 : 0);
