// Shows the tileset named by ?tileset=ADDRESS (relative to this page), entirely offline: the
// Natural Earth II picture that comes with Cesium as the base map, no terrain service. An
// ADDRESS ending in layer.json is a terrain layer instead: the globe's own surface, with the
// raster's relief picture draped over the base map. The first
// view looks north at the whole tileset (the Home button returns to it); a readout beside the
// pointer tells the longitude, latitude and height of the ground under it; a slider exaggerates
// heights and a checkbox shows or hides the tiles.
//
// For tests and scripts:
//   window.tilesReady       true once every tile and base map tile of the first view is drawn
//   window.tilesReadyAfter  seconds from the start of loading the page until then
//   window.tilesError       why the page failed, or null
//   window.tilesLoaded      how many tiles have had their content arrive
//   window.tilesCentre      where on the Earth the tileset stands: { longitude, latitude } in
//                           degrees, { height } in metres
//   window.pointerReadout   what the readout shows, or null when the pointer is over no ground:
//                           { longitude, latitude, height, on: 'tiles' | 'globe' | 'terrain' }
//   window.sampleTerrain    (terrain layers) async (longitude, latitude) => the height there

const Cesium = window.Cesium;
const status = document.getElementById('status');
const readout = document.getElementById('readout');
window.tilesReady = false;
window.tilesReadyAfter = null;
window.tilesError = null;
window.tilesLoaded = 0;
window.pointerReadout = null;

function fail(message) {
  if (window.tilesError) return;
  window.tilesError = String(message);
  status.textContent = `Error: ${window.tilesError}`;
  console.error(window.tilesError);
}

function baseMap() {
  const provider = Cesium.TileMapServiceImageryProvider.fromUrl(
    Cesium.buildModuleUrl('Assets/Textures/NaturalEarthII'), { credit: 'Natural Earth II' });
  provider.then((p) => p.errorEvent.addEventListener((e) => fail(`a base map tile did not load: ${e.message}`)),
    (e) => fail(`the base map did not load: ${e?.message ?? e}`));
  return Cesium.ImageryLayer.fromProviderAsync(provider);
}

function makeViewer() {
  const viewer = new Cesium.Viewer('viewer', {
    baseLayer: baseMap(),
    terrainProvider: new Cesium.EllipsoidTerrainProvider(),
    geocoder: false, baseLayerPicker: false, homeButton: true, sceneModePicker: false,
    navigationHelpButton: false, animation: false, timeline: false, fullscreenButton: false,
    infoBox: false, selectionIndicator: false, skyBox: false, skyAtmosphere: false,
  });
  const scene = viewer.scene;
  scene.backgroundColor = Cesium.Color.BLACK;
  if (scene.sun) scene.sun.show = false; // without a sky box there is neither
  if (scene.moon) scene.moon.show = false;
  scene.fog.enabled = false;
  scene.globe.baseColor = Cesium.Color.fromCssColorString('#303030'); // until the picture comes
  scene.globe.showGroundAtmosphere = false;
  scene.globe.enableLighting = false;
  // The base map is a coarse picture on a smooth ellipsoid: finer globe tiles would show
  // nothing more, and each costs a frame's share of loading.
  scene.globe.maximumScreenSpaceError = 6;
  // Frames are drawn when something changes (the camera, arriving tiles, the controls), not
  // all the time: while tiles load, the processor is theirs.
  scene.requestRenderMode = true;
  return viewer;
}

const PITCH = Cesium.Math.toRadians(-60);
const DOWN = -Cesium.Math.PI_OVER_TWO;

// How far back from the origin of the east-north-up frame TO_ENU a camera looking north and
// down at PITCH must stand for every one of POINTS (Earth-centred) to be in sight.
function rangeFor(points, toEnu, pitch, camera) {
  // Looking north: right is east; along the view and up on the screen in east-north-up terms.
  const along = [0, Math.cos(pitch), Math.sin(pitch)];
  const up = [0, -Math.sin(pitch), Math.cos(pitch)];
  const tanV = Math.tan(camera.frustum.fovy / 2);
  const tanH = tanV * camera.frustum.aspectRatio;
  let range = 0;
  for (const point of points) {
    const p = Cesium.Matrix4.multiplyByPoint(toEnu, point, new Cesium.Cartesian3());
    const depth = p.y * along[1] + p.z * along[2];
    const height = p.y * up[1] + p.z * up[2];
    range = Math.max(range, Math.abs(p.x) / tanH - depth, Math.abs(height) / tanV - depth);
  }
  return 1.05 * range;
}

