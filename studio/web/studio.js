// Veldmap Studio's page. It knows nothing of the map's parameters: the rollout is drawn from the
// control list the server reads from the module's dialog template and parameter block.
'use strict';

// Dialog units to pixels for an 8-point dialog font (average character 6 x 13 px): a horizontal
// unit is a quarter of the character width, a vertical one an eighth of its height.
const DLU_X = 1.5;
const DLU_Y = 1.625;

const token = new URLSearchParams(location.search).get('token') || '';
const state = { scene: null, mapId: 0, rollout: null, picking: false, imageSerial: 0, dragging: false };
const $ = (id) => document.getElementById(id);

function status(text, isError = false) {
  $('status').textContent = text;
  $('status').className = isError ? 'error' : '';
}

async function api(method, path, body) {
  const init = { method, headers: { 'X-Veldmap-Token': token } };
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const response = await fetch(path, init);
  const answer = await response.json();
  if (!response.ok) throw new Error(answer.error || response.statusText);
  return answer;
}

// Runs an action, showing its failure instead of throwing it away.
async function attempt(what, action) {
  try {
    const result = await action();
    status(what);
    return result;
  } catch (e) {
    status(`${what}: ${e.message}`, true);
    return undefined;
  }
}

function renderScene(scene) {
  state.scene = scene;
  $('scene-file').textContent = scene.file ? `(${scene.file})` : '(not saved)';
  $('roots').textContent = `Root folders: ${scene.roots.join(', ')}`;
  const body = $('nodes').querySelector('tbody');
  body.replaceChildren();
  for (const node of scene.nodes) {
    const row = document.createElement('tr');
    const bounds = node.bounds
      ? `${node.bounds.min.map((v) => v.toFixed(2)).join(', ')} .. ${node.bounds.max.map((v) => v.toFixed(2)).join(', ')}`
      : '';
    for (const text of [node.name, node.faces, node.vertices, bounds]) {
      const cell = document.createElement('td');
      cell.textContent = text;
      row.append(cell);
    }
    row.addEventListener('click', () => pickNode(node.name));
    body.append(row);
  }
  const list = $('maps');
  list.replaceChildren();
  for (const map of scene.maps) {
    const item = document.createElement('li');
    const link = document.createElement('a');
    link.href = '#';
    link.textContent = `${map.class} #${map.id}${map.name ? ` "${map.name}"` : ''}${map.node ? ` on ${map.node}` : ''}`;
    link.addEventListener('click', (event) => {
      event.preventDefault();
      editMap(map.id);
    });
    item.append(link);
    if (map.id === state.mapId) item.className = 'edited';
    list.append(item);
  }
}

function refreshImages() {
  if (!state.mapId) return;
  const serial = ++state.imageSerial;
  const query = `?token=${encodeURIComponent(token)}&n=${serial}`;
  // The preview first, the sample slot once it has come: the preview's GetVPDisplayDIB rebuilds
  // the map in any case, and a sample slot asked after it finds the map current instead of
  // rebuilding it again (asked together, the browser may send either first).
  const sample = () => {
    if (serial !== state.imageSerial) return;
    $('sample').src = `/api/maps/${state.mapId}/sample.png${query}`;
    $('sample-sphere').src = `/api/maps/${state.mapId}/sample.png${query}&shape=sphere`;
  };
  $('preview').addEventListener('load', sample, { once: true });
  $('preview').addEventListener('error', sample, { once: true });
  $('preview').src = `/api/maps/${state.mapId}/preview.png${query}`;
}

function box(element, control) {
  const [x, y, w, h] = control.box;
  Object.assign(element.style, {
    left: `${x * DLU_X}px`, top: `${y * DLU_Y}px`, width: `${w * DLU_X}px`, height: `${h * DLU_Y}px`,
  });
  element.dataset.controlId = control.id;
  return element;
}

