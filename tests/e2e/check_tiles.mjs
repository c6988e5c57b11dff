// Checks a tileset folder: every tile has a bounding box holding its content and its children's
// boxes, or a region holding its children's regions (what a region's content holds check_tiles
// measures), and an error below its parent's, every content its tileset.json names is there, and
// every .glb in the folder passes the Khronos glTF validator with no errors (warnings are counted,
// not refused).
//   node check_tiles.mjs DIR
// Prints one line per file with errors and a summary; exit 0 only when there are none.

import fs from 'node:fs';
import path from 'node:path';
import validator from 'gltf-validator';

const dir = process.argv[2];
if (!dir) {
  console.error('usage: node check_tiles.mjs DIR');
  process.exit(2);
}
let bad = 0;

// The eight corners of a box volume [cx, cy, cz, ax, ay, az, bx, by, bz, hx, hy, hz].
const corners = (b) => [0, 1, 2, 3, 4, 5, 6, 7].map((k) => [0, 1, 2].map((i) =>
  b[i] + (k & 1 ? 1 : -1) * b[3 + i] + (k & 2 ? 1 : -1) * b[6 + i] + (k & 4 ? 1 : -1) * b[9 + i]));
// Whether a point lies in a box volume (its half axes at right angles), give or take what
// writing the numbers in decimal may change.
const holds = (b, p) => [3, 6, 9].every((a) => {
  const axis = b.slice(a, a + 3);
  const length = Math.hypot(...axis);
  const along = axis.reduce((s, v, i) => s + v * (p[i] - b[i]), 0) / (length || 1);
  return Math.abs(along) <= length * (1 + 1e-9) + 1e-6;
});
// Whether region a [west, south, east, north, low, high] (radians, metres; west > east across
// the antimeridian) lies within region b, give or take decimal writing.
const span = (r) => (r[2] >= r[0] ? [r[0], r[2]] : [r[0], r[2] + 2 * Math.PI]);
const within = (a, b) => {
  const e = 1e-9;
  let [aw, ae] = span(a);
  const [bw, be] = span(b);
  if (aw < bw - e) [aw, ae] = [aw + 2 * Math.PI, ae + 2 * Math.PI];
  const round = be - bw >= 2 * Math.PI - e; // all the way round: every longitude
  return (round || (aw >= bw - e && ae <= be + e)) && a[1] >= b[1] - e && a[3] <= b[3] + e && a[4] >= b[4] - 1e-3 && a[5] <= b[5] + 1e-3;
};
// The corners of a GLB's content in the tile frame: each mesh node's POSITION bounds moved by its
// translation, glTF's Y up turned Z up.
function contentCorners(file) {
  const bytes = fs.readFileSync(file);
  const gltf = JSON.parse(bytes.toString('utf8', 20, 20 + bytes.readUInt32LE(12)));
  const points = [];
  for (const node of gltf.nodes ?? []) {
    if (node.mesh === undefined) continue;
    const t = node.translation ?? [0, 0, 0];
    for (const primitive of gltf.meshes[node.mesh].primitives) {
      const { min, max } = gltf.accessors[primitive.attributes.POSITION];
      for (let k = 0; k < 8; k++) {
        const q = [0, 1, 2].map((i) => (k & (1 << i) ? max[i] : min[i]) + t[i]);
        points.push([q[0], -q[2], q[1]]);
      }
    }
  }
  return points;
}

// Contents named by the tileset, following nested tileset.json files; every tile checked on the
// way: a bounding volume holding its content and its children's volumes, an error below its
// parent's.
function named(file, seen = new Set()) {
  if (seen.has(file)) return [];
  seen.add(file);
  const uris = [];
  const odd = [];
  const walk = (tile, where, parent) => {
    const box = tile.boundingVolume?.box;
    const region = tile.boundingVolume?.region;
    if (!box && !region) odd.push(`${where} has no bounding box or region`);
    const bounded = parent.box || parent.region;
    if (!(tile.geometricError >= 0 && (bounded ? tile.geometricError < parent.error : tile.geometricError <= parent.error))) {
      odd.push(`${where} has geometricError ${tile.geometricError}, its parent ${parent.error}`);
    }
    if (box && parent.box && !corners(box).every((p) => holds(parent.box, p))) odd.push(`${where} reaches beyond its parent`);
    if (region && parent.region && !within(region, parent.region)) odd.push(`${where} reaches beyond its parent's region`);
    for (const c of [tile.content, ...(tile.contents ?? [])]) {
      if (!c?.uri) continue;
      uris.push(c.uri);
      const f = path.resolve(path.dirname(file), decodeURIComponent(c.uri.split(/[?#]/)[0]));
      if (box && f.endsWith('.glb') && fs.existsSync(f) && !contentCorners(f).every((p) => holds(box, p))) {
        odd.push(`${where}'s content reaches beyond its bounding box`);
      }
    }
    (tile.children ?? []).forEach((child, i) =>
      walk(child, `${where}.children[${i}]`, { error: tile.geometricError, box, region }));
  };
  let json;
  try {
    json = JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (e) {
    console.log(`    ${path.relative(dir, file)} is not a readable tileset: ${e.message}`);
    process.exit(1);
  }
  if (!json?.root) {
    console.log(`    ${path.relative(dir, file)} has no root tile`);
    process.exit(1);
  }
  walk(json.root, `${path.relative(dir, file)}: root`, { error: json.geometricError });
  for (const line of odd.slice(0, 5)) console.log(`    ${line}`);
  if (odd.length) console.log(`    ${odd.length} tiles are out of order`);
  bad += odd.length;
  const files = uris.map((u) => path.resolve(path.dirname(file), decodeURIComponent(u.split(/[?#]/)[0])));
  return files.flatMap((f) => (f.endsWith('.json') && fs.existsSync(f) ? [f, ...named(f, seen)] : [f]));
}
const contents = named(path.join(dir, 'tileset.json'));
const missing = contents.filter((f) => !fs.existsSync(f));
for (const f of missing.slice(0, 5)) console.log(`    missing: ${path.relative(dir, f)}`);
if (missing.length) console.log(`    ${missing.length} of ${contents.length} contents are missing`);
bad += missing.length;

const glbs = [];
const find = (d) => {
  for (const e of fs.readdirSync(d, { withFileTypes: true })) {
    const p = path.join(d, e.name);
    if (e.isDirectory()) find(p);
    else if (e.name.toLowerCase().endsWith('.glb')) glbs.push(p);
  }
};
find(dir);

let errors = 0;
let warnings = 0;
let failedFiles = 0;
for (const file of glbs) {
  const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)), {
    uri: path.basename(file),
    maxIssues: 20,
    externalResourceFunction: (uri) => fs.promises.readFile(path.resolve(path.dirname(file), decodeURIComponent(uri))),
  });
  errors += report.issues.numErrors;
  warnings += report.issues.numWarnings;
  if (report.issues.numErrors > 0) {
    failedFiles += 1;
    if (failedFiles <= 5) {
      const first = report.issues.messages.find((m) => m.severity === 0);
      console.log(`    ${path.relative(dir, file)}: ${report.issues.numErrors} errors, first ${first.code} at ${first.pointer ?? '?'}: ${first.message}`);
    }
  }
}
console.log(`    ${glbs.length} GLB files: ${errors} errors (in ${failedFiles} files), ${warnings} warnings`);
if (glbs.length === 0) console.log('    there is no GLB file to check');
process.exit(bad === 0 && errors === 0 && glbs.length > 0 ? 0 : 1);