// The root's region as { rectangle, minimumHeight, maximumHeight }, or null for other volumes.
function regionOf(tileset) {
  const volume = tileset.root.boundingVolume;
  return volume.rectangle instanceof Cesium.Rectangle ? volume : null;
}

// Points over a region (its west to east the way round it goes, across the antimeridian too):
// a grid at its lowest and highest heights, and the same grid on the ellipsoid.
function regionPoints(region, n = 9) {
  const { rectangle: r, minimumHeight, maximumHeight } = region;
  const points = [];
  for (let i = 0; i < n; i++) {
    for (let j = 0; j < n; j++) {
      const lon = Cesium.Math.negativePiToPi(r.west + (r.width * i) / (n - 1));
      const lat = r.south + (r.height * j) / (n - 1);
      for (const h of [minimumHeight, maximumHeight, 0]) points.push(Cesium.Cartesian3.fromRadians(lon, lat, h));
    }
  }
  return points;
}

// Whether a camera at EYE sees POINT over the ellipsoid's horizon (POINT raised to the
// ellipsoid where it lies below).
function seen(eye, point) {
  const ellipsoid = Cesium.Ellipsoid.WGS84;
  const ground = ellipsoid.scaleToGeodeticSurface(point, new Cesium.Cartesian3()) ?? point;
  const normal = ellipsoid.geodeticSurfaceNormal(ground, new Cesium.Cartesian3());
  const above = Cesium.Cartographic.fromCartesian(point)?.height > 0 ? point : ground;
  return Cesium.Cartesian3.dot(Cesium.Cartesian3.subtract(eye, above, new Cesium.Cartesian3()), normal) > -1e-6;
}

// The home view of a tileset whose root is a region: north up, looking down at PITCH, else
// straight down, from just far enough back to see all of it; a region too large for any one
// view of it (half the Earth, the whole of it) is shown as the whole globe about its middle.
function homeOverRegion(region, camera) {
  const middle = Cesium.Rectangle.center(region.rectangle);
  middle.height = (region.minimumHeight + region.maximumHeight) / 2;
  const centre = Cesium.Cartographic.toCartesian(middle);
  const points = regionPoints(region);
  const enu = Cesium.Transforms.eastNorthUpToFixedFrame(centre);
  const toEnu = Cesium.Matrix4.inverseTransformation(enu, new Cesium.Matrix4());
  for (const pitch of [PITCH, DOWN]) {
    const range = rangeFor(points, toEnu, pitch, camera);
    const offset = new Cesium.HeadingPitchRange(0, pitch, range);
    const local = new Cesium.Cartesian3(0, -Math.cos(pitch) * range, -Math.sin(pitch) * range);
    const eye = Cesium.Matrix4.multiplyByPoint(enu, local, new Cesium.Cartesian3());
    if (points.every((p) => seen(eye, p))) return { sphere: new Cesium.BoundingSphere(centre, range / 4), offset };
  }
  middle.height = 0;
  const ground = Cesium.Cartographic.toCartesian(middle);
  const radius = Cesium.Ellipsoid.WGS84.maximumRadius;
  const fov = Math.min(camera.frustum.fovy, camera.frustum.fovy * camera.frustum.aspectRatio);
  const range = 1.05 * (radius / Math.sin(fov / 2)) - radius;
  return { sphere: new Cesium.BoundingSphere(ground, radius), offset: new Cesium.HeadingPitchRange(0, DOWN, range) };
}