// Sends one edit; while one is on its way only the latest value waits, so dragging never queues.
const pending = new Map();
async function setParam(name, value) {
  if (pending.has(name)) {
    pending.set(name, value);
    return;
  }
  pending.set(name, value);
  while (pending.has(name)) {
    const next = pending.get(name);
    const answer = await attempt(`${name} = ${JSON.stringify(next)}`, () =>
      api('POST', `/api/maps/${state.mapId}/params`, { param: name, value: next }));
    if (pending.get(name) === next) pending.delete(name);
    if (answer) {
      if (answer.value !== next && typeof next === 'number') status(`${name}: the block made ${next} ${answer.value}`);
      // Redrawing the rollout under a dragged spinner would drop the drag with its element: while
      // one is held, only the field it drives shows the new value; the rollout follows on release.
      if (state.dragging) {
        state.rollout = answer.rollout;
        showValue(answer);
      } else {
        renderRollouts(answer.rollout);
      }
      refreshImages();
    } else {
      await loadRollouts();
    }
  }
}

function showValue(param) {
  const field = document.querySelector(`[data-control-id="${param.controls[0]}"]`);
  if (field && field.tagName === 'INPUT') field.value = formatNumber(param, param.value);
}

function formatNumber(param, value) {
  return param.type === 'float' ? Number(value).toFixed(3) : String(value);
}

function spinnerControl(control, param) {
  const spinner = document.createElement('div');
  spinner.className = 'spinner';
  spinner.setAttribute('role', 'spinbutton');
  spinner.setAttribute('aria-label', param.displayName);
  spinner.innerHTML = '<span>&#9650;</span><span>&#9660;</span>';
  const step = param.step || 1;
  let drag = null;
  spinner.addEventListener('pointerdown', (event) => {
    if (!control.enabled) return;
    spinner.setPointerCapture(event.pointerId);
    drag = { y: event.clientY, start: Number(param.value), moved: false };
    state.dragging = true;
  });
  spinner.addEventListener('pointermove', (event) => {
    if (!drag) return;
    const pixels = drag.y - event.clientY;
    if (Math.abs(pixels) < 2 && !drag.moved) return;
    drag.moved = true;
    setParam(param.name, Number((drag.start + pixels * step).toFixed(6)));
  });
  spinner.addEventListener('pointerup', (event) => {
    if (!drag) return;
    // A click without a drag steps once: up on the upper half, down on the lower.
    if (!drag.moved) {
      const upper = event.clientY < spinner.getBoundingClientRect().top + spinner.clientHeight / 2;
      setParam(param.name, Number((drag.start + (upper ? step : -step)).toFixed(6)));
    }
    endDrag();
  });
  spinner.addEventListener('pointercancel', endDrag);
  function endDrag() {
    drag = null;
    state.dragging = false;
    if (state.rollout) renderRollouts(state.rollout);
  }
  return spinner;
}

function controlElement(control, param, page) {
  const kind = control.kind;
  if (kind.startsWith('text-')) {
    const text = document.createElement('div');
    text.className = kind;
    text.textContent = control.caption;
    return text;
  }
  if (kind === 'checkbox') {
    const label = document.createElement('label');
    const check = document.createElement('input');
    check.type = 'checkbox';
    check.checked = control.checked;
    check.disabled = !control.enabled;
    if (param) check.addEventListener('change', () => setParam(param.name, check.checked));
    label.append(check, control.caption);
    if (!control.enabled) label.classList.add('disabled');
    return label;
  }
  if (kind === 'edit' && param) {
    const edit = document.createElement('input');
    edit.type = 'text';
    edit.value = formatNumber(param, param.value);
    edit.disabled = !control.enabled;
    edit.setAttribute('aria-label', param.displayName);
    // Keys on an animated parameter are marked, and one at the frame shown more strongly.
    if (param.keyed) edit.classList.add('keyed');
    if (param.keyAtTime) edit.classList.add('key-here');
    const commit = () => {
      const typed = Number(edit.value);
      if (edit.value.trim() === '' || !Number.isFinite(typed)) {
        status(`${param.displayName}: "${edit.value}" is not a number`, true);
        edit.value = param.value;
      } else if (typed !== param.value) {
        setParam(param.name, typed);
      }
    };
    edit.addEventListener('change', commit);
    edit.addEventListener('keydown', (event) => { if (event.key === 'Enter') commit(); });
    return edit;
  }
  if (kind === 'spinner' && param) return spinnerControl(control, param);
  if (kind === 'button') {
    const button = document.createElement('button');
    button.type = 'button';
    button.disabled = !control.enabled;
    button.textContent = param && param.value ? String(param.value) : control.caption;
    if (!param) {
      button.addEventListener('click', () => command(control));
    } else if (param.type === 'node') {
      button.addEventListener('click', () => startPicking(control));
    } else {
      button.addEventListener('click', () => chooseMap(param));
    }
    return button;
  }
  void page;
  return null;
}

