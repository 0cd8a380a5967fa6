'use strict';
(() => {
  const $ = (id) => document.getElementById(id);
  const LAMPS = [['stop', 'STOP'], ['play', 'PLAY'], ['rew', 'REW'], ['ff', 'FF'],
    ['shuttle', 'SHUTTLE'], ['jog', 'JOG'], ['servo', 'SERVO'], ['still', 'STILL'],
    ['reverse', '\u25c0'], ['forward', '\u25b6'], ['eject', 'EJECT']];
  const JOG_SPEED = 0.5;
  const LIBRARY_REFRESH_MS = 5000;
  const METER_FLOOR_DBFS = -60;
  const SILENCE_DBFS = -96;  // what the deck reports for silence
  let thumbnailWanted = 0;  // the newest picture the deck told of
  let thumbnailShown = 0;   // the picture on the page
  let thumbnailLoading = false;
  let state = null;
  let events = null;

  function say(text) { $('message').textContent = text || ''; }

  async function post(path, body) {
    const response = await fetch(path, {
      method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body || {}), credentials: 'same-origin',
    });
    let answer = {};
    try { answer = await response.json(); } catch (e) { answer = {}; }
    if (response.status === 401) showLogin();
    say(response.ok ? '' : (answer.message || response.statusText));
    return response.ok;
  }

  function render(s) {
    state = s;
    $('tape').textContent = s.tape.in ? `${s.tape.name || 'tape'} (${s.tape.length})` : 'no tape';
    $('timecode').textContent = s.timecode;
    const lamps = $('lamps');
    if (!lamps.children.length) {
      lamps.append(...LAMPS.map(([key, label]) => {
        const lamp = document.createElement('span');
        lamp.textContent = label;
        lamp.id = 'lamp-' + key;
        return lamp;
      }));
    }
    for (const [key] of LAMPS) $('lamp-' + key).classList.toggle('lit', !!s.lamps[key]);
    const local = s.control === 'LOCAL';
    const control = $('control');
    control.textContent = s.control;
    control.classList.toggle('local', local);
    document.querySelectorAll('.transport [data-command], .transport [data-jog], #shuttle, #cue button')
      .forEach((element) => { element.disabled = !local || !s.tape.in; });
    $('eject').disabled = !s.tape.in;
    const rows = s.outputs.map((o) => {
      const row = document.createElement('tr');
      for (const value of [o.name, o.sent, o.dropped, o.failures, o.callers ?? '']) {
        const cell = document.createElement('td');
        cell.textContent = value;
        row.append(cell);
      }
      return row;
    });
    $('outputs').tBodies[0].replaceChildren(...rows);
  }

  function renderLog(log) { $('log').textContent = log.lines.join('\n'); }

  // Shows a fetched picture with its own timecode: the picture is decoded off the page, then
  // takes the place of the shown one and its caption at once, so the two always belong together.
  async function showThumbnail(blob, timecode) {
    const url = URL.createObjectURL(blob);
    const next = new Image();
    next.src = url;
    try {
      await next.decode();
    } catch (e) {
      URL.revokeObjectURL(url);
      return;
    }
    const shown = $('thumbnail');
    for (const name of ['alt', 'width', 'height']) next.setAttribute(name, shown.getAttribute(name));
    next.id = 'thumbnail';
    next.title = timecode;
    next.dataset.timecode = timecode;
    const old = shown.src;
    shown.replaceWith(next);
    $('thumbnail-timecode').textContent = timecode;
    $('no-picture').hidden = true;
    if (old.startsWith('blob:')) URL.revokeObjectURL(old);
  }

  // Fetches the newest picture until the page shows the last one told of, one request at a
  // time; the answer names the picture it carries, which may be newer than the news.
  async function loadThumbnail() {
    if (thumbnailLoading) return;
    thumbnailLoading = true;
    try {
      while (thumbnailShown < thumbnailWanted) {
        const wanted = thumbnailWanted;
        const response = await fetch('/api/thumbnail.jpg', { credentials: 'same-origin' });
        if (!response.ok) {
          if (response.status === 401) showLogin();
          break;
        }
        const sequence = Number(response.headers.get('X-Thumbnail-Sequence')) || wanted;
        const timecode = response.headers.get('X-Thumbnail-Timecode') || '';
        await showThumbnail(await response.blob(), timecode);
        thumbnailShown = Math.max(sequence, wanted);
      }
    } catch (e) {
      // The deck went away; the event stream's return brings the next news.
    } finally {
      thumbnailLoading = false;
    }
  }

  // The program's news: a new thumbnail is fetched only when its sequence moved.
  function renderProgram(program) {
    if (program.sequence > 0 && program.sequence !== thumbnailWanted) {
      // A smaller sequence: the deck's program started again.
      if (program.sequence < thumbnailWanted) thumbnailShown = 0;
      thumbnailWanted = program.sequence;
      loadThumbnail();
    }
    program.peaks_dbfs.forEach((peak, channel) => {
      const meter = $('meter-' + channel);
      if (!meter) return;
      meter.value = Math.max(peak, METER_FLOOR_DBFS);
      $('level-' + channel).textContent = peak <= SILENCE_DBFS ? '-inf' : peak.toFixed(1);
    });
  }

  async function loadLibrary() {
    const response = await fetch('/api/library', { credentials: 'same-origin' });
    if (!response.ok) return;
    const library = await response.json();
    const rows = library.tapes.map((tape) => {
      const row = document.createElement('tr');
      const name = document.createElement('td');
      name.textContent = `${tape.id}. ${tape.name}`;
      const format = document.createElement('td');
      format.textContent = tape.format;
      const cell = document.createElement('td');
      const load = document.createElement('button');
      load.textContent = 'Load';
      load.dataset.id = tape.id;
      load.addEventListener('click', () => post('/api/load', { id: tape.id }));
      cell.append(load);
      row.append(name, format, cell);
      return row;
    });
    $('library').tBodies[0].replaceChildren(...rows);
    $('unplayable').replaceChildren(...library.unplayable.map((tape) => {
      const item = document.createElement('li');
      item.textContent = `${tape.name}: ${tape.reason}`;
      return item;
    }));
  }

  function listen() {
    if (events) events.close();
    events = new EventSource('/api/events');
    events.addEventListener('state', (event) => render(JSON.parse(event.data)));
    events.addEventListener('log', (event) => renderLog(JSON.parse(event.data)));
    events.addEventListener('thumbnail', (event) => renderProgram(JSON.parse(event.data)));
  }

  function showLogin() {
    if (events) events.close();
    events = null;
    $('deck').hidden = true;
    $('login').hidden = false;
  }

  async function start() {
    const session = await (await fetch('/api/session', { credentials: 'same-origin' })).json();
    if (!session.authorized) { showLogin(); return; }
    const response = await fetch('/api/state', { credentials: 'same-origin' });
    if (!response.ok) { showLogin(); return; }
    render(await response.json());
    $('login').hidden = true;
    $('deck').hidden = false;
    listen();
    loadLibrary();
  }

  $('login').addEventListener('submit', async (event) => {
    event.preventDefault();
    const ok = await post('/api/login', { token: $('token').value });
    $('token').value = '';
    $('login-error').textContent = ok ? '' : 'wrong token';
    if (ok) start();
  });
  document.querySelectorAll('[data-command]').forEach((button) => button.addEventListener(
    'click', () => post('/api/transport', { command: button.dataset.command })));
  document.querySelectorAll('[data-jog]').forEach((button) => button.addEventListener(
    'click', () => post('/api/transport', { command: 'jog', speed: JOG_SPEED * Number(button.dataset.jog) })));
  $('shuttle').addEventListener('change', (event) => post('/api/transport',
    { command: 'shuttle', speed: Number(event.target.value) }));
  $('cue').addEventListener('submit', (event) => {
    event.preventDefault();
    post('/api/transport', { command: 'cue', timecode: $('cue-timecode').value.trim() });
  });
  $('eject').addEventListener('click', () => post('/api/eject'));
  $('control').addEventListener('click', () => post('/api/remote', { remote: state && state.control === 'LOCAL' }));
  setInterval(() => { if (!$('deck').hidden) loadLibrary(); }, LIBRARY_REFRESH_MS);
  start();
})();
