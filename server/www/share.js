// The shared page: one device's last position, live, and its track since the
// link was made when the link includes it. Everything comes from the link's
// own addresses (/s/TOKEN/...): the page knows no account and signs in to
// nothing. Texts from the server go in through textContent only.
'use strict';

const KMH_PER_KNOT = 1.852;
const RETRY_MS = 2000;
const OSM_TILES = 'https://tile.openstreetmap.org/{z}/{x}/{y}.png';
const base = window.location.pathname.replace(/\/+$/, '');

const shared = {map: null, marker: null, label: null, track: null, centred: false, about: null};

async function get(what) {
  const response = await fetch(`${base}/${what}`, {credentials: 'omit', referrerPolicy: 'no-referrer'});
  if (response.status === 404) throw new Error('expired');
  if (!response.ok) throw new Error(`${what}: ${response.status}`);
  return response.json();
}

function utcText(iso) {
  return iso.replace('T', ' ').replace(/(\.\d+)?Z$/, ' UTC');
}

function expired() {
  document.getElementById('shared-expired').hidden = false;
  document.getElementById('shared-bar').hidden = true;
  document.getElementById('map').hidden = true;
  document.title = 'Wayloom: link expired';
}

function show(position) {
  const status = document.getElementById('shared-time');
  if (!position.time) {
    status.textContent = 'No position reported yet.';
    return;
  }
  const speed = position.speed * KMH_PER_KNOT;
  status.textContent = `${utcText(position.time)}, ${speed.toFixed(1)} km/h`;
  const at = [position.lat, position.lon];
  if (!shared.marker) {
    shared.label = document.createElement('div');
    shared.label.className = 'device-marker';
    const dot = document.createElement('span');
    dot.className = 'device-dot';
    const name = document.createElement('span');
    name.className = 'device-name';
    name.textContent = position.login;
    shared.label.append(dot, name);
    shared.label.style.setProperty('--device-colour', '#0969da');
    const icon = L.divIcon({html: shared.label, className: 'device-icon', iconSize: null, iconAnchor: [7, 7]});
    shared.marker = L.marker(at, {icon}).addTo(shared.map);
  }
  shared.marker.setLatLng(at);
  shared.label.dataset.lat = String(position.lat);
  shared.label.dataset.lon = String(position.lon);
  shared.label.dataset.time = position.time;
  // The track holds only what was reported since the link was made.
  if (shared.track && position.time >= shared.about.since) {
    const line = shared.track.getLatLngs();
    const lastPoint = line[line.length - 1];
    if (!lastPoint || lastPoint.lat !== position.lat || lastPoint.lng !== position.lon) shared.track.addLatLng(at);
  }
  if (!shared.centred) {
    shared.map.setView(at, 14);
    shared.centred = true;
  } else if (!shared.map.getBounds().contains(at)) {
    shared.map.panTo(at);
  }
}

function follow() {
  const source = new EventSource(`${base}/live`);
  source.onmessage = (event) => show(JSON.parse(event.data));
  source.addEventListener('expired', () => {
    source.close();
    expired();
  });
  source.onerror = () => {
    if (source.readyState !== EventSource.CLOSED) return;
    // Refused: the link went, or the server is restarting.
    get('position').then((position) => {
      show(position);
      window.setTimeout(follow, RETRY_MS);
    }).catch((error) => {
      if (error.message === 'expired') expired();
      else window.setTimeout(follow, RETRY_MS);
    });
  };
}

async function start() {
  const about = await get('about');
  shared.about = about;
  document.getElementById('shared-login').textContent = about.login;
  document.getElementById('shared-expires').textContent = `Shared until ${utcText(about.expires)}`;
  shared.map = L.map('map', {center: [20, 0], zoom: 2, worldCopyJump: true});
  const layer = L.tileLayer(about.tiles || OSM_TILES, {maxZoom: 19});
  if (!about.tiles) {
    layer.options.attribution =
        '&copy; <a href="https://www.openstreetmap.org/copyright">OpenStreetMap</a> contributors';
  } else if (about.attribution) {
    const holder = document.createElement('span');
    holder.textContent = about.attribution;
    layer.options.attribution = holder.innerHTML;
  }
  layer.addTo(shared.map);
  L.control.scale().addTo(shared.map);
  if (about.track) {
    const points = await get('track');
    shared.track = L.polyline(points.map((point) => [point.lat, point.lon]),
                              {color: '#0969da', weight: 3, className: 'track-line'}).addTo(shared.map);
  }
  show(await get('position'));
  follow();
}

window.addEventListener('DOMContentLoaded', () => {
  start().catch((error) => {
    if (error.message === 'expired') expired();
    else document.getElementById('shared-time').textContent = `The page could not start: ${error.message}`;
  });
});