// The home view: north up, looking down at PITCH, the camera just far enough back for every
// corner of the root's box, or all of its region, to be in sight. Returns the sphere to look at
// and the offset.
function home(tileset, camera) {
  const region = regionOf(tileset);
  if (region) return homeOverRegion(region, camera);
  const box = tileset.root.boundingVolume.boundingVolume;
  if (!(box instanceof Cesium.OrientedBoundingBox)) {
    return { sphere: tileset.boundingSphere, offset: new Cesium.HeadingPitchRange(0, PITCH, 0) };
  }
  const toEnu = Cesium.Matrix4.inverseTransformation(
    Cesium.Transforms.eastNorthUpToFixedFrame(box.center), new Cesium.Matrix4());
  const range = rangeFor(Cesium.OrientedBoundingBox.computeCorners(box), toEnu, PITCH, camera);
  const sphere = new Cesium.BoundingSphere(box.center, tileset.boundingSphere.radius);
  return { sphere, offset: new Cesium.HeadingPitchRange(0, PITCH, range) };
}

// Where on the Earth the tileset stands: the middle of its root's region, else the centre of
// its bounding sphere.
function whereOf(tileset) {
  const region = regionOf(tileset);
  if (!region) return Cesium.Cartographic.fromCartesian(tileset.boundingSphere.center);
  const middle = Cesium.Rectangle.center(region.rectangle);
  middle.height = (region.minimumHeight + region.maximumHeight) / 2;
  return middle;
}

// Light from the north-west and above, whatever the clock says; bright enough that the tiles
// show their own colours without light from the sky.
function lightFrom(where) {
  const enu = Cesium.Transforms.eastNorthUpToFixedFrame(Cesium.Cartographic.toCartesian(where));
  const travels = new Cesium.Cartesian3(0.5, -0.5, -1);
  const direction = Cesium.Matrix4.multiplyByPointAsVector(enu, travels, new Cesium.Cartesian3());
  return new Cesium.DirectionalLight({ direction: Cesium.Cartesian3.normalize(direction, direction), intensity: 3 });
}

// Where the pointer's RAY meets the tiles, starting from FIRST, a point on it read back from the
// depth of the picture: that is some tens of metres out at a distance, so the point is moved
// along the ray until its height is that of the surface sampled straight down from it.
function alongRayToSurface(scene, ray, first) {
  let p = first;
  for (let i = 0; i < 4; i++) {
    const c = Cesium.Cartographic.fromCartesian(p);
    const surface = c && scene.sampleHeight(c);
    if (surface === undefined) break;
    const climb = Cesium.Cartesian3.dot(ray.direction, Cesium.Ellipsoid.WGS84.geodeticSurfaceNormal(p));
    if (Math.abs(climb) < 1e-3) break; // along the ground: no better place on the ray
    const step = (surface - c.height) / climb;
    p = Cesium.Cartesian3.add(p, Cesium.Cartesian3.multiplyByScalar(ray.direction, step, new Cesium.Cartesian3()), p);
    if (Math.abs(step) < 0.05) break;
  }
  return p;
}

// The ground under a point of the canvas: on the tiles where they are drawn, else on the globe.
// Heights are given as they are, not as exaggerated on the screen.
function groundAt(scene, tileset, where) {
  let position;
  let on = 'globe';
  if (!tileset) {
    // A terrain layer: the globe's own surface.
    position = scene.globe.pick(scene.camera.getPickRay(where), scene);
    on = 'terrain';
  } else if (tileset.show && scene.pickPositionSupported && scene.pick(where)?.primitive === tileset) {
    position = scene.pickPosition(where);
    if (position) position = alongRayToSurface(scene, scene.camera.getPickRay(where), position);
    on = 'tiles';
  }
  // The globe is the bare ellipsoid; its drawn tiles are flat and would read below it.
  position ??= scene.camera.pickEllipsoid(where);
  const c = position && Cesium.Cartographic.fromCartesian(position);
  if (!c) return null;
  const base = scene.verticalExaggerationRelativeHeight;
  return {
    longitude: Cesium.Math.toDegrees(c.longitude),
    latitude: Cesium.Math.toDegrees(c.latitude),
    height: base + (c.height - base) / scene.verticalExaggeration,
    on,
  };
}

