// drova gui's page: what drova reports arrives as server-sent events; every
// command is a JSON POST naming this page, so that one page controls a
// device at a time. The server checks everything again; the page only asks.
const tab = sessionStorage.getItem('drova-tab') || crypto.randomUUID();
sessionStorage.setItem('drova-tab', tab);

const $ = (id) => document.getElementById(id);
const state = { devices: [], device: null, flash: null, busy: '', image: null, serviceLog: null };

function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    if (key === 'class') node.className = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, value);
  }
  for (const child of children) node.append(child);
  return node;
}

function log(text) {
  const time = new Date().toLocaleTimeString();
  $('log').append(`${time}  ${text}\n`);
  $('log').scrollTop = $('log').scrollHeight;
}

async function post(path, body = {}, raw = null, query = '') {
  const response = await fetch(path + query, {
    method: 'POST',
    headers: { 'Content-Type': raw ? 'application/octet-stream' : 'application/json', 'X-Drova-Tab': tab },
    body: raw ?? JSON.stringify(body),
  });
  let answer = {};
  try { answer = await response.json(); } catch { answer = { error: `HTTP ${response.status}` }; }
  return { status: response.status, ...answer };
}

// A change the server asks to confirm: shown as it will be done; sent again with the text once accepted.
function ask(text, warnings = []) {
  return new Promise((resolve) => {
    const dialog = $('confirm');
    $('confirm-text').textContent = text;
    $('confirm-warnings').replaceChildren(...warnings.map((w) => el('li', { class: 'note' }, `⚠ ${w}`)));
    const done = (answer) => { dialog.close(); resolve(answer); };
    $('confirm-yes').onclick = () => done(true);
    $('confirm-no').onclick = () => done(false);
    dialog.oncancel = () => resolve(false);
    dialog.showModal();
  });
}

async function confirmed(path, body, show) {
  show(null);
  let answer = await post(path, body);
  if (answer.status === 409 && answer.confirm) {
    if (!(await ask(answer.confirm, answer.warnings || []))) {
      show(`${answer.confirm}: not confirmed, nothing was changed`, false);
      return null;
    }
    answer = await post(path, { ...body, confirm: answer.confirm });
  }
  return answer;
}

// An outcome as icon and words (null: none yet).
function say(id, text, ok) {
  $(id).textContent = text === null ? '' : (ok ? '✔ ' : '✖ ') + text;
  $(id).className = ok ? 'ok' : 'bad';
}
const showAction = (text, ok) => say('action-result', text, ok);
const showResult = (text, ok) => say('result', text, ok);

function renderDevices() {
  const connectedPath = state.device ? state.device.interface : null;
  const rows = state.devices.map((device) => {
    if (!device.answered) {
      return el('tr', { 'data-path': device.interface }, el('td', {}, '—'), el('td', {}, '—'),
        el('td', {}, el('code', {}, device.interface)), el('td', {}, el('span', { class: 'note' }, `⚠ ${device.note}`)),
        el('td', {}));
    }
    const notes = el('td', {}, device.status === 0 ? '' : device.statusText);
    if (device.duplicate) notes.append(el('span', { class: 'note' }, `⚠ duplicate serial number: ${device.duplicate}`));
    const here = device.interface === connectedPath;
    const choose = el('button', {
      type: 'button', 'aria-label': `Connect to ${device.name}, ${device.serialText}, at ${device.interface}`,
      onclick: () => connect(device.path),
    }, here ? 'Connected' : 'Connect');
    choose.disabled = here || state.busy !== '';
    return el('tr', { class: here ? 'connected' : '', 'data-path': device.interface },
      el('td', {}, device.name), el('td', {}, device.serialText), el('td', {}, el('code', {}, device.interface)),
      notes, el('td', {}, choose));
  });
  $('device-list').tBodies[0].replaceChildren(...rows);
  $('no-devices').hidden = state.devices.length > 0;
}

function renderDevice() {
  const device = state.device;
  const connected = device !== null;
  $('device-none').hidden = connected;
  $('device-info').hidden = !connected;
  $('device-hint-box').hidden = !connected;
  $('status').textContent = connected ? `Connected: ${device.line}` : 'Not connected: choose a device.';
  for (const id of ['disconnect', 'refresh', 'start-app', 'autostart', 'write-serial', 'reset'])
    $(id).disabled = !connected || state.busy !== '';
  if (!connected) return;
  const fields = [['Name', device.name], ['Serial number', device.serialText], ['Hardware version', device.hardwareVersion],
    ['Interface version (FOS)', device.fosInterfaceVersion],
    ['Automatic start', device.autostartApplication === 0xFFFFFFFF ? 'none: the device starts no application by itself'
      : `application ${device.autostartApplication}`],
    ['Interface', device.interface]];
  $('device-info').replaceChildren(...fields.flatMap(([k, v]) => [el('dt', {}, k), el('dd', {}, v)]));
  $('device-hint').textContent = device.hint;
}

