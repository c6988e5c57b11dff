// Checks the terrain reader and checker without the program: a small encoder here writes two
// neighbouring level-1 tiles and a child of one of them (one gzipped, all with oct normals and
// metadata), the checker must pass them, then must report each way they are spoiled.
//   node qmesh_selftest.mjs
// Exit 0 when every case holds.

import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import zlib from 'node:zlib';
import { checkTerrain } from './check_terrain.mjs';
import { WGS84_A, WGS84_B, decodeTerrain, geodeticToEcef, octDecode, tileBounds, vertexPositions } from './qmesh.mjs';

const Q = 32767;
const here = path.dirname(fileURLToPath(import.meta.url));
let failed = 0;
const run = async (name, body) => {
  try {
    await body();
    console.log(`ok   ${name}`);
  } catch (e) {
    failed++;
    console.log(`FAIL ${name}\n     ${e.message.split('\n').join('\n     ')}`);
  }
};

// --- a tiny encoder ---

const zigZag = (d) => ((d << 1) ^ (d >> 31)) >>> 0;

// A grid of (n + 1) x (rows + 1) vertices over a tile, heights in metres from `ground`, two
// counter-clockwise triangles a cell, oct normals straight up unless left out.
function gridMesh(level, x, y, n, ground, rows = n, normals = true) {
  const b = tileBounds(level, x, y);
  const mesh = { level, x, y, u: [], v: [], metres: [], indices: [], normals: normals ? [] : undefined };
  const r = Math.PI / 180;
  for (let j = 0; j <= rows; j++) {
    for (let i = 0; i <= n; i++) {
      const u = Math.round((i * Q) / n);
      const v = Math.round((j * Q) / rows);
      const lon = b.west + ((b.east - b.west) * u) / Q;
      const lat = b.south + ((b.north - b.south) * v) / Q;
      mesh.u.push(u);
      mesh.v.push(v);
      mesh.metres.push(ground(lon, lat));
      if (normals) mesh.normals.push([Math.cos(lat * r) * Math.cos(lon * r), Math.cos(lat * r) * Math.sin(lon * r), Math.sin(lat * r)]);
    }
  }
  const at = (i, j) => j * (n + 1) + i;
  for (let j = 0; j < rows; j++) {
    for (let i = 0; i < n; i++) {
      mesh.indices.push(at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1), at(i, j + 1));
    }
  }
  const on = (test) => mesh.u.map((_, k) => k).filter(test);
  mesh.edges = {
    west: on((k) => mesh.u[k] === 0), south: on((k) => mesh.v[k] === 0),
    east: on((k) => mesh.u[k] === Q), north: on((k) => mesh.v[k] === Q),
  };
  return mesh;
}

function octEncode([x, y, z]) {
  const s = Math.abs(x) + Math.abs(y) + Math.abs(z);
  let [px, py] = [x / s, y / s];
  if (z < 0) [px, py] = [(1 - Math.abs(py)) * (px >= 0 ? 1 : -1), (1 - Math.abs(px)) * (py >= 0 ? 1 : -1)];
  return [Math.round((px * 0.5 + 0.5) * 255), Math.round((py * 0.5 + 0.5) * 255)];
}

