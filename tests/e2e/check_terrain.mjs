// Checks a quantized-mesh terrain folder: layer.json, every tile it says is available and nothing
// else, each tile on its own (heights, bounding sphere, horizon occlusion point, triangles, edge
// lists, normals, metadata) and the tiles together (shared edges of neighbours at a level meet,
// availability in layer.json and in tiles' metadata matches the files, no tile without a parent).
//   node check_terrain.mjs DIR
// Prints the first failures and a summary line; exit 0 only when there are none.

import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import {
  QUANTIZED_MAX, WGS84_A, WGS84_B, decodeTerrain, ellipsoidNormal, octDecode, tileBounds, vertexPositions,
} from './qmesh.mjs';

const SIDES = ['west', 'south', 'east', 'north'];
// Extension names in layer.json and the decoded extension each one stands for.
const ADVERTISED = { octvertexnormals: 'octNormals', watermask: 'waterMask', metadata: 'metadata' };

const key = (z, x, y) => `${z}/${x}/${y}`;
const sub = (p, q) => [p[0] - q[0], p[1] - q[1], p[2] - q[2]];
const dot = (p, q) => p[0] * q[0] + p[1] * q[1] + p[2] * q[2];
const norm = (p) => Math.hypot(p[0], p[1], p[2]);
const cross = (p, q) => [p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]];

// Tile keys of a list of availability rectangles at one level, with what is wrong with them.
function rectangleTiles(rects, level, within, where, failures) {
  const tiles = new Set();
  if (!Array.isArray(rects)) {
    failures.push(`${where}: level ${level} is not a list of rectangles`);
    return tiles;
  }
  for (const r of rects) {
    const { startX, startY, endX, endY } = r ?? {};
    if (![startX, startY, endX, endY].every(Number.isInteger) || startX > endX || startY > endY ||
        startX < within.x0 || endX > within.x1 || startY < within.y0 || endY > within.y1) {
      failures.push(`${where}: level ${level} rectangle ${JSON.stringify(r)} is not within x ${within.x0}..${within.x1}, y ${within.y0}..${within.y1}`);
      continue;
    }
    for (let x = startX; x <= endX; x++) for (let y = startY; y <= endY; y++) tiles.add(key(level, x, y));
  }
  return tiles;
}

function terrainFiles(dir) {
  const out = [];
  const walk = (d) => {
    for (const e of fs.readdirSync(d, { withFileTypes: true })) {
      const p = path.join(d, e.name);
      if (e.isDirectory()) walk(p);
      else if (e.name.endsWith('.terrain')) out.push(path.relative(dir, p));
    }
  };
  walk(dir);
  return out;
}

// The magnitude a horizon occlusion point in direction `toPoint` (a unit vector in the
// ellipsoid-scaled frame) needs so that it comes into view no later than the scaled point `p`,
// from any viewer: the cone of places that see p must lie within the cone that sees the point.
// Infinity when no point in that direction will do.
function neededMagnitude(p, toPoint) {
  const m = norm(p);
  const direction = [p[0] / m, p[1] / m, p[2] / m];
  const clamped = Math.max(m, 1); // a point under the ellipsoid counts as on it
  const cosAlpha = dot(direction, toPoint);
  const sinAlpha = norm(cross(direction, toPoint));
  const cosBeta = 1 / clamped;
  const sinBeta = Math.sqrt(clamped * clamped - 1) / clamped;
  const c = cosAlpha * cosBeta - sinAlpha * sinBeta;
  return c > 0 ? 1 / c : Infinity;
}

