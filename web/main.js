// Shows the tileset named by ?tileset=ADDRESS (relative to this page), entirely offline: no
// imagery, no terrain service, a plain magenta globe on black. Once every tile the first view
// needs has loaded, window.tilesReady becomes true; on any failure window.tilesError holds why.
// window.tilesLoaded counts the tiles whose content has arrived; window.tilesCentre is where on
// the Earth the tileset stands (degrees of longitude and latitude, metres of height).

const Cesium = window.Cesium;
const status = document.getElementById('status');
window.tilesReady = false;
window.tilesError = null;
window.tilesLoaded = 0;

function fail(message) {
  if (window.tilesError) return;
  window.tilesError = String(message);
  status.textContent = `Error: ${window.tilesError}`;
  console.error(window.tilesError);
}

// Terrain is told from the rest of a picture by these: nothing drawn is pure black, and no
// ground is this magenta.
const GLOBE_COLOUR = Cesium.Color.MAGENTA;

function makeViewer() {
  const viewer = new Cesium.Viewer('viewer', {
    baseLayer: false,
    terrainProvider: new Cesium.EllipsoidTerrainProvider(),
    geocoder: false, baseLayerPicker: false, homeButton: false, sceneModePicker: false,
    navigationHelpButton: false, animation: false, timeline: false, fullscreenButton: false,
    infoBox: false, selectionIndicator: false, skyBox: false, skyAtmosphere: false,
  });
  const scene = viewer.scene;
  scene.backgroundColor = Cesium.Color.BLACK;
  if (scene.sun) scene.sun.show = false; // without a sky box there is neither
  if (scene.moon) scene.moon.show = false;
  scene.fog.enabled = false;
  scene.globe.baseColor = GLOBE_COLOUR;
  scene.globe.showGroundAtmosphere = false;
  scene.globe.enableLighting = false;
  return viewer;
}

const PITCH = Cesium.Math.toRadians(-45);

// A view of the whole tileset from above at an angle: the long side of the root's box runs
// across the screen, and the camera stands back just far enough for both sides to fit.
function overview(tileset, camera) {
  const sphere = tileset.boundingSphere;
  const box = tileset.root.boundingVolume.boundingVolume; // an OrientedBoundingBox for boxes
  let heading = 0;
  let long = sphere.radius;
  let short = sphere.radius;
  if (box instanceof Cesium.OrientedBoundingBox) {
    // The box's two horizontal half axes, in east-north-up terms at its centre.
    const toEnu = Cesium.Matrix4.inverseTransformation(
      Cesium.Transforms.eastNorthUpToFixedFrame(box.center), new Cesium.Matrix4());
    const axes = [0, 1, 2].map((i) => Cesium.Matrix4.multiplyByPointAsVector(toEnu,
      Cesium.Matrix3.getColumn(box.halfAxes, i, new Cesium.Cartesian3()), new Cesium.Cartesian3()));
    const flat = axes.sort((a, b) => Math.abs(a.z) / Cesium.Cartesian3.magnitude(a)
      - Math.abs(b.z) / Cesium.Cartesian3.magnitude(b)).slice(0, 2);
    flat.sort((a, b) => Math.hypot(b.x, b.y) - Math.hypot(a.x, a.y));
    long = Math.hypot(flat[0].x, flat[0].y);
    short = Math.hypot(flat[1].x, flat[1].y);
    // The long side's bearing, folded into [0, pi); the camera looks at right angles to it,
    // from the south (or east) side.
    let bearing = Math.atan2(flat[0].x, flat[0].y);
    if (bearing < 0) bearing += Math.PI;
    if (bearing >= Math.PI) bearing -= Math.PI;
    heading = bearing - Math.PI / 2;
  }
  const frustum = camera.frustum;
  const tanV = Math.tan(frustum.fovy / 2);
  const tanH = tanV * frustum.aspectRatio;
  // The near edge is closer than the centre by the short half side's run along the view.
  const near = short * Math.cos(PITCH);
  const range = 1.05 * Math.max(long / tanH + near, (short * Math.sin(-PITCH)) / tanV + near);
  return { sphere, offset: new Cesium.HeadingPitchRange(heading, PITCH, range) };
}

// Light from the north-west and above, whatever the clock says.
function lightFrom(sphere) {
  const enu = Cesium.Transforms.eastNorthUpToFixedFrame(sphere.center);
  const travels = new Cesium.Cartesian3(0.5, -0.5, -1);
  const direction = Cesium.Matrix4.multiplyByPointAsVector(enu, travels, new Cesium.Cartesian3());
  return new Cesium.DirectionalLight({ direction: Cesium.Cartesian3.normalize(direction, direction), intensity: 2 });
}

async function main() {
  const address = new URLSearchParams(location.search).get('tileset');
  if (!address) throw new Error('no tileset given: open this page as index.html?tileset=ADDRESS');
  const url = new URL(address, location.href).href;

  const viewer = makeViewer();
  const scene = viewer.scene;
  scene.renderError.addEventListener((_, error) => fail(`rendering failed: ${error}`));

  const tileset = await Cesium.Cesium3DTileset.fromUrl(url).catch((e) => {
    throw new Error(`could not read the tileset ${url}: ${e?.message ?? e}`);
  });
  tileset.tileFailed.addEventListener((e) => fail(`tile ${e.url} did not load: ${e.message}`));
  tileset.tileLoad.addEventListener(() => { window.tilesLoaded += 1; });
  scene.primitives.add(tileset);

  const sphere = tileset.boundingSphere;
  const centre = Cesium.Cartographic.fromCartesian(sphere.center);
  window.tilesCentre = centre && {
    longitude: Cesium.Math.toDegrees(centre.longitude),
    latitude: Cesium.Math.toDegrees(centre.latitude),
    height: centre.height,
  };
  scene.light = lightFrom(sphere);
  const { offset } = overview(tileset, scene.camera);
  scene.camera.flyToBoundingSphere(sphere, { offset, duration: 0 });

  // The view is set: from now on, the first frame with nothing left to load is the ready one.
  await new Promise((resolve) => {
    let frames = 0;
    const check = () => {
      frames += 1;
      if (window.tilesError || (frames > 2 && tileset.tilesLoaded)) {
        scene.postRender.removeEventListener(check);
        resolve();
      }
    };
    scene.postRender.addEventListener(check);
  });
  if (window.tilesError) return;
  if (window.tilesLoaded === 0) throw new Error('the tileset drew no tile');
  status.textContent = '';
  // One more frame without the status line before anyone takes a picture.
  await new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve)));
  window.tilesReady = true;
}

main().catch((error) => fail(error?.message ?? error));