// The bytes of a mesh. Vertices are renumbered in the order triangles first use them (unused ones
// last), as the high-water-mark code needs. `mesh.spoilHeader` may change the header worked out.
function encode(mesh) {
  const count = mesh.u.length;
  const order = [];
  const newIndex = new Int32Array(count).fill(-1);
  const take = (i) => {
    if (newIndex[i] < 0) {
      newIndex[i] = order.length;
      order.push(i);
    }
  };
  mesh.indices.forEach(take);
  for (let i = 0; i < count; i++) take(i);
  const b = tileBounds(mesh.level, mesh.x, mesh.y);
  const low = mesh.metres.reduce((a, b) => Math.min(a, b));
  const high = mesh.maximumHeight ?? mesh.metres.reduce((a, b) => Math.max(a, b));
  const qh = order.map((i) => Math.round(((mesh.metres[i] - low) / (high - low)) * Q));
  const qu = order.map((i) => mesh.u[i]);
  const qv = order.map((i) => mesh.v[i]);
  const ecef = order.map((_, k) => geodeticToEcef(b.west + ((b.east - b.west) * qu[k]) / Q,
    b.south + ((b.north - b.south) * qv[k]) / Q, low + ((high - low) * qh[k]) / Q));
  const centre = [0, 1, 2].map((c) => ecef.reduce((s, p) => s + p[c], 0) / count);
  const radius = ecef.reduce((r, p) => Math.max(r, Math.hypot(p[0] - centre[0], p[1] - centre[1], p[2] - centre[2])), 0);
  // Horizon point along the sphere's centre, far enough out to see over every vertex's horizon.
  const scaled = (p) => [p[0] / WGS84_A, p[1] / WGS84_A, p[2] / WGS84_B];
  const dirLength = Math.hypot(...scaled(centre));
  const dir = scaled(centre).map((c) => c / dirLength);
  let reach = 1;
  for (const p of ecef.map(scaled)) {
    const m = Math.hypot(...p);
    const angle = Math.acos(Math.min(1, (p[0] * dir[0] + p[1] * dir[1] + p[2] * dir[2]) / m)) + Math.acos(1 / Math.max(1, m));
    reach = Math.max(reach, 1 / Math.cos(angle));
  }
  const h = {
    center: geodeticToEcef((b.west + b.east) / 2, (b.south + b.north) / 2, (low + high) / 2),
    min: low, max: high, sphere: [...centre, radius], hop: dir.map((c) => c * reach),
  };
  mesh.spoilHeader?.(h);

  const chunks = [];
  const buf = (n, fill) => {
    const b8 = Buffer.alloc(n);
    fill(b8);
    chunks.push(b8);
  };
  buf(88, (o) => {
    [...h.center].forEach((c, i) => o.writeDoubleLE(c, 8 * i));
    o.writeFloatLE(h.min, 24);
    o.writeFloatLE(h.max, 28);
    [...h.sphere, ...h.hop].forEach((c, i) => o.writeDoubleLE(c, 32 + 8 * i));
  });
  buf(4 + 6 * count, (o) => {
    o.writeUInt32LE(count, 0);
    [qu, qv, qh].forEach((values, a) => values.forEach((x, i) => o.writeUInt16LE(zigZag(x - (i ? values[i - 1] : 0)), 4 + 2 * (a * count + i))));
  });
  const wide = count > 65536;
  const ints = (list) => buf((wide ? 4 : 2) * list.length, (o) => list.forEach((x, i) => (wide ? o.writeUInt32LE(x, 4 * i) : o.writeUInt16LE(x, 2 * i))));
  const u32 = (x) => buf(4, (o) => o.writeUInt32LE(x, 0));
  if (wide && (88 + 4 + 6 * count) % 4) buf(2, () => {});
  u32(mesh.indices.length / 3);
  let highest = 0;
  ints(mesh.indices.map((i) => {
    const code = highest - newIndex[i];
    if (code === 0) highest++;
    return code;
  }));
  for (const side of ['west', 'south', 'east', 'north']) {
    u32(mesh.edges[side].length);
    ints(mesh.edges[side].map((i) => newIndex[i]));
  }
  const extension = (id, data) => {
    buf(5, (o) => {
      o.writeUInt8(id, 0);
      o.writeUInt32LE(data.length, 1);
    });
    chunks.push(data);
  };
  if (mesh.normals) extension(1, Buffer.from(order.flatMap((i) => octEncode(mesh.normals[i]))));
  if (mesh.metadata) {
    const json = Buffer.from(JSON.stringify(mesh.metadata));
    const length = Buffer.alloc(4);
    length.writeUInt32LE(json.length);
    extension(4, Buffer.concat([length, json]));
  }
  const bytes = Buffer.concat(chunks);
  return mesh.gzip ? zlib.gzipSync(bytes) : bytes;
}

// --- the fixture: 1/2/0 and 1/3/0 side by side at longitude 90, 2/4/1 and 2/4/0 under 1/2/0 one
// above the other at latitude -45; southern, so that the normals fold over in oct encoding ---

const ground = (lon, lat) => 400 + 350 * Math.sin(lon / 7) * Math.cos(lat / 5);
const rect = (x, y, x2 = x, y2 = y) => ({ startX: x, startY: y, endX: x2, endY: y2 });

function fixture() {
  const tiles = {
    '1/2/0': gridMesh(1, 2, 0, 8, ground),
    '1/3/0': gridMesh(1, 3, 0, 8, ground),
    '2/4/1': gridMesh(2, 4, 1, 8, ground),
    '2/4/0': gridMesh(2, 4, 0, 8, ground),
  };
  tiles['1/2/0'].metadata = { available: [[rect(4, 0, 4, 1)]] };
  for (const k of ['1/3/0', '2/4/1', '2/4/0']) tiles[k].metadata = { available: [] };
  tiles['1/3/0'].gzip = true;
  const layer = {
    tilejson: '2.1.0', format: 'quantized-mesh-1.0', version: '1.0.0', scheme: 'tms',
    tiles: ['{z}/{x}/{y}.terrain?v={version}'], extensions: ['octvertexnormals', 'metadata'],
    available: [[], [rect(2, 0, 3)], [rect(4, 0, 4, 1)]], minzoom: 1, maxzoom: 2,
  };
  return { tiles, layer, extra: {} };
}