// Checks one decoded tile by itself. Returns its edge vertices for the neighbour checks.
function checkTile(name, level, tile, bounds, layerExtensions, failures) {
  const fail = (what) => failures.push(`${name}: ${what}`);
  const h = tile.header;
  const n = tile.vertexCount;
  if (n === 0) {
    fail('has no vertices');
    return null;
  }
  const pos = vertexPositions(tile, bounds);
  const heightStep = (h.maximumHeight - h.minimumHeight) / QUANTIZED_MAX;

  // The header's height range is the vertices' range.
  let qLow = QUANTIZED_MAX;
  let qHigh = 0;
  for (const q of tile.height) {
    qLow = Math.min(qLow, q);
    qHigh = Math.max(qHigh, q);
  }
  if (heightStep > 0 && qLow > 1) {
    fail(`minimumHeight ${h.minimumHeight} m but the lowest vertex is at ${(h.minimumHeight + qLow * heightStep).toFixed(3)} m`);
  }
  if (heightStep > 0 && qHigh < QUANTIZED_MAX - 1) {
    fail(`maximumHeight ${h.maximumHeight} m but the highest vertex is at ${(h.minimumHeight + qHigh * heightStep).toFixed(3)} m`);
  }

  // The bounding sphere holds every vertex and the tile's centre.
  const centre = [h.boundingSphereCenterX, h.boundingSphereCenterY, h.boundingSphereCenterZ];
  const radius = h.boundingSphereRadius;
  const slack = 0.01 + 1e-6 * radius;
  let outside = -1;
  let farthest = 0;
  for (let i = 0; i < n; i++) {
    const d = norm(sub(pos.ecef.subarray(3 * i, 3 * i + 3), centre));
    if (d > farthest) {
      farthest = d;
      outside = i;
    }
  }
  if (farthest > radius + slack) {
    fail(`vertex ${outside} lies ${(farthest - radius).toFixed(3)} m outside the bounding sphere of radius ${radius.toFixed(3)} m`);
  }
  const tileCentre = [h.centerX, h.centerY, h.centerZ];
  if (norm(sub(tileCentre, centre)) > radius + slack) {
    fail(`the centre lies ${(norm(sub(tileCentre, centre)) - radius).toFixed(3)} m outside the bounding sphere`);
  }

  // The horizon occlusion point comes into view no later than any vertex. A tile reaching over a
  // whole hemisphere (level 0) can have no such point; there the point is left unchecked.
  let horizonUnchecked = false;
  const hop = [h.horizonOcclusionPointX, h.horizonOcclusionPointY, h.horizonOcclusionPointZ];
  const hopMagnitude = norm(hop);
  if (!(hopMagnitude > 0)) {
    fail('the horizon occlusion point is the Earth\'s centre');
  } else {
    const toPoint = hop.map((c) => c / hopMagnitude);
    let needed = 1;
    let worst = 0;
    for (let i = 0; i < n; i++) {
      const m = neededMagnitude([pos.ecef[3 * i] / WGS84_A, pos.ecef[3 * i + 1] / WGS84_A, pos.ecef[3 * i + 2] / WGS84_B], toPoint);
      if (m > needed) {
        needed = m;
        worst = i;
      }
    }
    if (needed === Infinity && level === 0) {
      horizonUnchecked = true;
    } else if (hopMagnitude < needed * (1 - 1e-7)) {
      fail(`the horizon occlusion point (scaled magnitude ${hopMagnitude.toFixed(6)}) comes into view after vertex ${worst}, which needs ${needed === Infinity ? 'a point in another direction' : needed.toFixed(6)}`);
    }
  }

  // Triangles: indices distinct, counter-clockwise in u, v, together covering the tile once, and
  // using every vertex.
  const { u, v, indices } = tile;
  const used = new Uint8Array(n);
  let area = 0;
  let bad = 0;
  for (let t = 0; t < indices.length; t += 3) {
    const [a, b, c] = [indices[t], indices[t + 1], indices[t + 2]];
    used[a] = used[b] = used[c] = 1;
    if (a === b || b === c || a === c) {
      if (bad++ < 3) fail(`triangle ${t / 3} is degenerate: vertices ${a}, ${b}, ${c}`);
      continue;
    }
    const twice = (u[b] - u[a]) * (v[c] - v[a]) - (u[c] - u[a]) * (v[b] - v[a]);
    if (twice <= 0 && bad++ < 3) {
      fail(`triangle ${t / 3} (${a}, ${b}, ${c}) is ${twice < 0 ? 'clockwise' : 'of zero area'} in u, v`);
    }
    area += Math.abs(twice);
  }
  if (bad === 0 && area !== 2 * QUANTIZED_MAX * QUANTIZED_MAX) {
    fail(`the triangles cover ${((100 * area) / (2 * QUANTIZED_MAX * QUANTIZED_MAX)).toFixed(4)}% of the tile, not 100%`);
  }
  const unused = used.indexOf(0);
  if (unused >= 0) fail(`vertex ${unused} is in no triangle`);

  // Edge lists hold exactly the vertices on each edge.
  const onSide = {
    west: (i) => u[i] === 0, east: (i) => u[i] === QUANTIZED_MAX,
    south: (i) => v[i] === 0, north: (i) => v[i] === QUANTIZED_MAX,
  };
  const edges = {};
  for (const side of SIDES) {
    const list = tile[`${side}Indices`];
    const listed = new Set(list);
    if (listed.size !== list.length) fail(`the ${side} edge list names a vertex twice`);
    for (const i of listed) {
      if (!onSide[side](i)) fail(`the ${side} edge list holds vertex ${i} at u ${u[i]}, v ${v[i]}, which is not on that edge`);
    }
    const along = side === 'west' || side === 'east' ? v : u;
    const vertices = [];
    for (let i = 0; i < n; i++) {
      if (!onSide[side](i)) continue;
      if (!listed.has(i)) fail(`the ${side} edge list lacks vertex ${i} at u ${u[i]}, v ${v[i]}`);
      vertices.push({
        along: along[i], longitude: pos.longitude[i], latitude: pos.latitude[i], height: pos.height[i],
        ecef: Array.from(pos.ecef.subarray(3 * i, 3 * i + 3)),
      });
    }
    edges[side] = vertices.sort((p, q) => p.along - q.along);
  }

  // Normals point away from the ground, never into it.
  if (tile.extensions.octNormals) {
    const oct = tile.extensions.octNormals;
    let down = 0;
    for (let i = 0; i < n; i++) {
      const up = ellipsoidNormal(pos.longitude[i], pos.latitude[i]);
      if (dot(octDecode(oct[2 * i], oct[2 * i + 1]), up) <= 0 && down++ < 3) {
        fail(`the normal of vertex ${i} points ${down === 1 ? 'down or sideways' : 'down too'}`);
      }
    }
  }

  // Extensions the tile carries are the ones layer.json offers.
  for (const [advertised, decoded] of Object.entries(ADVERTISED)) {
    const has = tile.extensions[decoded] !== undefined;
    if (has && !layerExtensions.includes(advertised)) fail(`carries ${advertised}, which layer.json does not list`);
    if (!has && decoded !== 'metadata' && layerExtensions.includes(advertised)) fail(`lacks ${advertised}, which layer.json lists`);
  }
  for (const e of tile.extensions.unknown ?? []) fail(`carries an extension of unknown id ${e.id}`);

  return { edges, heightStep, horizonUnchecked };
}

