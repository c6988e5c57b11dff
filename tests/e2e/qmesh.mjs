// Reading quantized-mesh-1.0 terrain tiles, written from the format's published description and
// nothing else, so that it can check the program's writer rather than agree with it.
//
// A tile is little-endian: an 88-byte header, the vertices (u, v and height as zig-zag deltas), the
// triangles' indices in high-water-mark code (16-bit, or 32-bit when there are more than 65536
// vertices, with padding before them to align them to their size), the west, south, east and north
// edge lists, and extensions to the end of the file. Files may be gzipped.

import zlib from 'node:zlib';

export const QUANTIZED_MAX = 32767;
const HEADER_BYTES = 88;
const EXTENSION_OCT_NORMALS = 1;
const EXTENSION_WATER_MASK = 2;
const EXTENSION_METADATA = 4;

// WGS 84.
export const WGS84_A = 6378137.0;
export const WGS84_F = 1 / 298.257223563;
export const WGS84_B = WGS84_A * (1 - WGS84_F);
const E2 = WGS84_F * (2 - WGS84_F);

class Reader {
  constructor(bytes) {
    this.bytes = bytes;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.at = 0;
  }
  left() {
    return this.bytes.length - this.at;
  }
  need(n, what) {
    if (n > this.left()) {
      throw new Error(`truncated tile: ${what} needs ${n} bytes at offset ${this.at}, ${this.left()} left`);
    }
  }
  f64() {
    const x = this.view.getFloat64(this.at, true);
    this.at += 8;
    return x;
  }
  f32() {
    const x = this.view.getFloat32(this.at, true);
    this.at += 4;
    return x;
  }
  u32(what) {
    this.need(4, what);
    const x = this.view.getUint32(this.at, true);
    this.at += 4;
    return x;
  }
  u8() {
    return this.bytes[this.at++];
  }
  // n unsigned integers of the given byte width.
  ints(n, width, what) {
    this.need(n * width, what);
    const out = new Uint32Array(n);
    for (let i = 0; i < n; i++) {
      out[i] = width === 2 ? this.view.getUint16(this.at + 2 * i, true) : this.view.getUint32(this.at + 4 * i, true);
    }
    this.at += n * width;
    return out;
  }
}

// The delta-coded, zig-zagged values of one vertex attribute, as their running sum; every value
// must stay within 0..32767.
function zigZagRun(codes, name) {
  const out = new Uint16Array(codes.length);
  let value = 0;
  for (let i = 0; i < codes.length; i++) {
    const c = codes[i];
    value += (c >>> 1) ^ -(c & 1);
    if (value < 0 || value > QUANTIZED_MAX) {
      throw new Error(`inconsistent tile: ${name}[${i}] decodes to ${value}, outside 0..${QUANTIZED_MAX}`);
    }
    out[i] = value;
  }
  return out;
}

function highWaterMark(codes, vertexCount) {
  const out = new Uint32Array(codes.length);
  let highest = 0;
  for (let i = 0; i < codes.length; i++) {
    const code = codes[i];
    if (code > highest) {
      throw new Error(`inconsistent tile: index code ${code} at ${i} is above the high-water mark ${highest}`);
    }
    const index = highest - code;
    if (index >= vertexCount) {
      throw new Error(`inconsistent tile: triangle index ${index} at ${i} is not below vertexCount ${vertexCount}`);
    }
    out[i] = index;
    if (code === 0) highest++;
  }
  return out;
}

export function isGzip(bytes) {
  return bytes.length >= 2 && bytes[0] === 0x1f && bytes[1] === 0x8b;
}