function write(f, spoilBytes = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qmesh-'));
  fs.writeFileSync(path.join(dir, 'layer.json'), JSON.stringify(f.layer));
  for (const [k, mesh] of Object.entries({ ...f.tiles, ...f.extra })) {
    fs.mkdirSync(path.join(dir, path.dirname(k)), { recursive: true });
    const bytes = encode(mesh);
    fs.writeFileSync(path.join(dir, `${k}.terrain`), spoilBytes[k] ? spoilBytes[k](bytes) : bytes);
  }
  return dir;
}

const dirs = [];
function check(spoil = () => {}, spoilBytes) {
  const f = fixture();
  spoil(f);
  const dir = write(f, spoilBytes);
  dirs.push(dir);
  return { dir, ...checkTerrain(dir) };
}

// The index of the vertex of a mesh at (u, v).
const vertexAt = (mesh, u, v) => mesh.u.findIndex((x, i) => x === u && mesh.v[i] === v);

// --- cases ---

await run('tile bounds follow the published level-1 table and the ellipsoid its axes', () => {
  assert.deepEqual(tileBounds(1, 1, 0), { west: -90, south: -90, east: 0, north: 0 });
  assert.deepEqual(tileBounds(1, 2, 1), { west: 0, south: 0, east: 90, north: 90 });
  assert.deepEqual(tileBounds(0, 1, 0), { west: 0, south: -90, east: 180, north: 90 });
  assert.throws(() => tileBounds(1, 4, 0), /no tile/);
  const close = (p, q) => p.every((c, i) => Math.abs(c - q[i]) < 1e-6);
  assert.ok(close(geodeticToEcef(0, 0, 0), [WGS84_A, 0, 0]));
  assert.ok(close(geodeticToEcef(90, 0, 10), [0, WGS84_A + 10, 0]));
  assert.ok(close(geodeticToEcef(0, 90, 0), [0, 0, WGS84_B]));
});

await run('a tile round-trips: vertices, high-water-mark indices, edges, normals, metadata, gzip', () => {
  const mesh = gridMesh(2, 4, 1, 3, ground);
  mesh.metadata = { available: [[rect(8, 2)]] };
  mesh.gzip = true;
  const t = decodeTerrain(encode(mesh));
  // The encoder renumbers by first use; map back through the u, v of each vertex.
  const original = t.indices.map((i) => vertexAt(mesh, t.u[i], t.v[i]));
  assert.deepEqual(Array.from(original), mesh.indices);
  assert.deepEqual([...t.westIndices].map((i) => t.u[i]), [0, 0, 0, 0]);
  assert.deepEqual([...t.northIndices].map((i) => t.v[i]), [Q, Q, Q, Q]);
  assert.equal(t.extensions.octNormals.length, 2 * 16);
  assert.deepEqual(t.extensions.metadata, mesh.metadata);
  assert.equal(t.header.maximumHeight, Math.fround(Math.max(...mesh.metres)));
  const at = vertexPositions(t, tileBounds(2, 4, 1));
  const oct = t.extensions.octNormals;
  const step = (t.header.maximumHeight - t.header.minimumHeight) / Q;
  t.u.forEach((u, i) => {
    const k = vertexAt(mesh, u, t.v[i]);
    assert.ok(Math.abs(at.height[i] - mesh.metres[k]) <= step / 2 + 1e-6, `vertex ${i}: ${at.height[i]} m against ${mesh.metres[k]} m`);
    assert.equal(at.longitude[i], (45 * u) / Q);
    const n = octDecode(oct[2 * i], oct[2 * i + 1]);
    assert.ok(n.reduce((s, c, j) => s + c * mesh.normals[k][j], 0) > 0.999, `normal ${i}: ${n} against ${mesh.normals[k]}`);
  });
});

await run('more than 65536 vertices use 32-bit indices after padding', () => {
  // 21847 x 3 vertices: an odd count, so the indices need two bytes of padding.
  const mesh = gridMesh(3, 8, 4, 21846, ground, 2, false);
  const t = decodeTerrain(encode(mesh));
  assert.equal(t.vertexCount, 65541);
  assert.equal(t.indices.length, mesh.indices.length);
  assert.equal(t.indices.reduce((a, b) => Math.max(a, b)), 65540);
  assert.deepEqual([...t.southIndices].map((i) => t.v[i]), Array(21847).fill(0));
  assert.deepEqual([...t.eastIndices].map((i) => t.u[i]), [Q, Q, Q]);
  assert.deepEqual(t.extensions, {});
});

let baselineDir;
await run('the fixture passes, every tile read, shared edge within quantization', () => {
  const r = check();
  baselineDir = r.dir;
  assert.deepEqual(r.failures, []);
  assert.equal(r.summary.tiles, 4);
  assert.equal(r.summary.vertices, 4 * 81);
  assert.equal(r.summary.triangles, 4 * 128);
  assert.ok(r.summary.largestEdgeMismatch > 0 && r.summary.largestEdgeMismatch < 0.05, `${r.summary.largestEdgeMismatch} m`);
});