// The UV generator's page: one field per value the server reports, each written on change.
function coordinatesPage(values) {
  const list = document.createElement('div');
  list.className = 'coordinates';
  for (const [key, value] of Object.entries(values)) {
    const label = document.createElement('label');
    const input = document.createElement('input');
    input.type = 'number';
    input.value = Number.isInteger(value) ? value : Number(value).toFixed(3);
    input.step = Number.isInteger(value) ? '1' : '0.1';
    input.addEventListener('change', async () => {
      const typed = Number(input.value);
      const answer = await attempt(`${key} = ${typed}`, () =>
        api('POST', `/api/maps/${state.mapId}/coordinates`, { [key]: typed }));
      if (answer) {
        renderRollouts(answer);
        refreshImages();
      } else {
        await loadRollouts();
      }
    });
    label.append(`${key} `, input);
    list.append(label);
  }
  return list;
}

function renderRollouts(rollouts) {
  state.rollout = rollouts;
  const holder = $('rollouts');
  if (rollouts.time) {
    renderTime(rollouts.time);
    renderKeyMarks(rollouts);
    holder.dataset.frame = rollouts.time.frame;  // the frame whose values the rollout shows
  }
  holder.replaceChildren();
  for (const page of rollouts.pages) {
    const section = document.createElement('section');
    section.className = 'rollout';
    const title = document.createElement('h3');
    title.textContent = page.title;
    section.append(title);
    if (page.kind === 'parameters') {
      const dialog = document.createElement('div');
      dialog.className = 'dialog';
      dialog.style.width = `${page.template.width * DLU_X}px`;
      dialog.style.height = `${page.template.height * DLU_Y}px`;
      const params = new Map(page.params.map((p) => [p.id, p]));
      for (const control of page.controls) {
        if (!control.box) continue;
        const element = controlElement(control, params.get(control.param), page);
        if (element) dialog.append(box(element, control));
      }
      section.append(dialog);
    } else if (page.values) {
      section.append(coordinatesPage(page.values));
    }
    holder.append(section);
  }
}

async function loadRollouts() {
  if (!state.mapId) return;
  const rollouts = await attempt('Ready', () => api('GET', `/api/maps/${state.mapId}/rollouts`));
  if (rollouts) renderRollouts(rollouts);
}

async function loadScene() {
  const scene = await attempt('Ready', () => api('GET', '/api/scene'));
  if (scene) renderScene(scene);
}

async function editMap(id) {
  state.mapId = id;
  await loadRollouts();
  await loadScene();
  refreshImages();
}

// A map button: a gradient (a preset name or stops such as 0:#000000,1:#ffffff), an image file
// from the root folders, or nothing.
function chooseMap(param) {
  const answer = window.prompt(
    `${param.displayName}: a gradient preset or stops (0:#000000,1:#ffffff), an image file (.png, .exr), or empty for none`,
    '');
  if (answer === null) return;
  const text = answer.trim();
  if (text === '') setParam(param.name, null);
  else if (/\.(png|exr)$/i.test(text)) setParam(param.name, { bitmap: text });
  else setParam(param.name, { gradient: text });
}

function startPicking(control) {
  state.picking = true;
  $('nodes').classList.add('picking');
  $('pick-hint').hidden = false;
  status(`${control.caption}: click a node in the scene list`);
}