// The shared edge of two neighbouring tiles of a level: the same vertices on both sides.
function compareEdge(nameA, sideA, a, nameB, sideB, b, failures) {
  const ea = a.edges[sideA];
  const eb = b.edges[sideB];
  const heightSlack = 0.01 + (a.heightStep + b.heightStep) / 2;
  let largest = 0;
  const count = Math.max(ea.length, eb.length);
  for (let k = 0; k < count; k++) {
    const p = ea[k];
    const q = eb[k];
    if (!p || !q || Math.abs(p.along - q.along) > 1) {
      const [lone, from, other] = !q || (p && p.along < q.along) ? [p, `${nameA} ${sideA}`, `${nameB} ${sideB}`] : [q, `${nameB} ${sideB}`, `${nameA} ${sideA}`];
      failures.push(`the ${nameA} ${sideA} and ${nameB} ${sideB} edges do not meet: ${from} has a vertex at longitude ${lone.longitude.toFixed(7)}, latitude ${lone.latitude.toFixed(7)} that ${other} lacks (${ea.length} vertices against ${eb.length})`);
      return largest;
    }
    largest = Math.max(largest, norm(sub(p.ecef, q.ecef)));
    if (Math.abs(p.height - q.height) > heightSlack) {
      failures.push(`the ${nameA} ${sideA} and ${nameB} ${sideB} edges differ by ${Math.abs(p.height - q.height).toFixed(3)} m in height at longitude ${p.longitude.toFixed(7)}, latitude ${p.latitude.toFixed(7)}`);
      return largest;
    }
  }
  return largest;
}

