// Writes a folder into a zip with one of the npm zip writers; run from a folder where they
// are installed (run_compat.py copies this file there).
//   node zipwriter.mjs archiver|jszip|adm-zip|yazl MODE SRC OUT.zip|-   ("-": standard output)
// MODE: deflate, store, zip64, stream, links (links stored as links) or follow (links read
// through); not every library has every mode.
import fs from "node:fs";
import path from "node:path";
import { createRequire } from "node:module";

const require = createRequire(import.meta.url);
const [lib, mode, src, dst] = process.argv.slice(2);
const keepLinks = mode === "links";

// The tree in name order, folders before what is in them.
function* walk(dir, prefix) {
  for (const name of fs.readdirSync(dir).sort()) {
    const full = path.join(dir, name);
    const entry = prefix + name;
    const info = keepLinks ? fs.lstatSync(full) : fs.statSync(full);
    if (info.isSymbolicLink()) {
      yield { kind: "link", name: entry, target: fs.readlinkSync(full) };
    } else if (info.isDirectory()) {
      yield { kind: "dir", name: entry + "/" };
      yield* walk(full, entry + "/");
    } else {
      yield { kind: "file", name: entry, full };
    }
  }
}

// Sends the archive to its file, or to standard output (a pipe, which never closes here).
function send(source) {
  return new Promise((resolve, reject) => {
    source.on("error", reject);
    if (dst === "-") {
      source.on("end", resolve);
      source.pipe(process.stdout);
    } else {
      const out = fs.createWriteStream(dst);
      out.on("error", reject);
      out.on("close", resolve);
      source.pipe(out);
    }
  });
}

async function viaArchiver() {
  const { ZipArchive } = await import("archiver");
  // The library's own folder walk: it stores links as links and has no option to follow.
  const archive = new ZipArchive({ store: mode === "store", forceZip64: mode === "zip64" });
  const done = send(archive);
  archive.directory(src, false);
  await archive.finalize();
  await done;
}

async function viaJszip() {
  const JSZip = require("jszip");
  const zip = new JSZip();
  for (const e of walk(src, "")) {
    if (e.kind === "dir") zip.folder(e.name);
    else if (e.kind === "link") zip.file(e.name, e.target, { unixPermissions: 0o120777 });
    else zip.file(e.name, fs.readFileSync(e.full));
  }
  const options = {
    type: "nodebuffer",
    compression: mode === "store" ? "STORE" : "DEFLATE",
    platform: keepLinks ? "UNIX" : "DOS",
    streamFiles: mode === "stream",
  };
  if (mode === "stream") {
    await send(zip.generateNodeStream(options));
  } else {
    fs.writeFileSync(dst, await zip.generateAsync(options));
  }
}

async function viaAdmZip() {
  const AdmZip = require("adm-zip");
  const zip = new AdmZip();
  // The library's own folder walk.
  zip.addLocalFolder(src);
  if (mode === "store") for (const entry of zip.getEntries()) entry.header.method = 0;
  zip.writeZip(dst);
}

async function viaYazl() {
  const yazl = require("yazl");
  const zip = new yazl.ZipFile();
  const options = { compress: mode !== "store", forceZip64Format: mode === "zip64" };
  for (const e of walk(src, "")) {
    if (e.kind === "dir") zip.addEmptyDirectory(e.name, { forceZip64Format: options.forceZip64Format });
    else if (e.kind === "link") zip.addBuffer(Buffer.from(e.target), e.name, { ...options, mode: 0o120777 });
    // Streaming: the size is unknown until the end, so it goes in a data descriptor.
    else if (mode === "stream") zip.addReadStream(fs.createReadStream(e.full), e.name, options);
    else zip.addFile(e.full, e.name, options);
  }
  const done = send(zip.outputStream);
  zip.end({ forceZip64Format: options.forceZip64Format });
  await done;
}

const writers = { archiver: viaArchiver, jszip: viaJszip, "adm-zip": viaAdmZip, yazl: viaYazl };
await writers[lib]();
