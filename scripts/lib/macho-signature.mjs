// Checks the code signature of a thin 64-bit Mach-O file the way the kernel
// of an Apple Silicon Mac does before it runs a page: the signature's code
// directory must hold the SHA-256 of every page of the file before the
// signature, and the directory must cover exactly those bytes. Only an
// ad-hoc signature can be judged here (a Developer ID one needs Apple's
// certificates: on a Mac, codesign --verify does both).
// Usage: node macho-signature.mjs THIN_MACHO
// Prints one line; exits 0 when the signature is valid, 1 otherwise.
import { createHash } from "node:crypto";
import { readFileSync } from "node:fs";

const LC_CODE_SIGNATURE = 0x1d;
const CSMAGIC_EMBEDDED_SIGNATURE = 0xfade0cc0;
const CSMAGIC_CODEDIRECTORY = 0xfade0c02;
const CSSLOT_CODEDIRECTORY = 0;
const CS_HASHTYPE_SHA256 = 2;
const CS_ADHOC = 0x2;

function verify(file) {
  if (file.readUInt32LE(0) !== 0xfeedfacf) return "not a thin 64-bit Mach-O file";
  const commands = file.readUInt32LE(16);
  let at = 32;
  let signature = null;
  for (let i = 0; i < commands; i++) {
    const command = file.readUInt32LE(at);
    if (command === LC_CODE_SIGNATURE) {
      signature = { offset: file.readUInt32LE(at + 8), size: file.readUInt32LE(at + 12) };
    }
    at += file.readUInt32LE(at + 4);
  }
  if (!signature) return "no code signature";
  if (signature.offset + signature.size > file.length) return "the signature lies past the file's end";

  // Signature blobs are big-endian.
  const blob = file.subarray(signature.offset, signature.offset + signature.size);
  if (blob.readUInt32BE(0) !== CSMAGIC_EMBEDDED_SIGNATURE) return "no embedded signature blob";
  let directory = null;
  for (let i = 0, count = blob.readUInt32BE(8); i < count; i++) {
    if (blob.readUInt32BE(12 + 8 * i) === CSSLOT_CODEDIRECTORY) {
      directory = blob.subarray(blob.readUInt32BE(16 + 8 * i));
    }
  }
  if (!directory || directory.readUInt32BE(0) !== CSMAGIC_CODEDIRECTORY) return "no code directory";
  const flags = directory.readUInt32BE(12);
  const hashOffset = directory.readUInt32BE(16);
  const identity = directory.readUInt32BE(20);
  const codeSlots = directory.readUInt32BE(28);
  const codeLimit = directory.readUInt32BE(32);
  const hashSize = directory.readUInt8(36);
  const hashType = directory.readUInt8(37);
  const pageSize = 2 ** directory.readUInt8(39);
  if (hashType !== CS_HASHTYPE_SHA256 || hashSize !== 32) return `hash type ${hashType}, not SHA-256`;
  if (codeLimit !== signature.offset) {
    return `the signature covers ${codeLimit} bytes, but ${signature.offset} come before it`;
  }
  if (codeSlots !== Math.ceil(codeLimit / pageSize)) return `${codeSlots} page hashes for ${codeLimit} bytes`;
  for (let page = 0; page < codeSlots; page++) {
    const start = page * pageSize;
    const actual = createHash("sha256")
      .update(file.subarray(start, Math.min(start + pageSize, codeLimit)))
      .digest();
    const expected = directory.subarray(hashOffset + page * hashSize, hashOffset + (page + 1) * hashSize);
    if (!actual.equals(expected)) return `page ${page} (bytes ${start}-) does not match its hash`;
  }
  const name = directory.subarray(identity, directory.indexOf(0, identity)).toString();
  const kind = flags & CS_ADHOC ? "ad hoc" : "with a certificate (not checked here)";
  return { ok: `valid signature, ${kind}, identifier ${name}, ${codeSlots} pages of ${pageSize} bytes` };
}

const outcome = verify(readFileSync(process.argv[2]));
console.log(outcome.ok ?? `invalid signature: ${outcome}`);
process.exit(outcome.ok ? 0 : 1);