export function checkTerrain(dir) {
  const failures = [];
  const summary = { tiles: 0, vertices: 0, triangles: 0, largestEdgeMismatch: 0, horizonUnchecked: 0 };
  let layer;
  try {
    layer = JSON.parse(fs.readFileSync(path.join(dir, 'layer.json'), 'utf8'));
  } catch (e) {
    failures.push(`layer.json is not readable JSON: ${e.message}`);
    return { failures, summary };
  }

  if (typeof layer.tilejson !== 'string') failures.push('layer.json: tilejson is not a version string');
  if (layer.format !== 'quantized-mesh-1.0') failures.push(`layer.json: format is ${JSON.stringify(layer.format)}, not "quantized-mesh-1.0"`);
  if ((layer.scheme ?? 'tms') !== 'tms') failures.push(`layer.json: scheme is ${JSON.stringify(layer.scheme)}, not "tms"`);
  if ((layer.projection ?? 'EPSG:4326') !== 'EPSG:4326') failures.push(`layer.json: projection ${JSON.stringify(layer.projection)} is not the geodetic grid`);
  const layerExtensions = layer.extensions ?? [];
  if (!Array.isArray(layerExtensions) || !layerExtensions.every((e) => typeof e === 'string')) {
    failures.push('layer.json: extensions is not a list of names');
    return { failures, summary };
  }
  const template = Array.isArray(layer.tiles) && typeof layer.tiles[0] === 'string' ? layer.tiles[0].split('?')[0] : '';
  if (!/\{z\}/.test(template) || !/\{x\}/.test(template) || !/\{y\}/.test(template) || /^[a-z]+:|^\/|(^|\/)\.\.(\/|$)/i.test(template)) {
    failures.push(`layer.json: tiles ${JSON.stringify(layer.tiles)} is no relative {z}/{x}/{y} template`);
    return { failures, summary };
  }
  if (!Array.isArray(layer.available)) {
    failures.push('layer.json: available is not a list of levels');
    return { failures, summary };
  }

  // Availability in layer.json against the files in the folder.
  const available = new Set();
  const levels = [];
  layer.available.forEach((rects, z) => {
    const tiles = rectangleTiles(rects, z, { x0: 0, x1: 2 ** (z + 1) - 1, y0: 0, y1: 2 ** z - 1 }, 'layer.json', failures);
    for (const t of tiles) available.add(t);
    if (tiles.size) levels.push(z);
  });
  if (levels.length === 0) failures.push('layer.json: no tile is available');
  if (layer.maxzoom !== undefined && layer.maxzoom !== levels.at(-1)) failures.push(`layer.json: maxzoom ${layer.maxzoom}, but the deepest level available is ${levels.at(-1)}`);
  if (layer.minzoom !== undefined && layer.minzoom !== levels[0]) failures.push(`layer.json: minzoom ${layer.minzoom}, but the first level available is ${levels[0]}`);
  const fileOf = (k) => {
    const [z, x, y] = k.split('/');
    return path.normalize(template.replaceAll('{z}', z).replaceAll('{x}', x).replaceAll('{y}', y)
      .replaceAll('{version}', layer.version ?? '1.0.0'));
  };
  const wanted = new Map([...available].map((k) => [fileOf(k), k]));
  for (const f of terrainFiles(dir)) {
    if (!wanted.has(f)) failures.push(`${f} is not a tile layer.json makes available`);
  }
  const present = new Set();
  for (const [f, k] of wanted) {
    if (fs.existsSync(path.join(dir, f))) present.add(k);
    else failures.push(`${k}: layer.json makes it available but ${f} is missing`);
  }
  for (const k of available) {
    const [z, x, y] = k.split('/').map(Number);
    if (z > levels[0] && !available.has(key(z - 1, x >> 1, y >> 1))) failures.push(`${k}: its parent ${key(z - 1, x >> 1, y >> 1)} is not available`);
  }

  const presentAt = new Map();
  for (const k of present) {
    const [z, x, y] = k.split('/').map(Number);
    if (!presentAt.has(z)) presentAt.set(z, []);
    presentAt.get(z).push([x, y]);
  }

  // Every tile by itself.
  const checked = new Map();
  const metadataLevels = layer.metadataAvailability;
  for (const k of [...present].sort()) {
    const [z, x, y] = k.split('/').map(Number);
    let tile;
    try {
      tile = decodeTerrain(fs.readFileSync(path.join(dir, fileOf(k))));
    } catch (e) {
      failures.push(`${k}: ${e.message}`);
      continue;
    }
    summary.tiles++;
    summary.vertices += tile.vertexCount;
    summary.triangles += tile.indices.length / 3;
    const result = checkTile(k, z, tile, tileBounds(z, x, y), layerExtensions, failures);
    if (!result) continue;
    if (result.horizonUnchecked) summary.horizonUnchecked++;
    checked.set(k, result);

    // Child availability in the tile's metadata: entry i lists the tiles of its subtree i + 1
    // levels below it.
    const metadata = tile.extensions.metadata;
    if (Number.isInteger(metadataLevels) && metadataLevels > 0 && z % metadataLevels === 0 && !metadata) {
      failures.push(`${k}: has no metadata, though layer.json puts metadata every ${metadataLevels} levels`);
    }
    if (metadata?.available !== undefined) {
      if (!Array.isArray(metadata.available)) {
        failures.push(`${k}: metadata available is not a list of levels`);
        continue;
      }
      metadata.available.forEach((rects, i) => {
        const level = z + 1 + i;
        const span = 2 ** (i + 1);
        const listed = rectangleTiles(rects, level, { x0: x * span, x1: (x + 1) * span - 1, y0: y * span, y1: (y + 1) * span - 1 }, `${k} metadata`, failures);
        for (const t of listed) if (!present.has(t)) failures.push(`${k}: metadata makes ${t} available, which is not there`);
        for (const [cx, cy] of presentAt.get(level) ?? []) {
          const t = key(level, cx, cy);
          if (cx >> (i + 1) === x && cy >> (i + 1) === y && !listed.has(t)) failures.push(`${k}: metadata leaves out ${t}, which is there`);
        }
      });
    }
  }

  // Neighbours of a level meet along their shared edges: east across the antimeridian too,
  // north up to the pole.
  for (const [k, a] of checked) {
    const [z, x, y] = k.split('/').map(Number);
    const east = key(z, (x + 1) % 2 ** (z + 1), y);
    const north = key(z, x, y + 1);
    if (checked.has(east) && east !== k) {
      summary.largestEdgeMismatch = Math.max(summary.largestEdgeMismatch, compareEdge(k, 'east', a, east, 'west', checked.get(east), failures));
    }
    if (checked.has(north)) {
      summary.largestEdgeMismatch = Math.max(summary.largestEdgeMismatch, compareEdge(k, 'north', a, north, 'south', checked.get(north), failures));
    }
  }
  return { failures, summary };
}

if (process.argv[1] && import.meta.url === pathToFileURL(path.resolve(process.argv[1])).href) {
  const dir = process.argv[2];
  if (!dir || process.argv.length > 3) {
    console.error('usage: node check_terrain.mjs DIR');
    process.exit(2);
  }
  const { failures, summary } = checkTerrain(dir);
  for (const f of failures.slice(0, 20)) console.log(`    ${f}`);
  if (failures.length > 20) console.log(`    ... and ${failures.length - 20} more`);
  console.log(`check_terrain: ${summary.tiles} tiles, ${summary.vertices} vertices, ${summary.triangles} triangles, ` +
    `largest edge mismatch ${summary.largestEdgeMismatch.toFixed(3)} m` +
    (summary.horizonUnchecked ? `, ${summary.horizonUnchecked} hemisphere tiles with the horizon point unchecked` : '') +
    `; ${failures.length ? `${failures.length} failures` : 'no failures'}`);
  process.exit(failures.length ? 1 : 0);
}
