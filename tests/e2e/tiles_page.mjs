// Opens the tile page in headless Chromium, waits (at most LIMIT seconds) for it to say that
// every tile of its first view has loaded, puts the pointer on the middle of the view and saves
// a picture of it; given WITHOUT.png, unticks the tiles and saves a second picture.
//   node tiles_page.mjs URL SCREENSHOT.png PROFILE-DIR [LIMIT [WITHOUT.png]]
// Prints what the page said, then "centre LON LAT HEIGHT" (where the tileset stands) and
// "pointer LON LAT HEIGHT tiles|globe|terrain" (the readout), with TILES_SAMPLE="LON LAT" also
// "sample LON LAT HEIGHT" (a terrain layer's height there); exit 0 when it was ready, 1 when it failed
// or never got there.
// Addresses beyond this machine are refused and listed in SCREENSHOT.png.outside.
// CHROMIUM names the browser (default /usr/bin/chromium).

import fs from 'node:fs';
import { chromium } from 'playwright-core';

const [url, screenshot, profile, limit = '120', without] = process.argv.slice(2);
if (!profile) {
  console.error('usage: node tiles_page.mjs URL SCREENSHOT.png PROFILE-DIR [LIMIT-SECONDS [WITHOUT.png]]');
  process.exit(2);
}

// WebGL without a GPU: ANGLE on SwiftShader.
const flags = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--use-gl=angle', '--use-angle=swiftshader', '--enable-unsafe-swiftshader'];

let context;
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: flags,
    viewport: { width: 1280, height: 720 },
  });
} catch (e) {
  console.log(`Chromium did not start: ${e.message.split('\n')[0]}`);
  process.exit(1);
}
const outside = [];
await context.route('**/*', (route) => {
  const { protocol, hostname } = new URL(route.request().url());
  const here = ['127.0.0.1', 'localhost', '[::1]'].includes(hostname) || hostname.startsWith('127.');
  if ((protocol === 'http:' || protocol === 'https:') && !here) {
    outside.push(route.request().url());
    return route.abort();
  }
  return route.continue();
});

const page = context.pages()[0] ?? (await context.newPage());
const said = [];
page.on('console', (m) => { if (m.type() === 'error') said.push(m.text()); });
page.on('pageerror', (e) => said.push(e.message));

let state;
try {
  await page.goto(url);
} catch (e) {
  state = { ready: false, error: `could not open ${url}: ${e.message.split('\n')[0]}` };
}
try {
  if (!state) await page.waitForFunction(() => window.tilesReady || window.tilesError,
    null, { timeout: Number(limit) * 1000, polling: 250 });
  state ??= await page.evaluate(() => ({ ready: window.tilesReady, error: window.tilesError,
    tiles: window.tilesLoaded, centre: window.tilesCentre, after: window.tilesReadyAfter }));
} catch (e) {
  state = { ready: false, error: `the page was not ready within ${limit} s (${e.message.split('\n')[0]})` };
}
const viewport = page.viewportSize();
const twoFrames = () => page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
if (state.ready) {
  await page.mouse.move(viewport.width / 2, viewport.height / 2);
  state.pointer = await page.waitForFunction(() => window.pointerReadout, null, { timeout: 10000, polling: 100 })
    .then((h) => h.jsonValue(), () => null);
  await twoFrames();
}
await page.screenshot({ path: screenshot });
// TILES_SAMPLE="LON LAT": a terrain layer's height there, as the globe samples it at its finest.
if (state.ready && process.env.TILES_SAMPLE) {
  const [lon, lat] = process.env.TILES_SAMPLE.split(/\s+/).map(Number);
  state.sample = await page.evaluate(([x, y]) => (window.sampleTerrain ? window.sampleTerrain(x, y) : null), [lon, lat])
    .then((h) => (h === null ? null : { lon, lat, h }), () => null);
}
if (state.ready && without) {
  await page.click('#show-tiles');
  await twoFrames();
  await page.screenshot({ path: without });
}
await context.close();
fs.writeFileSync(`${screenshot}.outside`, outside.map((u) => `${u}\n`).join(''));

if (state.ready) {
  console.log(`ready after ${state.after?.toFixed(1)} s with ${state.tiles} tiles loaded`);
  const c = state.centre;
  if (c) console.log(`centre ${c.longitude.toFixed(4)} ${c.latitude.toFixed(4)} ${c.height.toFixed(1)}`);
  const p = state.pointer;
  console.log(p ? `pointer ${p.longitude.toFixed(5)} ${p.latitude.toFixed(5)} ${p.height.toFixed(1)} ${p.on}` : 'pointer: no readout');
  if (state.sample) console.log(`sample ${state.sample.lon} ${state.sample.lat} ${state.sample.h.toFixed(3)}`);
  process.exit(0);
}
console.log(state.error || 'the page neither got ready nor said why');
for (const line of said.filter((l) => l !== state.error).slice(0, 5)) console.log(`  console: ${line}`);
process.exit(1);
