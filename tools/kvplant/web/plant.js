// The plant's page: the grid of controllers, a rollout as it happens, the
// difference from an older inventory, one controller's facts and history.
// Everything a controller or a file says is put in as text (textContent,
// setAttribute), never as markup.
'use strict';

(function () {
  const tokenKey = 'kvplant-token';
  let token = sessionStorage.getItem(tokenKey) || '';
  const m = /^#token=([0-9a-f]{64})$/.exec(location.hash);
  if (m) {
    token = m[1];
    sessionStorage.setItem(tokenKey, token);
    history.replaceState(null, '', location.pathname + '#/');
  }

  const $ = (id) => document.getElementById(id);
  const tiles = new Map();   // key -> tile data
  let order = [];            // keys in the server's order
  let seq = 0;
  let rollout = null;
  let diff = null;
  let firstRender = true;

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function keyOf(t) { return t.mac; }

  function headers() { return token ? { 'X-Kvplant-Token': token } : {}; }

  function setStatus(text) { $('status').textContent = text; }

  // --- the grid ---------------------------------------------------------

  const filters = {
    platform: $('f-platform'), sw_revision: $('f-app'), image_version: $('f-image'),
    interface: $('f-interface'), kind: $('f-kind'),
  };

  function fillFilter(select, values) {
    const chosen = select.value;
    while (select.options.length > 1) select.remove(1);
    for (const v of [...values].sort()) {
      const o = el('option', null, v === '' ? '(none)' : v);
      o.value = v;
      select.appendChild(o);
    }
    select.value = values.has(chosen) ? chosen : '';
  }

  function refreshFilters() {
    for (const [field, select] of Object.entries(filters)) {
      const values = new Set();
      for (const t of tiles.values()) values.add(String(t[field] || ''));
      fillFilter(select, values);
    }
  }

  function matches(t, search) {
    for (const [field, select] of Object.entries(filters)) {
      if (select.value !== '' && String(t[field] || '') !== select.value) return false;
    }
    if (!search) return true;
    const hay = [t.device_name, t.mac, ...(t.addresses || [])].join(' ').toLowerCase();
    return hay.includes(search);
  }

  function fillTile(a, t) {
    a.className = 'tile k-' + t.kind;
    a.setAttribute('href', '#/controller/' + encodeURIComponent(t.mac));
    a.dataset.mac = t.mac;
    a.dataset.kind = t.kind;
    a.replaceChildren();
    a.appendChild(el('span', 'name', t.device_name || '(no name)'));
    a.appendChild(el('span', 'state', t.words + (t.kind === 'sending' || t.kind === 'updating' ? ' ' + t.percent + '%' : '')));
    a.appendChild(el('span', 'meta', (t.addresses && t.addresses[0]) || t.mac));
    a.appendChild(el('span', 'meta', [t.platform || '?', t.sw_revision, t.image_version].filter(Boolean).join(' · ')));
    if (t.kind === 'sending' || t.kind === 'updating') {
      const bar = el('span', 'bar');
      const fill = el('span');
      fill.style.width = Math.max(0, Math.min(100, Number(t.percent) || 0)) + '%';
      bar.appendChild(fill);
      a.appendChild(bar);
    }
  }

  // The whole grid in one pass: one fragment, appended once.
  function render() {
    const search = $('search').value.trim().toLowerCase();
    const groupBy = $('group').value;
    const shown = order.map((k) => tiles.get(k)).filter((t) => t && matches(t, search));
    if (groupBy) {
      shown.sort((a, b) => String(a[groupBy] || '').localeCompare(String(b[groupBy] || '')));
    }
    const frag = document.createDocumentFragment();
    let group = null;
    for (const t of shown) {
      if (groupBy && String(t[groupBy] || '') !== group) {
        group = String(t[groupBy] || '');
        frag.appendChild(el('h3', 'group', group === '' ? '(none)' : group));
      }
      const a = el('a');
      fillTile(a, t);
      frag.appendChild(a);
    }
    $('grid').replaceChildren(frag);
    $('shown').textContent = shown.length + ' of ' + tiles.size + ' controllers shown';
    if (firstRender) {
      firstRender = false;
      document.body.dataset.rendered = String(performance.now());
    }
  }

  function updateTile(t) {
    const a = $('grid').querySelector('a.tile[data-mac="' + CSS.escape(t.mac) + '"]');
    const search = $('search').value.trim().toLowerCase();
    const visible = matches(t, search);
    if (a && visible && !$('group').value) {
      fillTile(a, t);
      return false;
    }
    return Boolean(a) !== visible || Boolean($('group').value);
  }

  // --- the rollout --------------------------------------------------------

  function duration(s) {
    if (s < 0) return 'not known yet';
    if (s < 60) return s + ' s';
    const mnt = Math.floor(s / 60);
    return mnt < 60 ? mnt + ' min' : Math.floor(mnt / 60) + ' h ' + (mnt % 60) + ' min';
  }

  function renderRollout() {
    const section = $('rollout');
    section.hidden = !rollout;
    if (!rollout) return;
    const r = rollout;
    const state = r.finished ? 'finished' : r.stopped ? 'stopped: ' + r.stopped : r.paused ? 'paused' : r.control === 'pause' ? 'pausing' : 'running';
    $('rollout-summary').textContent = 'Rollout ' + r.id + ' (' + r.files.join(', ') + '): ' + state +
      '; ' + r.left + ' controllers left; time left ' + (r.finished || r.stopped ? '-' : duration(r.eta_seconds)) + '.';
    const live = !r.finished && !r.stopped;
    $('pause').disabled = !live || r.control === 'pause' || r.control === 'stop';
    $('resume').disabled = !live || r.control !== 'pause';
    $('stop').disabled = !live || r.control === 'stop';
    const waves = document.createDocumentFragment();
    for (const w of r.waves) {
      const li = el('li', 'wave');
      const label = 'Wave ' + w.wave + ': ' + w.ok + ' ok, ' + w.failed + ' failed, ' + w.running + ' running, ' + w.waiting + ' waiting of ' + w.size;
      li.appendChild(el('span', null, label));
      const p = el('progress');
      p.max = Math.max(1, w.size);
      p.value = w.ok + w.failed;
      p.setAttribute('aria-label', label);
      li.appendChild(p);
      waves.appendChild(li);
    }
    $('waves').replaceChildren(waves);
    const fails = document.createDocumentFragment();
    for (const f of r.failures) {
      const li = el('li');
      const a = el('a', null, (f.device_name || f.mac) + ' (' + f.address + ')');
      a.setAttribute('href', '#/controller/' + encodeURIComponent(f.mac));
      li.appendChild(a);
      li.appendChild(document.createTextNode(': ' + f.reason));
      fails.appendChild(li);
    }
    if (!r.failures.length) fails.appendChild(el('li', null, 'none'));
    $('failures').replaceChildren(fails);
  }

  async function control(word) {
    try {
      const res = await fetch('/api/control', { method: 'POST', headers: headers(), body: word });
      if (!res.ok) setStatus('the ' + word + ' was refused: ' + (await res.text()));
      else if (rollout) { rollout.control = word; renderRollout(); }
    } catch (e) {
      setStatus('the ' + word + ' did not reach the server');
    }
  }

  // --- the difference -----------------------------------------------------

  function renderDiff() {
    $('diff').hidden = !diff;
    if (!diff) return;
    $('diff-counts').textContent = diff.gone + ' gone, ' + diff.new + ' new, ' + diff.moved + ' moved, ' + diff.unchanged + ' unchanged';
    const frag = document.createDocumentFragment();
    for (const c of diff.changes) {
      let text = c.change + ' ' + c.mac + ' ' + c.address;
      if (c.change === 'gone' || c.change === 'new') text += ' ' + (c.device_name || '-');
      else if (c.change === 'moved') text += ' ' + c.fact + ' ' + (c.from || '-') + ' -> ' + (c.to || '-');
      else if (c.change === 'readdressed') text = c.change + ' ' + c.mac + ' ' + c.from.join(',') + ' -> ' + c.to.join(',');
      frag.appendChild(el('li', null, text));
    }
    $('diff-lines').replaceChildren(frag);
  }

  // --- one controller -----------------------------------------------------

  const factNames = [
    ['device_name', 'Device name'], ['mac', 'MAC'], ['addresses', 'Addresses'], ['interface', 'Interface'],
    ['platform', 'Platform'], ['sw_revision', 'Application'], ['image_version', 'OS image'], ['daemon', 'Update daemon'],
    ['app_running', 'Application running'], ['updating', 'Updating (inventory)'], ['action', 'Last status'],
    ['words', 'State'], ['wave', 'Wave'], ['what', 'Takes'], ['activity', 'Doing'], ['last_error', 'Last error'],
    ['sw_revision_after', 'Application after'], ['image_version_after', 'Image after'],
  ];

  async function showController(mac) {
    const t = tiles.get(mac);
    $('controller').hidden = false;
    $('controller-title').textContent = 'Controller ' + ((t && t.device_name) || mac);
    const dl = document.createDocumentFragment();
    if (!t) dl.appendChild(el('dt', null, 'not in the inventory'));
    for (const [field, name] of factNames) {
      if (!t || t[field] === undefined) continue;
      const v = t[field];
      dl.appendChild(el('dt', null, name));
      dl.appendChild(el('dd', null, Array.isArray(v) ? v.join(', ') : typeof v === 'boolean' ? (v ? 'yes' : 'no') : String(v === '' ? '-' : v)));
    }
    $('facts').replaceChildren(dl);
    $('close').focus();
    try {
      const res = await fetch('/api/history?mac=' + encodeURIComponent(mac), { headers: headers() });
      const lines = res.ok ? await res.json() : [];
      const frag = document.createDocumentFragment();
      for (const h of lines) {
        const parts = [h.time, h.event, h.file, h.result, h.reason, h.user && 'by ' + h.user].filter(Boolean);
        frag.appendChild(el('li', null, parts.join(' ')));
      }
      if (!lines.length) frag.appendChild(el('li', null, 'nothing in the audit trail'));
      $('history').replaceChildren(frag);
    } catch (e) {
      $('history').replaceChildren(el('li', null, 'the history could not be read'));
    }
  }

  function route() {
    const r = /^#\/controller\/(.+)$/.exec(location.hash);
    if (r) showController(decodeURIComponent(r[1]));
    else $('controller').hidden = true;
  }

  // --- the model and its live changes --------------------------------------

  function take(model) {
    tiles.clear();
    order = [];
    for (const t of model.controllers) {
      tiles.set(keyOf(t), t);
      order.push(keyOf(t));
    }
    seq = model.seq;
    rollout = model.rollout;
    diff = model.diff;
    refreshFilters();
    render();
    renderRollout();
    renderDiff();
    const p = model.plant || {};
    setStatus(tiles.size + ' controllers' + (p.taken ? ', inventory of ' + p.taken : '') +
      (p.inventory_error ? '; the inventory could not be read again: ' + p.inventory_error : '') +
      (p.state_error ? '; the state could not be read: ' + p.state_error : ''));
  }

  async function load() {
    const res = await fetch('/api/model', { headers: headers() });
    if (!res.ok) throw new Error(await res.text());
    take(await res.json());
    route();
  }

  let reloadNeeded = false;
  function apply(batch) {
    if (batch.seq <= seq) return;
    seq = batch.seq;
    let full = Boolean(batch.reorder) || (batch.removed && batch.removed.length > 0);
    for (const t of batch.tiles) {
      if (!tiles.has(keyOf(t))) { reloadNeeded = true; continue; }
      tiles.set(keyOf(t), t);
      if (updateTile(t)) full = true;
    }
    if ('rollout' in batch) { rollout = batch.rollout; renderRollout(); }
    if ('diff' in batch) { diff = batch.diff; renderDiff(); }
    if (full) render();
    const open = /^#\/controller\/(.+)$/.exec(location.hash);
    if (open && batch.tiles.some((t) => t.mac === decodeURIComponent(open[1]))) showController(decodeURIComponent(open[1]));
  }

  // The event stream is read with fetch so that it carries the token header.
  async function stream() {
    for (;;) {
      try {
        const res = await fetch('/api/events?after=' + seq, { headers: headers() });
        if (!res.ok || !res.body) throw new Error('status ' + res.status);
        setStatus(tiles.size + ' controllers, live');
        const reader = res.body.getReader();
        const decoder = new TextDecoder();
        let text = '';
        for (;;) {
          const { value, done } = await reader.read();
          if (done) break;
          text += decoder.decode(value, { stream: true });
          let end;
          while ((end = text.indexOf('\n\n')) >= 0) {
            const message = text.slice(0, end);
            text = text.slice(end + 2);
            let event = 'message', data = '';
            for (const line of message.split('\n')) {
              if (line.startsWith('event: ')) event = line.slice(7);
              else if (line.startsWith('data: ')) data += line.slice(6);
            }
            if (event === 'reset') reloadNeeded = true;
            else if (data) apply(JSON.parse(data));
            if (reloadNeeded) { reloadNeeded = false; await load(); }
          }
        }
      } catch (e) {
        setStatus('connection to kvplant serve lost; trying again');
      }
      await new Promise((r) => setTimeout(r, 2000));
      try { await load(); } catch (e) { /* tried again by the loop */ }
    }
  }

  // One listener for the whole grid: remember which tile opened the
  // controller's panel, to give it the focus back.
  let opener = null;
  $('grid').addEventListener('click', (ev) => {
    const a = ev.target.closest('a.tile');
    if (a) opener = a.dataset.mac;
  });
  $('close').addEventListener('click', () => {
    setTimeout(() => {
      if (!opener) return;
      const a = $('grid').querySelector('a.tile[data-mac="' + CSS.escape(opener) + '"]');
      if (a) a.focus();
    }, 0);
  });
  $('filters').addEventListener('input', render);
  $('filters').addEventListener('submit', (ev) => ev.preventDefault());
  $('pause').addEventListener('click', () => control('pause'));
  $('resume').addEventListener('click', () => control('run'));
  $('stop').addEventListener('click', () => {
    if (confirm('Stop the rollout? Running controllers finish; no new one starts.')) control('stop');
  });
  for (const id of ['report-json', 'report-csv']) {
    // The report is fetched with the token (needed beyond loopback) and
    // saved from a blob.
    $(id).addEventListener('click', async (ev) => {
      ev.preventDefault();
      const a = ev.currentTarget;
      const res = await fetch(a.getAttribute('href'), { headers: headers() });
      if (!res.ok) { setStatus('no report: ' + (await res.text())); return; }
      const url = URL.createObjectURL(await res.blob());
      const save = el('a');
      save.href = url;
      save.download = a.getAttribute('download');
      document.body.appendChild(save);
      save.click();
      save.remove();
      setTimeout(() => URL.revokeObjectURL(url), 10000);
    });
  }
  window.addEventListener('hashchange', route);

  load().then(stream, (e) => { setStatus('the plant could not be read: ' + e.message); stream(); });
})();
