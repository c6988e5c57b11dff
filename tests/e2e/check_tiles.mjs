// Checks a tileset folder: every tile has a bounding volume and an error no larger than its
// parent's, every content its tileset.json names is there, and every .glb in the folder passes
// the Khronos glTF validator with no errors (warnings are counted, not refused).
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

// Contents named by the tileset, following nested tileset.json files.
function named(file, seen = new Set()) {
  if (seen.has(file)) return [];
  seen.add(file);
  const uris = [];
  const odd = [];
  const walk = (tile, where, parentError) => {
    if (!tile.boundingVolume) odd.push(`${where} has no boundingVolume`);
    if (!(tile.geometricError >= 0 && tile.geometricError <= parentError)) {
      odd.push(`${where} has geometricError ${tile.geometricError}, its parent ${parentError}`);
    }
    for (const c of [tile.content, ...(tile.contents ?? [])]) if (c?.uri) uris.push(c.uri);
    (tile.children ?? []).forEach((child, i) => walk(child, `${where}.children[${i}]`, tile.geometricError));
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
  walk(json.root, `${path.relative(dir, file)}: root`, json.geometricError);
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
