// Serves the tile page, Cesium's built files and one tileset folder from this machine:
//   /web/...    this folder
//   /cesium/... node_modules/cesium/Build/Cesium
//   /tiles/...  the tileset folder
// Only files that really lie inside these folders, links resolved, are served; only to requests
// that name this machine (localhost, 127.x.x.x, [::1] or the --host address) as their host.
// node web/serve.mjs [--host H] [--port N] DIR|DIR/TILESET.json
// Prints the page's address on the first line of standard output, then serves until stopped.

import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { pipeline } from 'node:stream';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const project = path.dirname(here);

function usage(message) {
  if (message) console.error(message);
  console.error('usage: view-tiles [--host ADDRESS] [--port N] DIR|DIR/TILESET.json');
  process.exit(2);
}

let host = '127.0.0.1';
let port = 0;
let target;
const args = process.argv.slice(2);
for (let i = 0; i < args.length; i++) {
  if (args[i] === '--host' && i + 1 < args.length) host = args[++i];
  else if (args[i] === '--port' && i + 1 < args.length) port = Number(args[++i]);
  else if (args[i] === '-h' || args[i] === '--help') usage();
  else if (args[i].startsWith('-') || target !== undefined) usage(`unknown argument: ${args[i]}`);
  else target = args[i];
}
if (target === undefined) usage('no tileset folder given');
if (!Number.isInteger(port) || port < 0 || port > 65535) usage('--port takes a number 0..65535');

let tilesDir = path.resolve(target);
let tilesetName = 'tileset.json';
if (fs.existsSync(tilesDir) && fs.statSync(tilesDir).isFile()) {
  tilesetName = path.basename(tilesDir);
  tilesDir = path.dirname(tilesDir);
}
// A folder without a tileset may hold a terrain layer.
if (tilesetName === 'tileset.json' && !fs.existsSync(path.join(tilesDir, tilesetName)) &&
    fs.existsSync(path.join(tilesDir, 'layer.json'))) tilesetName = 'layer.json';
if (!fs.existsSync(path.join(tilesDir, tilesetName))) usage(`no ${tilesetName} in ${tilesDir}`);
const cesiumDir = path.join(project, 'node_modules', 'cesium', 'Build', 'Cesium');
if (!fs.existsSync(path.join(cesiumDir, 'Cesium.js'))) {
  usage(`Cesium is not installed (${cesiumDir} is missing): run scripts/setup-web.sh`);
}

// Every file served must really lie inside its root: a link that leads out of it is not served.
const roots = Object.fromEntries(Object.entries({ web: here, cesium: cesiumDir, tiles: tilesDir })
  .map(([name, dir]) => [name, fs.realpathSync(dir)]));
const types = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.mjs': 'text/javascript',
  '.css': 'text/css', '.json': 'application/json', '.glb': 'model/gltf-binary',
  '.gltf': 'model/gltf+json', '.bin': 'application/octet-stream', '.png': 'image/png',
  '.jpg': 'image/jpeg', '.jpeg': 'image/jpeg', '.svg': 'image/svg+xml',
  '.wasm': 'application/wasm', '.ktx2': 'image/ktx2', '.subtree': 'application/octet-stream',
  '.terrain': 'application/vnd.quantized-mesh',
  '.xml': 'application/xml',
};

// The names this server answers to. A page from elsewhere whose name has been made to point
// at this machine still sends its own name, and is turned away. When bound to every address,
// the machine's own addresses are its names too.
const bracket = (address) => (address.includes(':') ? `[${address}]` : address);
const ownNames = new Set(['localhost', '[::1]', bracket(host.toLowerCase())]);
if (host === '0.0.0.0' || host === '::') {
  for (const list of Object.values(os.networkInterfaces())) {
    for (const a of list ?? []) ownNames.add(bracket(a.address.toLowerCase()));
  }
}
function isOwnName(header) {
  const m = /^(\[[0-9a-f:.]+\]|[^:[\]]+)(?::(\d+))?$/.exec((header ?? '').toLowerCase());
  if (!m || (m[2] !== undefined && Number(m[2]) !== server.address()?.port)) return false;
  return ownNames.has(m[1]) || /^127(\.\d{1,3}){3}$/.test(m[1]);
}

function send(res, code, text) {
  res.writeHead(code, { 'Content-Type': 'text/plain; charset=utf-8' });
  res.end(`${text}\n`);
}

// The file PARTS name under ROOT, or null when there is none or it lies outside.
async function find(root, parts) {
  try {
    const real = await fs.promises.realpath(path.join(root, ...parts));
    const inside = path.relative(root, real);
    return inside && inside !== '..' && !inside.startsWith(`..${path.sep}`) && !path.isAbsolute(inside) ? real : null;
  } catch {
    return null;
  }
}

async function answer(req, res) {
  if (!isOwnName(req.headers.host)) return send(res, 403, 'this server answers only to the names of this machine');
  if (req.method !== 'GET' && req.method !== 'HEAD') return send(res, 405, 'only GET and HEAD');
  let parts;
  try {
    parts = decodeURIComponent(new URL(req.url, 'http://x').pathname).split('/').filter(Boolean);
  } catch {
    return send(res, 400, 'bad address');
  }
  if (parts.some((p) => p.includes('\0'))) return send(res, 400, 'bad address');
  if (parts.length === 0) {
    res.writeHead(302, { Location: `/web/index.html?tileset=/tiles/${encodeURIComponent(tilesetName)}` });
    return res.end();
  }
  const root = roots[parts[0]];
  const file = root && !parts.includes('..') ? await find(root, parts.slice(1)) : null;
  let handle;
  try {
    // Not blocking: a named pipe in the folder must not hold up the server.
    handle = file && (await fs.promises.open(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK));
  } catch {
    handle = null;
  }
  if (!handle) return send(res, 404, 'not found');
  try {
    const st = await handle.stat();
    if (!st.isFile()) return send(res, 404, 'not found');
    const headers = {
      'Content-Type': types[path.extname(file).toLowerCase()] ?? 'application/octet-stream',
      'Content-Length': st.size,
      'Cache-Control': 'no-cache',
    };
    // Terrain tiles are kept gzipped: the browser unpacks them as it receives them.
    if (path.extname(file).toLowerCase() === '.terrain') {
      const magic = Buffer.alloc(2);
      await handle.read(magic, 0, 2, 0);
      if (magic[0] === 0x1f && magic[1] === 0x8b) headers['Content-Encoding'] = 'gzip';
    }
    res.writeHead(200, headers);
    if (req.method === 'HEAD') return res.end();
    const stream = handle.createReadStream();
    handle = null; // the stream closes it, also when the client goes away early
    pipeline(stream, res, () => {});
  } finally {
    await handle?.close();
  }
}

const server = http.createServer((req, res) => {
  answer(req, res).catch((err) => {
    console.error(`view-tiles: ${req.url}: ${err.message}`);
    if (!res.headersSent) send(res, 500, 'server error');
    else res.destroy();
  });
});

server.on('error', (err) => {
  console.error(`view-tiles: ${err.message}`);
  process.exit(1);
});
server.listen(port, host, () => {
  const shown = host.includes(':') ? `[${host}]` : host;
  const page = `http://${shown}:${server.address().port}/web/index.html`;
  console.log(`${page}?tileset=/tiles/${encodeURIComponent(tilesetName)}`);
  console.log(`Serving ${tilesDir}; Ctrl-C stops.`);
});
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => process.exit(0));