function formatGround(g) {
  const lon = `${Math.abs(g.longitude).toFixed(5)}° ${g.longitude < 0 ? 'W' : 'E'}`;
  const lat = `${Math.abs(g.latitude).toFixed(5)}° ${g.latitude < 0 ? 'S' : 'N'}`;
  const height = Math.abs(g.height) < 0.05 ? 0 : g.height; // no "-0.0"
  return `${lon}  ${lat}  ${height.toFixed(1)} m${g.on === 'globe' ? ' (globe)' : ''}`;
}

// The readout follows the pointer; the ground under it is looked up once a frame at most, and
// again when the camera comes to rest.
function followPointer(scene, tileset) {
  const canvas = scene.canvas;
  let pointer = null;
  let pending = false;
  const update = () => {
    pending = false;
    const g = pointer && groundAt(scene, tileset, pointer);
    window.pointerReadout = g;
    readout.hidden = !g;
    if (!g) return;
    readout.textContent = formatGround(g);
    const box = canvas.getBoundingClientRect();
    const x = pointer.x + 16 + readout.offsetWidth > box.width ? pointer.x - 8 - readout.offsetWidth : pointer.x + 16;
    readout.style.left = `${box.left + x}px`;
    readout.style.top = `${box.top + pointer.y + 16}px`;
  };
  const later = () => {
    if (!pending) requestAnimationFrame(update);
    pending = true;
  };
  canvas.addEventListener('pointermove', (e) => {
    const box = canvas.getBoundingClientRect();
    pointer = new Cesium.Cartesian2(e.clientX - box.left, e.clientY - box.top);
    later();
  });
  canvas.addEventListener('pointerleave', () => { pointer = null; later(); });
  scene.camera.moveEnd.addEventListener(later);
  return later;
}

function controls(scene, tileset, refresh) {
  const shown = document.getElementById('show-tiles');
  shown.addEventListener('change', () => {
    if (!tileset) return; // a terrain layer is the globe itself
    tileset.show = shown.checked;
    scene.requestRender();
    refresh();
  });
  const exaggeration = document.getElementById('exaggeration');
  const factor = document.getElementById('exaggeration-value');
  exaggeration.addEventListener('input', () => {
    scene.verticalExaggeration = Number(exaggeration.value);
    factor.textContent = `${Number(exaggeration.value).toFixed(1)}×`;
    scene.requestRender();
    refresh();
  });
  const homeButton = document.querySelector('.cesium-home-button');
  if (homeButton) homeButton.title = 'Back to the whole tileset, north up';
  document.getElementById('panel').hidden = false;
}

// The first frame with nothing left to load, once the view is set. Cesium asks for frames
// while anything loads; the timer only makes sure the check runs.
function settled(scene, loaded) {
  return new Promise((resolve) => {
    let frames = 0;
    const nudge = setInterval(() => scene.requestRender(), 500);
    const check = () => {
      frames += 1;
      if (window.tilesError || (frames > 2 && loaded() && scene.globe.tilesLoaded)) {
        scene.postRender.removeEventListener(check);
        clearInterval(nudge);
        resolve();
      }
    };
    scene.postRender.addEventListener(check);
  });
}

