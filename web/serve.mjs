// Serves the tile page, Cesium's built files and one tileset folder from this machine:
//   /web/...    this folder
//   /cesium/... node_modules/cesium/Build/Cesium
//   /tiles/...  the tileset folder
// node web/serve.mjs [--host H] [--port N] DIR|DIR/TILESET.json
// Prints the page's address on the first line of standard output, then serves until stopped.

import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
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
if (!fs.existsSync(path.join(tilesDir, tilesetName))) usage(`no ${tilesetName} in ${tilesDir}`);
const cesiumDir = path.join(project, 'node_modules', 'cesium', 'Build', 'Cesium');
if (!fs.existsSync(path.join(cesiumDir, 'Cesium.js'))) {
  usage(`Cesium is not installed (${cesiumDir} is missing): run scripts/setup-web.sh`);
}

const roots = { web: here, cesium: cesiumDir, tiles: tilesDir };
const types = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.mjs': 'text/javascript',
  '.css': 'text/css', '.json': 'application/json', '.glb': 'model/gltf-binary',
  '.gltf': 'model/gltf+json', '.bin': 'application/octet-stream', '.png': 'image/png',
  '.jpg': 'image/jpeg', '.jpeg': 'image/jpeg', '.svg': 'image/svg+xml',
  '.wasm': 'application/wasm', '.ktx2': 'image/ktx2', '.subtree': 'application/octet-stream',
};

function send(res, code, text) {
  res.writeHead(code, { 'Content-Type': 'text/plain; charset=utf-8' });
  res.end(`${text}\n`);
}

const server = http.createServer((req, res) => {
  if (req.method !== 'GET' && req.method !== 'HEAD') return send(res, 405, 'only GET and HEAD');
  let parts;
  try {
    parts = decodeURIComponent(new URL(req.url, 'http://x').pathname).split('/').filter(Boolean);
  } catch {
    return send(res, 400, 'bad address');
  }
  if (parts.length === 0) {
    res.writeHead(302, { Location: `/web/index.html?tileset=/tiles/${encodeURIComponent(tilesetName)}` });
    return res.end();
  }
  const root = roots[parts[0]];
  if (!root || parts.includes('..')) return send(res, 404, 'not found');
  const file = path.join(root, ...parts.slice(1));
  fs.stat(file, (err, st) => {
    if (err || !st.isFile()) return send(res, 404, 'not found');
    res.writeHead(200, {
      'Content-Type': types[path.extname(file).toLowerCase()] ?? 'application/octet-stream',
      'Content-Length': st.size,
      'Cache-Control': 'no-cache',
    });
    if (req.method === 'HEAD') return res.end();
    fs.createReadStream(file).pipe(res);
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