function renderFlash() {
  const flash = state.flash;
  $('flash-none').hidden = flash !== null;
  $('flash-words-box').hidden = flash === null;
  const target = $('target');
  const chosen = target.value;
  if (!flash) {
    $('flash-layout').replaceChildren();
    $('flash-summary').textContent = '';
    target.replaceChildren();
    updateButtons();
    return;
  }
  const marks = new Map(flash.check.entries.map((entry) => [entry.sector, entry.marks]));
  const items = flash.table.sectors.map((sector) => {
    const empty = sector.kind === 'empty';
    const sectorMarks = marks.get(sector.sector) || [];
    const item = el('li', { class: `${empty ? 'empty' : ''} ${sectorMarks.length ? 'marked' : ''}`, 'data-sector': sector.sector });
    const versions = empty ? '' : ` — versions A ${sector.versionA}, B ${sector.versionB}, C ${sector.versionC}, D ${sector.versionD}`;
    item.append(el('strong', {}, `Sector ${sector.sector}`), ` ${sector.kind}`,
      empty ? '' : ` — id ${sector.id} '${sector.name}'${versions}`);
    if (sectorMarks.length) {
      item.append(el('ul', { class: 'marks', 'aria-label': `What the check marked at sector ${sector.sector}` },
        ...sectorMarks.map((mark) => el('li', {}, el('span', { 'aria-hidden': 'true' }, '⚠ '), `marked: ${mark.text}`))));
    } else if (!empty) {
      item.append(el('span', { class: 'ok' }, ' ✔ nothing marked'));
    }
    return item;
  });
  items.push(el('li', { class: 'staging', 'data-sector': flash.table.stagingArea },
    el('strong', {}, `Area ${flash.table.stagingArea}`), ' the staging area'));
  $('flash-layout').replaceChildren(...items);
  $('flash-summary').textContent = `${flash.check.checked} entries checked, ${flash.check.marked} marked.`;
  $('flash-words').textContent = flash.checkText;
  target.replaceChildren(...flash.table.sectors.map((s) => el('option', { value: s.sector },
    `Sector ${s.sector} (${s.kind === 'empty' ? 'empty' : `${s.kind} id ${s.id} '${s.name}'`})`)),
  el('option', { value: flash.table.stagingArea }, `Area ${flash.table.stagingArea} (the staging area)`));
  if ([...target.options].some((o) => o.value === chosen)) target.value = chosen;
  updateButtons();
}

function renderServiceLog() {
  if (!state.serviceLog) return;
  $('service-log-file').textContent = state.serviceLog.file;
  $('service-log-lines').textContent = state.serviceLog.lines.join('\n') || 'No change has been made yet.';
}

function updateButtons() {
  const ready = state.device !== null && state.image !== null && state.busy === '';
  for (const id of ['check-image', 'program-image', 'verify-image']) $(id).disabled = !ready;
  $('stop').disabled = state.busy !== 'program';
}

function resetPhases() {
  for (const item of $('phases').children) {
    item.querySelector('.phase-state').textContent = '—';
    item.querySelector('.phase-text').textContent = '';
  }
  $('progress').value = 0;
  $('progress-line').textContent = '';
  $('verify-records').replaceChildren();
  $('result').textContent = '';
}

const phaseWords = { running: '… under way', done: '✔ done', failed: '✖ failed', skipped: '– skipped' };

function onMessage(message) {
  switch (message.type) {
    case 'state':
      Object.assign(state, message.value);
      renderDevices(); renderDevice(); renderFlash(); renderServiceLog();
      onMessage({ type: 'next', value: message.value.next });
      break;
    case 'devices': state.devices = message.value; renderDevices(); break;
    case 'device': state.device = message.value; renderDevice(); renderDevices(); break;
    case 'flash': state.flash = message.value; renderFlash(); break;
    case 'serviceLog': state.serviceLog = message.value; renderServiceLog(); break;
    case 'next':
      $('next-status').textContent = message.value.waiting ? `Next device: ${message.value.text}` : '';
      $('stop-next').hidden = !message.value.waiting;
      break;
    case 'busy': state.busy = message.value; renderDevice(); renderDevices(); updateButtons(); break;
    case 'event': log(message.text); break;
    case 'progress':
      $('progress').max = Math.max(message.total, 1);
      $('progress').value = message.sent;
      $('progress-line').textContent = message.line;
      break;
    case 'phase': {
      const item = $('phases').querySelector(`[data-phase="${message.phase}"]`);
      if (item) {
        item.querySelector('.phase-state').textContent = phaseWords[message.state] || message.state;
        item.querySelector('.phase-text').textContent = message.text;
      }
      log(`${message.phase}: ${message.state}${message.text ? `: ${message.text}` : ''}`);
      break;
    }
    case 'result':
      if (message.what) showResult(message.text, message.ok);
      else showAction(message.text, message.ok);
      if (message.records) {
        $('verify-records').replaceChildren(...message.records.filter((r) => !r.matches).map((r) =>
          el('li', { class: 'bad' }, `✖ ${r.record} (${r.extent}): differs`)));
      }
      log(message.text);
      break;
    default: break;
  }
}

