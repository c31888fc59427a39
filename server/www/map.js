// The map page: the last position of every visible device, updated live as
// reports arrive, a device list that flags silent devices, and the track of one
// device over a time range with its exports. Every text from the server goes
// into the page through textContent, never as markup.
'use strict';

const KMH_PER_KNOT = 1.852;
const RETRY_MS = 2000;
const DAY_MS = 24 * 3600 * 1000;
const OSM_TILES = 'https://tile.openstreetmap.org/{z}/{x}/{y}.png';

const state = {
  map: null,
  markers: new Map(),  // login -> {marker, label, popup}
  fitted: false,
  track: null,         // the layer group of the drawn track
};

// fetch with the page's marker header (no Basic prompt on 401); a lost
// session sends the browser to the sign-in page.
async function api(path) {
  const response = await fetch(path, {headers: {'X-Wayloom-Page': '1'}, credentials: 'same-origin'});
  if (response.status === 401) {
    window.location.assign('/signin');
    throw new Error('signed out');
  }
  if (!response.ok) throw new Error(`${path}: ${response.status}`);
  return response.json();
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function utcText(iso) {
  return iso ? iso.replace('T', ' ').replace(/(\.\d+)?Z$/, ' UTC') : 'never';
}

// "1 point", "2 points", "0 points".
function countText(count, noun) {
  return `${count} ${noun}${count === 1 ? '' : 's'}`;
}

function speedText(knots) {
  return `${(knots * KMH_PER_KNOT).toFixed(1)} km/h (${knots.toFixed(1)} kn)`;
}

function agoText(iso, nowIso) {
  const seconds = Math.max(0, Math.round((Date.parse(nowIso) - Date.parse(iso)) / 1000));
  if (seconds < 120) return `${seconds} s ago`;
  if (seconds < 7200) return `${Math.round(seconds / 60)} min ago`;
  if (seconds < 172800) return `${Math.round(seconds / 3600)} h ago`;
  return `${Math.round(seconds / 86400)} days ago`;
}

// A steady colour per login.
function colourOf(login) {
  let hash = 0;
  for (const c of login) hash = (hash * 31 + c.codePointAt(0)) >>> 0;
  return `hsl(${hash % 360}, 70%, 40%)`;
}

function tileLayer(config) {
  const url = config.tiles || OSM_TILES;
  const layer = L.tileLayer(url, {maxZoom: 19});
  // Leaflet shows attributions as markup: the default one is ours, a
  // configured one is text.
  if (!config.tiles) {
    layer.options.attribution =
        '&copy; <a href="https://www.openstreetmap.org/copyright">OpenStreetMap</a> contributors';
  } else if (config.attribution) {
    const holder = element('span', '', config.attribution);
    layer.options.attribution = holder.innerHTML;
  }
  return layer;
}

// The measurements a device sent beside its position, as "course 270°",
// "altitude 35 m" ...; those it did not send (null) are left out.
function extrasText(device) {
  const parts = [];
  if (device.course != null) parts.push(`course ${Math.round(device.course)}°`);
  if (device.altitude != null) parts.push(`altitude ${Math.round(device.altitude)} m`);
  if (device.accuracy != null) parts.push(`accuracy ${Math.round(device.accuracy)} m`);
  if (device.battery != null) parts.push(`battery ${Math.round(device.battery)}%`);
  if (device.hdop != null) parts.push(`HDOP ${device.hdop.toFixed(1)}`);
  if (device.satellites != null) parts.push(`${device.satellites} satellites`);
  return parts.join(', ');
}

function popupContent(device, nowIso) {
  const box = element('div', 'popup');
  box.append(element('strong', 'popup-login', device.login));
  box.append(element('div', 'popup-time', `${utcText(device.time)} (${agoText(device.time, nowIso)})`));
  box.append(element('div', 'popup-speed', speedText(device.speed)));
  const extras = extrasText(device);
  if (extras) box.append(element('div', 'popup-extras', extras));
  box.append(element('div', 'popup-position', `${device.lat.toFixed(6)}, ${device.lon.toFixed(6)}`));
  return box;
}

function updateMarker(device, nowIso) {
  let entry = state.markers.get(device.login);
  if (!entry) {
    const label = element('div', 'device-marker');
    label.append(element('span', 'device-dot'), element('span', 'device-name', device.login));
    label.style.setProperty('--device-colour', colourOf(device.login));
    const icon = L.divIcon({html: label, className: 'device-icon', iconSize: null, iconAnchor: [7, 7]});
    const marker = L.marker([device.lat, device.lon], {icon, keyboard: true}).addTo(state.map);
    marker.bindPopup(element('div'));
    entry = {marker, label};
    state.markers.set(device.login, entry);
  }
  entry.marker.setLatLng([device.lat, device.lon]);
  entry.label.dataset.login = device.login;
  entry.label.dataset.lat = String(device.lat);
  entry.label.dataset.lon = String(device.lon);
  entry.label.dataset.time = device.time;
  entry.label.classList.toggle('silent', device.silent);
  entry.marker.setPopupContent(popupContent(device, nowIso));
}

function deviceRow(device, nowIso) {
  const row = element('li', device.silent ? 'device silent' : 'device');
  row.dataset.login = device.login;
  const name = element('span', 'device-login', device.login);
  name.style.setProperty('--device-colour', colourOf(device.login));
  row.append(name);
  if (!device.enabled) row.append(element('span', 'device-disabled', 'account disabled'));
  if (!device.time) {
    row.append(element('span', 'device-time', 'no report yet'));
    return row;
  }
  const when = element('span', 'device-time', `${utcText(device.time)}, ${agoText(device.time, nowIso)}`);
  row.append(when);
  row.append(element('span', 'device-speed', speedText(device.speed)));
  if (device.silent) {
    const interval = device.interval ? ` (reports every ${Math.round(device.interval)} s)` : '';
    row.append(element('span', 'device-silent', `⚠ silent${interval}`));
  }
  row.addEventListener('click', () => {
    state.map.setView([device.lat, device.lon], Math.max(state.map.getZoom(), 13));
    state.markers.get(device.login)?.marker.openPopup();
  });
  return row;
}

function updateDeviceChoice(devices) {
  const select = document.getElementById('track-login');
  const known = new Set(Array.from(select.options, (option) => option.value));
  for (const device of devices) {
    if (known.has(device.login)) continue;
    const option = element('option', '', device.login);
    option.value = device.login;
    select.append(option);
  }
}

function render(answer) {
  const list = document.getElementById('devices');
  const rows = [];
  const placed = [];
  for (const device of answer.devices) {
    rows.push(deviceRow(device, answer.now));
    if (device.time) {
      updateMarker(device, answer.now);
      placed.push([device.lat, device.lon]);
    }
  }
  list.replaceChildren(...rows);
  document.getElementById('no-devices').hidden = answer.devices.length > 0;
  updateDeviceChoice(answer.devices);
  if (!state.fitted && placed.length > 0 && !state.track) {
    state.map.fitBounds(L.latLngBounds(placed).pad(0.2), {maxZoom: 14});
    state.fitted = true;
  }
  document.getElementById('connection').textContent = '';
}

// Live updates: the server sends the devices after every report and every
// few seconds. The browser reconnects by itself after a dropped connection;
// a refused one (signed out, server restarting) is looked into and retried.
function follow() {
  const source = new EventSource('/api/live');
  source.onmessage = (event) => render(JSON.parse(event.data));
  source.addEventListener('signedout', () => {
    source.close();
    window.location.assign('/signin');
  });
  source.onerror = () => {
    document.getElementById('connection').textContent = 'The server does not answer; retrying.';
    if (source.readyState !== EventSource.CLOSED) return;
    api('/api/devices').then(render).catch(() => {});
    window.setTimeout(follow, RETRY_MS);
  };
}

// The chosen range as ISO texts in UTC; empty inputs mean the last 24 hours.
function chosenRange() {
  const fromInput = document.getElementById('track-from').value;
  const toInput = document.getElementById('track-to').value;
  const to = toInput ? new Date(toInput) : new Date();
  const from = fromInput ? new Date(fromInput) : new Date(to.getTime() - DAY_MS);
  return {from: from.toISOString(), to: to.toISOString()};
}

function rangeQuery(login, range) {
  return new URLSearchParams({login, from: range.from, to: range.to}).toString();
}

function updateExportLinks() {
  const login = document.getElementById('track-login').value;
  const gpx = document.getElementById('export-gpx');
  const geojson = document.getElementById('export-geojson');
  if (!login) {
    gpx.removeAttribute('href');
    geojson.removeAttribute('href');
    return;
  }
  const query = rangeQuery(login, chosenRange());
  gpx.href = `/api/export.gpx?${query}`;
  geojson.href = `/api/export.geojson?${query}`;
}

function clearTrack() {
  if (state.track) state.track.remove();
  state.track = null;
  document.getElementById('track-status').textContent = '';
}

async function showTrack(event) {
  event.preventDefault();
  const login = document.getElementById('track-login').value;
  const status = document.getElementById('track-status');
  if (!login) return;
  const range = chosenRange();
  updateExportLinks();
  status.textContent = 'Loading…';
  const points = await api(`/api/positions?${rangeQuery(login, range)}`);
  clearTrack();
  const colour = colourOf(login);
  const layer = L.featureGroup();
  const line = points.map((point) => [point.lat, point.lon]);
  L.polyline(line, {color: colour, weight: 3, className: 'track-line'}).addTo(layer);
  for (const point of points) {
    L.circleMarker([point.lat, point.lon],
                   {radius: 4, color: colour, weight: 1, fillOpacity: 0.8, className: 'track-point'})
        .bindTooltip(element('span', '', `${utcText(point.time)}, ${speedText(point.speed)}`))
        .addTo(layer);
  }
  layer.addTo(state.map);
  state.track = layer;
  if (line.length > 0) state.map.fitBounds(layer.getBounds().pad(0.1), {maxZoom: 17});
  status.textContent = `${countText(points.length, 'point')} of ${login} from ${utcText(range.from)} to ${utcText(range.to)}`;
  status.dataset.points = String(points.length);
}

async function start() {
  const config = await api('/api/config');
  document.getElementById('whoami').textContent =
      `Signed in as ${config.login}${config.admin ? ' (administrator: every device)' : ''}`;
  state.map = L.map('map', {center: [20, 0], zoom: 2, worldCopyJump: true});
  tileLayer(config).addTo(state.map);
  L.control.scale().addTo(state.map);
  document.getElementById('track').addEventListener('submit', (event) => {
    showTrack(event).catch((error) => {
      document.getElementById('track-status').textContent = `No track: ${error.message}`;
    });
  });
  document.getElementById('track-clear').addEventListener('click', clearTrack);
  for (const id of ['track-login', 'track-from', 'track-to']) {
    document.getElementById(id).addEventListener('change', updateExportLinks);
  }
  // The "to" end of an empty range moves with the clock: refresh the links
  // when they are about to be used.
  for (const id of ['export-gpx', 'export-geojson']) {
    document.getElementById(id).addEventListener('mousedown', updateExportLinks);
    document.getElementById(id).addEventListener('focus', updateExportLinks);
  }
  render(await api('/api/devices'));
  updateExportLinks();
  follow();
}

window.addEventListener('DOMContentLoaded', () => {
  start().catch((error) => {
    document.getElementById('connection').textContent = `The page could not start: ${error.message}`;
  });
});