async function pickNode(name) {
  if (!state.picking) return;
  state.picking = false;
  $('nodes').classList.remove('picking');
  $('pick-hint').hidden = true;
  await setParam('node', name);
  await loadScene();
}

async function command(control) {
  const answer = await attempt(control.caption, () =>
    api('POST', `/api/maps/${state.mapId}/command`, { control: control.id }));
  if (!answer) return;
  renderScene(answer.scene);
  renderRollouts(answer.rollout);
  refreshImages();
  if (answer.addedNodes.length) status(`${control.caption}: added ${answer.addedNodes.join(', ')}`);
  if (answer.help) {
    // The module's web host may be out of reach, so the studio's own copy of the page is opened;
    // the status line names both.
    const local = `${location.origin}${answer.help.localPath}`;
    window.open(local, '_blank', 'noopener');
    status(`${control.caption}: opened ${local} (the map asked for ${answer.help.moduleAddress})`);
  } else if (answer.shellExecute) {
    status(`${control.caption}: the map asked to open ${answer.shellExecute.parameters}`);
  }
}

function wire() {
  $('new-map').addEventListener('click', async () => {
    const scene = await attempt('New map', () => api('POST', '/api/maps', {}));
    if (scene) await editMap(scene.created);
  });
  $('open-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const scene = await attempt(`Open ${$('open-path').value}`, () => api('POST', '/api/open', { path: $('open-path').value }));
    if (scene) {
      renderScene(scene);
      if (!state.mapId && scene.maps.length) await editMap(scene.maps[0].id);
      else await loadRollouts();
    }
  });
  $('save').addEventListener('click', async () => {
    const scene = await attempt('Save', () => api('POST', '/api/save', {}));
    if (scene) renderScene(scene);
  });
  $('save-as-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const scene = await attempt(`Save as ${$('save-path').value}`, () => api('POST', '/api/save', { path: $('save-path').value }));
    if (scene) renderScene(scene);
  });
}

// ---- Time slider and Auto Key ----
// The slider sends only the latest frame while one request is on its way, as setParam does, and
// each answer brings the rollout's values and the images at that frame.
const timeline = { next: null, sending: false };

function renderTime(time) {
  const slider = $('time-slider');
  slider.max = time.lastFrame;
  if (timeline.next === null && !timeline.sending) slider.value = time.frame;
  $('frame-label').textContent = `${time.frame} / ${time.lastFrame}`;
  $('auto-key').setAttribute('aria-pressed', String(time.autoKey));
  document.body.classList.toggle('animating', time.autoKey);
}

// The edited map's keys under the slider, as the host's track bar shows the selection's keys.
function renderKeyMarks(rollouts) {
  const frames = new Set();
  for (const page of rollouts.pages) {
    for (const param of page.params || []) {
      for (const ticks of param.keyTimes || []) frames.add(ticks / rollouts.time.ticksPerFrame);
    }
  }
  const marks = $('key-marks');
  marks.replaceChildren();
  for (const frame of [...frames].sort((a, b) => a - b)) {
    if (frame < 0 || frame > rollouts.time.lastFrame) continue;
    const mark = document.createElement('span');
    mark.style.left = `${(100 * frame) / rollouts.time.lastFrame}%`;
    mark.dataset.frame = frame;
    mark.title = `key at frame ${frame}`;
    marks.append(mark);
  }
}

async function setFrame(frame) {
  timeline.next = frame;
  if (timeline.sending) return;
  timeline.sending = true;
  let refused = false;
  while (timeline.next !== null) {
    const next = timeline.next;
    timeline.next = null;
    const time = await attempt(`Frame ${next}`, () => api('POST', '/api/time', { frame: next }));
    refused = !time;
    if (time) {
      $('frame-label').textContent = `${time.frame} / ${time.lastFrame}`;
      if (timeline.next === null) {
        await loadRollouts();
        refreshImages();
      }
    }
  }
  timeline.sending = false;
  // A refused frame leaves the editor where it was: the slider goes back there.
  // (Read quietly: the status line keeps the reason it was refused.)
  if (refused) {
    const time = await api('GET', '/api/time').catch(() => null);
    if (time) renderTime(time);
  }
}