const spoiled = [
  ['a vertex moved along the shared edge', /the 1\/2\/0 east and 1\/3\/0 west edges do not meet: .* at longitude 90\.0+, latitude -56\.24/,
    (f) => { const m = f.tiles['1/2/0']; m.v[vertexAt(m, Q, Math.round((3 * Q) / 8))] += 200; }],
  ['a step in height along the shared edge', /the 2\/4\/0 north and 2\/4\/1 south edges differ by (0\.9|1\.0)\d\d m in height at longitude 22\.50\d+, latitude -45\.0/,
    (f) => { const m = f.tiles['2/4/1']; m.metres[vertexAt(m, Math.round(Q / 2), 0)] += 1; }],
  ['a hole where a triangle is missing', /1\/3\/0: the triangles cover 99\.\d+% of the tile/,
    (f) => { f.tiles['1/3/0'].indices.splice(60, 3); }],
  ['maximumHeight above every vertex', /1\/3\/0: maximumHeight .* but the highest vertex/,
    (f) => { const m = f.tiles['1/3/0']; m.maximumHeight = Math.max(...m.metres) + 100; }],
  ['an edge list missing a vertex', /2\/4\/1: the west edge list lacks vertex/,
    (f) => { f.tiles['2/4/1'].edges.west.splice(2, 1); }],
  ['a degenerate triangle', /1\/2\/0: triangle 1 is degenerate/,
    (f) => { const i = f.tiles['1/2/0'].indices; i[5] = i[3]; }],
  ['a clockwise triangle', /1\/2\/0: triangle 7 .* is clockwise/,
    (f) => { const i = f.tiles['1/2/0'].indices; [i[22], i[23]] = [i[23], i[22]]; }],
  ['a bounding sphere too small', /2\/4\/1: vertex \d+ lies .* outside the bounding sphere/,
    (f) => { f.tiles['2/4/1'].spoilHeader = (h) => { h.sphere[3] *= 0.9; }; }],
  ['a horizon occlusion point too low', /1\/3\/0: the horizon occlusion point .* comes into view after vertex/,
    (f) => { f.tiles['1/3/0'].spoilHeader = (h) => { h.hop = h.hop.map((c) => c * 0.99); }; }],
  ['a normal pointing down', /2\/4\/1: the normal of vertex \d+ points down/,
    (f) => { const m = f.tiles['2/4/1']; m.normals[40] = m.normals[40].map((c) => -c); }],
  ['metadata leaving out a child', /1\/2\/0: metadata leaves out 2\/4\/0/,
    (f) => { f.tiles['1/2/0'].metadata = { available: [[rect(4, 1)]] }; }],
  ['a tile layer.json does not list', /2\/5\/2\.terrain is not a tile layer.json makes available/,
    (f) => { f.extra['2/5/2'] = gridMesh(2, 5, 2, 2, ground); }],
];
for (const [name, expected, spoil] of spoiled) {
  await run(`reported: ${name}`, () => {
    const { failures } = check(spoil);
    assert.ok(failures.some((f) => expected.test(f)), `expected ${expected}, got:\n${failures.join('\n')}`);
  });
}
await run('reported: truncated files, plain and gzipped', () => {
  const { failures } = check(() => {}, { '1/2/0': (b) => b.subarray(0, 600), '1/3/0': (b) => b.subarray(0, b.length - 9) });
  assert.ok(failures.some((f) => /^1\/2\/0: truncated tile/.test(f)), failures.join('\n'));
  assert.ok(failures.some((f) => /^1\/3\/0: truncated or damaged gzip/.test(f)), failures.join('\n'));
});

await run('the command line exits 0 on the fixture and 1 with the failure listed on a spoiled one', async () => {
  const script = path.join(here, 'check_terrain.mjs');
  const cli = (dir) => new Promise((resolve) => execFile(process.execPath, [script, dir], (e, stdout) => resolve({ status: e ? e.code : 0, stdout })));
  const { dir } = check((f) => { f.tiles['2/4/1'].edges.west.splice(2, 1); });
  const [good, bad] = await Promise.all([cli(baselineDir), cli(dir)]);
  assert.equal(good.status, 0, good.stdout);
  assert.match(good.stdout, /check_terrain: 4 tiles, 324 vertices, 512 triangles, largest edge mismatch 0\.0\d\d m; no failures/);
  assert.equal(bad.status, 1, bad.stdout);
  assert.match(bad.stdout, /2\/4\/1: the west edge list lacks vertex/);
});

for (const d of dirs) fs.rmSync(d, { recursive: true, force: true });
console.log(failed ? `${failed} failed` : 'all passed');
process.exit(failed ? 1 : 0);