async function connect(path) {
  $('status').textContent = `Connecting to ${path}…`;
  const answer = await post('/api/connect', { path });
  if (answer.status === 200) log(`connected: ${answer.connected}`);
  else { showAction(answer.error, false); $('status').textContent = answer.error; log(answer.error); }
}

async function chooseImage(file) {
  if (!file) return;
  const address = $('image-address').value.trim();
  const query = `?name=${encodeURIComponent(file.name)}${address ? `&address=${encodeURIComponent(address)}` : ''}`;
  const answer = await post('/api/image', {}, await file.arrayBuffer(), query);
  if (answer.status !== 200) {
    state.image = null;
    $('image-summary').textContent = `✖ ${answer.error}`;
    $('image-summary').className = 'bad';
  } else {
    state.image = answer;
    $('image-summary').textContent = `${answer.name}: ${answer.format}, ${answer.records} records in ${answer.blocks} blocks, ${answer.bytes} bytes${answer.warning ? ` (⚠ ${answer.warning})` : ''}`;
    $('image-summary').className = '';
  }
  $('preflight').replaceChildren();
  updateButtons();
}

function programBody() {
  return { target: Number($('target').value), erase: $('erase-first').checked, start: $('start-after').checked,
    next: $('next-device').checked };
}

async function checkImage() {
  const answer = await post('/api/plan', programBody());
  if (answer.status !== 200) {
    $('preflight').replaceChildren(el('p', { class: 'bad' }, `✖ ${answer.error}`));
    return false;
  }
  $('preflight').replaceChildren(el('p', {}, answer.summary),
    el('ul', {}, ...answer.notes.map((note) => el('li', {}, note))));
  return true;
}

async function programImage() {
  if (!(await checkImage())) return;
  resetPhases();
  const answer = await confirmed('/api/program', programBody(), showResult);
  if (answer && answer.status !== 202) showResult(answer.error, false);
}

function setup() {
  const events = new EventSource(`/api/events?tab=${encodeURIComponent(tab)}`);
  events.onmessage = (event) => onMessage(JSON.parse(event.data));
  events.onerror = () => { $('status').textContent = 'Lost contact with drova gui; trying again…'; };

  $('disconnect').onclick = async () => {
    const answer = await post('/api/disconnect');
    if (answer.status !== 200) showAction(answer.error, false);
  };
  $('refresh').onclick = async () => {
    const answer = await post('/api/refresh');
    if (answer.status !== 200) showAction(answer.error, false);
  };
  $('image-file').onchange = () => chooseImage($('image-file').files[0]);
  const zone = $('drop-zone');
  zone.ondragover = (event) => { event.preventDefault(); zone.classList.add('over'); };
  zone.ondragleave = () => zone.classList.remove('over');
  zone.ondrop = (event) => { event.preventDefault(); zone.classList.remove('over'); chooseImage(event.dataTransfer.files[0]); };
  $('check-image').onclick = checkImage;
  $('program-image').onclick = programImage;
  $('verify-image').onclick = async () => {
    resetPhases();
    const answer = await post('/api/verify', { target: Number($('target').value) });
    if (answer.status !== 202) showResult(answer.error, false);
  };
  $('stop').onclick = () => post('/api/stop');
  $('stop-next').onclick = async () => {
    const answer = await post('/api/next', { enabled: false });
    if (answer.status !== 200) showResult(answer.error, false);
  };
  $('start-app').onclick = async () => {
    const answer = await post('/api/start', { id: Number($('app-id').value) });
    showAction(answer.status === 200 ? answer.text : answer.error, answer.status === 200);
  };
  $('autostart').onclick = async () => {
    const answer = await confirmed('/api/autostart', { id: Number($('app-id').value) }, showAction);
    if (answer) showAction(answer.status === 200 ? answer.text : answer.error, answer.status === 200);
  };
  $('write-serial').onclick = async () => {
    const answer = await confirmed('/api/write-serial',
      { serial: $('new-serial').value.trim(), force: $('force-duplicate').checked }, showAction);
    if (answer) showAction(answer.status === 200 ? answer.text : answer.error, answer.status === 200);
  };
  $('reset').onclick = async () => {
    const answer = await post('/api/reset');
    showAction(answer.status === 200 ? answer.text : answer.error, answer.status === 200);
  };
  $('copy-log').onclick = async () => {
    try {
      await navigator.clipboard.writeText($('log').textContent);
      showAction('log copied', true);
    } catch {
      getSelection().selectAllChildren($('log'));
      showAction('the log is selected: copy it with Ctrl+C', true);
    }
  };
}

setup();