async function loadTime() {
  const time = await attempt('Ready', () => api('GET', '/api/time'));
  if (time) renderTime(time);
}

function wireTime() {
  $('time-slider').addEventListener('input', () => setFrame(Number($('time-slider').value)));
  $('auto-key').addEventListener('click', async () => {
    const on = $('auto-key').getAttribute('aria-pressed') !== 'true';
    const time = await attempt(on ? 'Auto Key on' : 'Auto Key off', () => api('POST', '/api/animate', { on }));
    if (time) renderTime(time);
  });
}

async function start() {
  wire();
  wireTime();
  await loadTime();
  await loadScene();
  if (state.scene && state.scene.maps.length) await editMap(state.scene.maps[0].id);
}

start();

// ---- The render view: a render of the edited map at a chosen size, shown as it fills in. ----
// The image element carries which render (data-render-id) and how many of its rows are final
// (data-rows; 0 while the coarse image is shown) with the picture it shows.
const renderView = { polling: false, shown: '' };

function showRenderStatus(job) {
  const running = job.state === 'running';
  $('render-cancel').disabled = !running;
  $('render-progress').value = job.total ? job.done / job.total : 0;
  $('render-state').textContent = job.state === 'idle'
    ? 'Not rendered yet'
    : `${job.output} ${job.width} x ${job.height}: ${job.state}${running ? ` (${job.stage})` : ''}` +
      ` ${(100 * job.done / job.total).toFixed(0)}%${job.error ? `: ${job.error}` : ''}`;
  $('render-panel').dataset.state = job.state;
}

// Fetches the render's image when it has changed since the one shown.
async function refreshRenderImage(job) {
  const key = `${job.id}/${job.stage}/${job.done}`;
  if (job.state === 'idle' || key === renderView.shown) return;
  const response = await fetch(`/api/render/image.png?n=${encodeURIComponent(key)}`, { headers: { 'X-Veldmap-Token': token } });
  if (!response.ok) return;  // no image yet: the coarse one is on its way
  const blob = await response.blob();
  const image = $('render-image');
  const old = image.src;
  image.src = URL.createObjectURL(blob);
  if (old.startsWith('blob:')) URL.revokeObjectURL(old);
  image.dataset.renderId = response.headers.get('X-Veldmap-Render-Id');
  image.dataset.rows = response.headers.get('X-Veldmap-Render-Rows');
  image.hidden = false;
  renderView.shown = key;
}

async function pollRender() {
  if (renderView.polling) return;
  renderView.polling = true;
  try {
    for (;;) {
      const job = await api('GET', '/api/render');
      showRenderStatus(job);
      await refreshRenderImage(job);
      if (job.state !== 'running') break;
      // Quickly until the render's first (coarse) image is on show, so it shows at once.
      const delay = renderView.shown.startsWith(`${job.id}/`) ? 100 : 10;
      await new Promise((resolve) => setTimeout(resolve, delay));
    }
  } catch (e) {
    status(`Render: ${e.message}`, true);
  } finally {
    renderView.polling = false;
  }
}

function wireRender() {
  $('render-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    if (!state.mapId) return status('Render: no map is edited', true);
    const body = {
      output: $('render-output').value,
      width: Number($('render-width').value),
      height: Number($('render-height').value),
    };
    const job = await attempt(`Render ${body.output} ${body.width} x ${body.height}`, () =>
      api('POST', `/api/maps/${state.mapId}/render`, body));
    if (job) {
      showRenderStatus(job);
      pollRender();
    }
  });
  $('render-cancel').addEventListener('click', async () => {
    const job = await attempt('Render cancelled', () => api('POST', '/api/render/cancel', {}));
    if (job) showRenderStatus(job);
  });
  $('render-save-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const body = { path: $('render-save-path').value };
    if ($('render-format').value) body.format = $('render-format').value;
    const answer = await attempt(`Save render as ${body.path}`, () => api('POST', '/api/render/save', body));
    if (answer) status(`Saved the render as ${answer.saved} (${answer.format})`);
  });
  pollRender();
}

wireRender();