// Decodes one .terrain file (a Buffer or Uint8Array, gzipped or not). Throws an Error naming what
// is wrong when the file is truncated, has bytes left over, or contradicts itself.
export function decodeTerrain(buffer) {
  let bytes = buffer instanceof Uint8Array ? buffer : new Uint8Array(buffer);
  if (isGzip(bytes)) {
    try {
      bytes = zlib.gunzipSync(bytes);
    } catch (e) {
      throw new Error(`truncated or damaged gzip data: ${e.message}`);
    }
  }
  const r = new Reader(bytes);
  r.need(HEADER_BYTES, 'the header');
  const header = {
    centerX: r.f64(), centerY: r.f64(), centerZ: r.f64(),
    minimumHeight: r.f32(), maximumHeight: r.f32(),
    boundingSphereCenterX: r.f64(), boundingSphereCenterY: r.f64(), boundingSphereCenterZ: r.f64(),
    boundingSphereRadius: r.f64(),
    horizonOcclusionPointX: r.f64(), horizonOcclusionPointY: r.f64(), horizonOcclusionPointZ: r.f64(),
  };
  for (const [k, x] of Object.entries(header)) {
    if (!Number.isFinite(x)) throw new Error(`inconsistent tile: header ${k} is ${x}`);
  }
  if (header.minimumHeight > header.maximumHeight) {
    throw new Error(`inconsistent tile: minimumHeight ${header.minimumHeight} above maximumHeight ${header.maximumHeight}`);
  }
  if (!(header.boundingSphereRadius >= 0)) {
    throw new Error(`inconsistent tile: bounding sphere radius ${header.boundingSphereRadius}`);
  }

  const vertexCount = r.u32('vertexCount');
  r.need(6 * vertexCount, `${vertexCount} vertices`);
  const u = zigZagRun(r.ints(vertexCount, 2, 'u'), 'u');
  const v = zigZagRun(r.ints(vertexCount, 2, 'v'), 'v');
  const height = zigZagRun(r.ints(vertexCount, 2, 'height'), 'height');

  const width = vertexCount > 65536 ? 4 : 2;
  const padding = (width - (r.at % width)) % width;
  r.need(padding, 'the padding before the indices');
  r.at += padding;
  const triangleCount = r.u32('triangleCount');
  const indices = highWaterMark(r.ints(3 * triangleCount, width, `${triangleCount} triangles`), vertexCount);

  const edge = (name) => {
    const count = r.u32(`the ${name} edge count`);
    const list = r.ints(count, width, `${count} ${name} edge indices`);
    const bad = list.findIndex((i) => i >= vertexCount);
    if (bad >= 0) {
      throw new Error(`inconsistent tile: ${name} edge index ${list[bad]} is not below vertexCount ${vertexCount}`);
    }
    return list;
  };
  const westIndices = edge('west');
  const southIndices = edge('south');
  const eastIndices = edge('east');
  const northIndices = edge('north');

  const extensions = {};
  const seen = new Set();
  while (r.left() > 0) {
    r.need(5, 'an extension header');
    const id = r.u8();
    const length = r.u32('an extension length');
    r.need(length, `extension ${id}`);
    if (seen.has(id)) throw new Error(`inconsistent tile: extension ${id} appears twice`);
    seen.add(id);
    const data = bytes.subarray(r.at, r.at + length);
    r.at += length;
    if (id === EXTENSION_OCT_NORMALS) {
      if (length !== 2 * vertexCount) {
        throw new Error(`inconsistent tile: oct normals take ${length} bytes, ${2 * vertexCount} expected for ${vertexCount} vertices`);
      }
      extensions.octNormals = Uint8Array.from(data);
    } else if (id === EXTENSION_WATER_MASK) {
      if (length !== 1 && length !== 256 * 256) {
        throw new Error(`inconsistent tile: water mask of ${length} bytes, 1 or 65536 expected`);
      }
      extensions.waterMask = Uint8Array.from(data);
    } else if (id === EXTENSION_METADATA) {
      if (length < 4) throw new Error(`inconsistent tile: metadata extension of ${length} bytes`);
      const jsonLength = new DataView(data.buffer, data.byteOffset, 4).getUint32(0, true);
      if (jsonLength !== length - 4) {
        throw new Error(`inconsistent tile: metadata JSON of ${jsonLength} bytes in an extension of ${length}`);
      }
      try {
        extensions.metadata = JSON.parse(Buffer.from(data.subarray(4)).toString('utf8'));
      } catch (e) {
        throw new Error(`inconsistent tile: metadata is not JSON: ${e.message}`);
      }
    } else {
      (extensions.unknown ??= []).push({ id, data: Uint8Array.from(data) });
    }
  }

  return { header, vertexCount, u, v, height, indices, westIndices, southIndices, eastIndices, northIndices, extensions };
}