// A terrain layer (layer.json and its quantized-mesh tiles) as the globe's surface, with the
// raster's relief picture draped over the base map, flown to its bounds.
async function showTerrain(viewer, url) {
  const scene = viewer.scene;
  const layer = await fetch(url).then((r) => r.json()).catch((e) => {
    throw new Error(`could not read the terrain layer ${url}: ${e?.message ?? e}`);
  });
  const provider = await Cesium.CesiumTerrainProvider.fromUrl(new URL('.', url).href, { requestVertexNormals: true })
    .catch((e) => {
      throw new Error(`could not read the terrain layer ${url}: ${e?.message ?? e}`);
    });
  provider.errorEvent.addEventListener((e) => fail(`a terrain tile did not load: ${e.message}`));
  Cesium.RequestScheduler.requestCompletedEvent.addEventListener(() => { window.tilesLoaded += 1; });
  scene.terrainProvider = provider;
  scene.globe.maximumScreenSpaceError = 2;
  scene.globe.depthTestAgainstTerrain = true;
  const extras = layer.extras?.terravel;
  if (extras?.picture && Array.isArray(extras.pictureBounds)) {
    const rectangle = Cesium.Rectangle.fromDegrees(...extras.pictureBounds);
    const picture = await Cesium.SingleTileImageryProvider.fromUrl(new URL(extras.picture, url).href, { rectangle });
    viewer.imageryLayers.addImageryProvider(picture);
  }
  const [west, south, east, north] = layer.bounds ?? [-180, -90, 180, 90];
  const region = { rectangle: Cesium.Rectangle.fromDegrees(west, south, east, north), minimumHeight: 0, maximumHeight: 0 };
  const middle = Cesium.Rectangle.center(region.rectangle);
  window.tilesCentre = { longitude: Cesium.Math.toDegrees(middle.longitude), latitude: Cesium.Math.toDegrees(middle.latitude), height: 0 };
  // The height of the terrain at a place, as the globe has it at its finest.
  window.sampleTerrain = async (longitude, latitude) => {
    const [p] = await Cesium.sampleTerrainMostDetailed(provider, [Cesium.Cartographic.fromDegrees(longitude, latitude)]);
    return p.height;
  };
  const flyHome = (duration) => {
    const view = homeOverRegion(region, scene.camera);
    scene.camera.flyToBoundingSphere(view.sphere, { offset: view.offset, duration });
  };
  viewer.homeButton.viewModel.command.beforeExecute.addEventListener((e) => {
    e.cancel = true;
    flyHome(1.5);
  });
  flyHome(0);
  await settled(scene, () => true);
  if (window.tilesError) return;
  if (window.tilesLoaded === 0) throw new Error('the terrain drew no tile');
  status.textContent = '';
  document.getElementById('show-tiles').disabled = true;
  controls(scene, null, followPointer(scene, null));
  await new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve)));
  window.tilesReadyAfter = performance.now() / 1000;
  window.tilesReady = true;
}

async function main() {
  const address = new URLSearchParams(location.search).get('tileset');
  if (!address) throw new Error('no tileset given: open this page as index.html?tileset=ADDRESS');
  const url = new URL(address, location.href).href;

  const viewer = makeViewer();
  const scene = viewer.scene;
  scene.renderError.addEventListener((_, error) => fail(`rendering failed: ${error}`));
  if (new URL(url).pathname.endsWith('/layer.json')) {
    await showTerrain(viewer, url);
    return;
  }

  // Terrain is lit by the one light alone: light from the sky around costs more than half of
  // drawing the tiles where there is no graphics processor, and shows little on bare ground.
  const tileset = await Cesium.Cesium3DTileset.fromUrl(url, {
    imageBasedLighting: new Cesium.ImageBasedLighting({ imageBasedLightingFactor: Cesium.Cartesian2.ZERO }),
  }).catch((e) => {
    throw new Error(`could not read the tileset ${url}: ${e?.message ?? e}`);
  });
  tileset.tileFailed.addEventListener((e) => fail(`tile ${e.url} did not load: ${e.message}`));
  tileset.tileLoad.addEventListener(() => { window.tilesLoaded += 1; });
  scene.primitives.add(tileset);

  const centre = whereOf(tileset);
  window.tilesCentre = centre && {
    longitude: Cesium.Math.toDegrees(centre.longitude),
    latitude: Cesium.Math.toDegrees(centre.latitude),
    height: centre.height,
  };
  if (centre) scene.light = lightFrom(centre);
  const flyHome = (duration) => {
    const view = home(tileset, scene.camera);
    scene.camera.flyToBoundingSphere(view.sphere, { offset: view.offset, duration });
  };
  viewer.homeButton.viewModel.command.beforeExecute.addEventListener((e) => {
    e.cancel = true;
    flyHome(1.5);
  });
  flyHome(0);

  // The view is set: from now on, the first frame with nothing left to load is the ready one.
  await settled(scene, () => tileset.tilesLoaded);
  if (window.tilesError) return;
  if (window.tilesLoaded === 0) throw new Error('the tileset drew no tile');
  status.textContent = '';
  controls(scene, tileset, followPointer(scene, tileset));
  // One more frame without the status line before anyone takes a picture.
  await new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve)));
  window.tilesReadyAfter = performance.now() / 1000;
  window.tilesReady = true;
}

main().catch((error) => fail(error?.message ?? error));