// The area a tile of the geodetic TMS grid covers, in degrees: level z has 2^(z+1) x 2^z tiles,
// x counted eastwards from -180, y northwards from -90.
export function tileBounds(level, x, y) {
  if (!Number.isInteger(level) || level < 0 || !Number.isInteger(x) || !Number.isInteger(y) ||
      x < 0 || x >= 2 ** (level + 1) || y < 0 || y >= 2 ** level) {
    throw new Error(`no tile ${level}/${x}/${y} on the geodetic grid`);
  }
  const size = 180 / 2 ** level;
  return { west: -180 + x * size, south: -90 + y * size, east: -180 + (x + 1) * size, north: -90 + (y + 1) * size };
}

// Earth-centred, Earth-fixed coordinates of a point on WGS 84 given in degrees and metres.
export function geodeticToEcef(longitude, latitude, height) {
  const lon = (longitude * Math.PI) / 180;
  const lat = (latitude * Math.PI) / 180;
  const sinLat = Math.sin(lat);
  const cosLat = Math.cos(lat);
  const n = WGS84_A / Math.sqrt(1 - E2 * sinLat * sinLat);
  return [
    (n + height) * cosLat * Math.cos(lon),
    (n + height) * cosLat * Math.sin(lon),
    (n * (1 - E2) + height) * sinLat,
  ];
}

// The ellipsoid's outward unit normal at a longitude and latitude in degrees.
export function ellipsoidNormal(longitude, latitude) {
  const lon = (longitude * Math.PI) / 180;
  const lat = (latitude * Math.PI) / 180;
  return [Math.cos(lat) * Math.cos(lon), Math.cos(lat) * Math.sin(lon), Math.sin(lat)];
}

// A decoded tile's vertices as longitude and latitude (degrees), height (metres) and
// Earth-centred x, y, z (ecef[3i..3i+2]), from the tile's bounds and its header's height range.
export function vertexPositions(tile, bounds) {
  const n = tile.vertexCount;
  const longitude = new Float64Array(n);
  const latitude = new Float64Array(n);
  const height = new Float64Array(n);
  const ecef = new Float64Array(3 * n);
  const { minimumHeight, maximumHeight } = tile.header;
  for (let i = 0; i < n; i++) {
    longitude[i] = bounds.west + ((bounds.east - bounds.west) * tile.u[i]) / QUANTIZED_MAX;
    latitude[i] = bounds.south + ((bounds.north - bounds.south) * tile.v[i]) / QUANTIZED_MAX;
    height[i] = minimumHeight + ((maximumHeight - minimumHeight) * tile.height[i]) / QUANTIZED_MAX;
    ecef.set(geodeticToEcef(longitude[i], latitude[i], height[i]), 3 * i);
  }
  return { longitude, latitude, height, ecef };
}

// The unit vector of an oct-encoded normal: each byte maps 0..255 to -1..1 on the octahedron's
// square, whose corners fold back over the lower half.
export function octDecode(bx, by) {
  let x = (bx / 255) * 2 - 1;
  let y = (by / 255) * 2 - 1;
  const z = 1 - Math.abs(x) - Math.abs(y);
  if (z < 0) {
    const fx = (1 - Math.abs(y)) * (x >= 0 ? 1 : -1);
    const fy = (1 - Math.abs(x)) * (y >= 0 ? 1 : -1);
    x = fx;
    y = fy;
  }
  const length = Math.hypot(x, y, z);
  return [x / length, y / length, z / length];
}
