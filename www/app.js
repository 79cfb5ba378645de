// Operator pages of the endpoint: talks to the device's action API ("/action"),
// its upload URIs ("/upload/...") and its log view ("/log"). Every value from
// the device is inserted as text (textContent, input values), never as markup.
// After every write the page reads the value back and shows what the device
// holds; values that could not be reloaded are marked as not current.
'use strict';

const $ = (selector, root = document) => root.querySelector(selector);
const $$ = (selector, root = document) => Array.from(root.querySelectorAll(selector));

// ---- Messages (a toast at the bottom of the screen, where the operator is) ----------

let messageTimer = 0;
function say(text, kind = 'ok', actionLabel = '', onAction = null) {
  const box = $('#message');
  $('#message-text').textContent = text;
  box.className = kind;
  box.setAttribute('role', kind === 'error' ? 'alert' : 'status');
  const button = $('#message-action');
  button.hidden = !actionLabel;
  button.textContent = actionLabel;
  button.onclick = onAction;
  box.hidden = false;
  clearTimeout(messageTimer);
  if (kind === 'ok') messageTimer = setTimeout(() => { box.hidden = true; }, 6000);
}
function unsay() { $('#message').hidden = true; }
$('#message-close').addEventListener('click', unsay);

class Refused extends Error {}
class SessionEnded extends Error {}

function explain(error, what) {
  if (error instanceof Refused || error instanceof SessionEnded) return error.message;
  return `${what} failed: ${error.message || 'no answer from the endpoint'}.`;
}

// Runs task with button (if any) disabled meanwhile, then reports success
// (done) or the reason for failure.
async function attempt(what, task, done, button = null) {
  if (button) button.disabled = true;
  try {
    const result = await task();
    if (done) say(done);
    return result;
  } catch (error) {
    if (!(error instanceof SessionEnded) || $('#login').hidden) say(explain(error, what), 'error');
    return undefined;
  } finally {
    if (button) button.disabled = false;
  }
}

// ---- The endpoint's API ---------------------------------------------------------------

function sessionEnded() {
  const wasIn = sessionStorage.getItem('velmar.auth') === '1';
  sessionStorage.removeItem('velmar.auth');
  show('login');
  if (wasIn) say('Your session has ended. Log in again.', 'error');
  return new SessionEnded('Your session has ended. Log in again.');
}

async function request(uri, init) {
  let reply;
  try {
    reply = await fetch(uri, {cache: 'no-store', credentials: 'same-origin', ...init});
  } catch (e) {
    throw new Error('the endpoint cannot be reached');
  }
  if (reply.status === 401) throw sessionEnded();
  return reply;
}

async function action(cmdtype, cmdstr, vars = {}) {
  const reply = await request('/action', {method: 'POST', body: new URLSearchParams({cmdtype, cmdstr, ...vars})});
  if (reply.status === 400) {
    throw new Refused(`The endpoint refused "${cmdstr}" (HTTP 400). Check the values and try again.`);
  }
  if (reply.status === 429) {
    const wait = reply.headers.get('Retry-After') || 'a few';
    throw new Refused(`Too many wrong passwords: wait ${wait} seconds before the next try.`);
  }
  if (!reply.ok) throw new Error(`HTTP ${reply.status}`);
  return reply;
}

async function query(cmdtype, cmdstr, key, vars) {
  // A number the device has not learned yet comes as null.
  const value = await (await action(cmdtype, cmdstr, vars)).json();
  return key ? (value[key] || [])[0] || {} : value;
}

// ---- Uploads -------------------------------------------------------------------------

const kFileName = /^[A-Za-z0-9_+][A-Za-z0-9._+-]{0,126}$/;

// Posts one file as a multipart form part named part; progress (optional)
// shows the bytes sent.
function upload(uri, part, file, progress) {
  if (!kFileName.test(file.name)) {
    return Promise.reject(new Refused(`The endpoint would refuse the file name "${file.name}": use up to 127 ` +
      'letters, digits and the characters . _ + - (not first: . or -).'));
  }
  return new Promise((resolve, reject) => {
    const xhr = new XMLHttpRequest();
    xhr.open('POST', uri);
    if (progress) {
      progress.hidden = false;
      progress.value = 0;
      xhr.upload.onprogress = (e) => { if (e.lengthComputable) progress.value = e.loaded / e.total; };
    }
    xhr.onload = () => {
      if (progress) progress.hidden = true;
      if (xhr.status === 200) resolve(xhr.responseText);
      else if (xhr.status === 401) reject(sessionEnded());
      else if (xhr.status === 400) reject(new Refused(`The endpoint refused the file "${file.name}" (HTTP 400).`));
      else reject(new Error(`HTTP ${xhr.status}`));
    };
    xhr.onerror = () => reject(new Refused(`The endpoint closed the connection on "${file.name}".`));
    const form = new FormData();
    form.append(part, file, file.name);
    xhr.send(form);
  });
}

async function isPng(file) {
  const head = new Uint8Array(await file.slice(0, 8).arrayBuffer());
  return [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a].every((byte, i) => head[i] === byte);
}

// ---- Input checks: what the device accepts ------------------------------------------

function dottedParts(text) {
  if (!/^\d{1,3}(\.\d{1,3}){3}$/.test(text)) return null;
  const parts = text.split('.').map(Number);
  return parts.every((n) => n <= 255) ? parts : null;
}

function checkDotted(input) {
  const parts = dottedParts(input.value.trim());
  let problem = '';
  if (!parts) {
    problem = 'Four numbers 0–255 separated by dots, like 192.168.1.20.';
  } else if (input.dataset.dotted === 'mask') {
    const bits = parts.reduce((v, n) => v * 256 + n, 0).toString(2).padStart(32, '0');
    if (!/^1+0*$/.test(bits) || bits === '1'.repeat(32)) problem = 'A netmask is ones then zeros, like 255.255.255.0.';
  } else if (parts[0] === 0 || parts[0] >= 224 || parts[0] === 127 || parts[3] === 0 || parts[3] === 255) {
    problem = 'Not an address a host can use.';
  }
  input.setCustomValidity(problem);
  return !problem;
}

const kHexBytes = /^\s*[0-9A-Fa-f]{2}(\s*[0-9A-Fa-f]{2})*\s*$/;

function checkHex(input, hex) {
  input.setCustomValidity(hex && !kHexBytes.test(input.value) ?
    'Hexadecimal bytes: pairs of 0-9 and A-F, like 50 4F 4E.' : '');
}

// ---- Forms ---------------------------------------------------------------------------

// The form's fields as request variables; a checkbox gives "1" or "0", a
// form's data-port gives "cmdparameter".
function fields(form) {
  const vars = {};
  for (const element of form.elements) {
    if (!element.name || element.type === 'file') continue;
    vars[element.name] = element.type === 'checkbox' ? (element.checked ? '1' : '0') : element.value.trim();
  }
  if (form.dataset.port) vars.cmdparameter = form.dataset.port;
  return vars;
}

function fill(form, values) {
  for (const [name, value] of Object.entries(values)) {
    const element = form.elements[name];
    if (!element || element.type === 'file' || value === undefined) continue;
    const text = value === null ? '' : String(value);
    if (element.type === 'checkbox') {
      element.checked = /^(1|on)/i.test(text);
    } else if (element.tagName === 'SELECT' && text && !$$('option', element).some((o) => o.value === text)) {
      element.add(new Option(text, text));   // a value the device holds that the list lacks
      element.value = text;
    } else {
      element.value = text;
    }
  }
}

function fillFacts(values) {
  for (const [name, value] of Object.entries(values)) {
    for (const element of $$(`[data-field="${name}"]`)) element.textContent = value ?? '';
  }
}

function labelOf(form, name) {
  const element = form.elements[name];
  const label = element && element.closest('label');
  return label ? label.textContent.trim().split('\n')[0].trim() : name;
}

const same = (a, b) => String(a ?? '').trim().toLowerCase() === String(b ?? '').trim().toLowerCase();

// Reads the page's values back until the form shows what was sent (the MCU
// answers a moment later); the fields that still differ.
async function readBack(form, sent, names) {
  const page = form.closest('.page').id;
  let differ = [];
  for (let i = 0; i < 8; ++i) {
    if (i > 0) await sleep(500);
    await load(page, {forms: true, quiet: true});
    const now = fields(form);
    differ = names.filter((name) => !same(now[name], sent[name]));
    if (differ.length === 0) return [];
  }
  return differ;
}

async function writeVerified(form, cmdtype, cmdstr, vars) {
  await action(cmdtype, cmdstr, vars);
  const names = (form.dataset.verify || '').split(',').filter(Boolean);
  const differ = await readBack(form, vars, names);
  if (differ.length) {
    const now = fields(form);
    throw new Refused('Not stored as sent. The endpoint holds ' +
      differ.map((name) => `${labelOf(form, name)}: "${now[name]}"`).join(', ') + '.');
  }
}

// Forms with data-action="cmdtype/cmdstr" send their fields, then read them back.
function bindActionForms() {
  for (const form of $$('form[data-action]')) {
    if (form.id === 'rs232-form') continue;
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      const [cmdtype, cmdstr] = form.dataset.action.split('/');
      attempt(`"${cmdstr}"`, () => writeVerified(form, cmdtype, cmdstr, fields(form)), 'Stored.',
        $('button', form));
    });
  }
}

// ---- Pages ---------------------------------------------------------------------------

let rs232Info = {};

function statusText(status) {
  return {'': 'none', '0': 'done', '1': 'programming', '99': 'failed'}[status || ''] || status;
}
const onOff = (value) => (/^(1|on)/i.test(String(value || '')) ? 'on' : (value ? 'off' : ''));

function showIdentity(self) {
  fillFacts({alias: self.alias, ip4addr: self.ip4addr});
  $('#identity').hidden = !self.alias && !self.ip4addr;
  document.title = [self.alias, self.ip4addr, 'Velmar endpoint'].filter(Boolean).join(' – ');
}

async function readSelf() {
  const self = await query('commconfig', 'getselfinfo', 'selfinfo');
  showIdentity(self);
  return self;
}

const loaders = {
  async overview({forms}) {
    const self = await readSelf();
    fillFacts({mac: self.mac, ipmode: self.ipmode, vi_select: self.vi_select, hdcp_in: self.hdcp_in,
      hdcp_out: self.hdcp_out, cecsupport: onOff(self.cecsupport), edidsetting: self.edidsetting,
      autosw: self.autosw});
    fillFacts(await query('commconfig', 'getipinfo', 'ipinfo'));
    const versions = (await query('systemconfig', 'versioninfo', null, {softwarename: 'ALL'})).versioninfo || [];
    for (const v of versions) fillFacts({[v.softwarename === 'ARM' ? 'armversion' : 'mcuversion']: v.versionname});
    fillFacts({mcustatus: statusText(self.mcustatus)});
    const led = await query('devicecontrol', 'GETLEDFLICKER', 'ledflickerinfo');
    fillFacts({ledflicker: led.ledflicker === 'on' ? 'flickering' : 'steady'});
    if (forms) {
      fill($('#alias-form'), {alias: self.alias});
      fill($('#led-form'), {cmdparam: led.ledflicker});
    }
    $('#refreshed').textContent = new Date().toLocaleTimeString();
  },
  async network() {
    fill($('#ip-form'), await query('commconfig', 'getipinfo', 'ipinfo'));
  },
  async display() {
    rs232Info = await query('deviceconfig', 'getrs232info', 'rs232info');
    const form = $('#rs232-form');
    fill(form, rs232Info);
    showCommand(form.elements.rs232cmdcontent.value);
    fill($('#rs232auto-form'), rs232Info);
    for (const button of $$('[data-power]')) {
      const stored = rs232Info[button.dataset.power === 'poweron' ? 'rs232poweronstring' : 'rs232poweroffstring'];
      button.disabled = !stored;
      button.title = stored ? '' : 'No command stored for this yet';
    }
  },
  async video() {
    for (const form of $$('form.hdcp')) {
      fill(form, await query('deviceconfig', 'gethdcpinfo', 'hdcpinfo', {cmdparameter: form.dataset.port}));
    }
    fill($('#cec-form'), await query('deviceconfig', 'getcecinfo', 'cecinfo', {cmdparameter: 'hdmi'}));
    fill($('#edid-form'), await query('deviceconfig', 'getedidinfo', 'edidinfo', {cmdparameter: 'all'}));
    fill($('#autosw-form'), {cmdparameter: (await query('deviceconfig', 'getautoswinfo', 'autoswinfo')).autosw});
  },
  async group({quiet}) {
    await discover(quiet);
  },
  async log() {
    await readLog();
  },
  async system() {
    fill($('#logout-form'), await query('commconfig', 'getautologoutinfo', 'autologoutinfo'));
    const mode = (await query('systemconfig', 'getweblogin', 'webloginfo')).mode || 'off';
    fillFacts({weblogin: mode});
    $('#weblogin-form').elements.mode.value = mode === 'on' ? 'off' : 'on';
  },
};

// Marks the page's values as not current (or clears the mark).
function markStale(page, stale) {
  for (const element of $$('[data-field], input:not([type=file]), select', $(`#${page}`))) {
    element.classList.toggle('stale', stale && element.tagName !== 'INPUT' && element.tagName !== 'SELECT' &&
      element.textContent !== '');
    if (element.tagName === 'INPUT' || element.tagName === 'SELECT') {
      if (stale) element.setAttribute('aria-invalid', 'true'); else element.removeAttribute('aria-invalid');
      element.classList.toggle('invalid', stale);
    }
  }
}

// Loads a page's values; on failure they are marked as not current.
async function load(page, {forms = true, quiet = false} = {}) {
  try {
    await loaders[page]({forms, quiet});
    markStale(page, false);
  } catch (error) {
    markStale(page, true);
    throw error;
  }
}

let current = '';

function show(page) {
  const loggedIn = sessionStorage.getItem('velmar.auth') === '1';
  if (!loggedIn) page = 'login';
  else if (!loaders[page]) page = 'overview';
  current = page;
  unsay();
  for (const section of $$('.page')) section.hidden = section.id !== page;
  $('#nav').hidden = !loggedIn;
  for (const link of $$('#nav a')) {
    if (link.hash === `#${page}`) link.setAttribute('aria-current', 'page'); else link.removeAttribute('aria-current');
  }
  if (!loaders[page]) return;
  document.body.dataset.loading = page;
  attempt('Reading the settings', () => load(page)).finally(() => {
    if (document.body.dataset.loading === page) delete document.body.dataset.loading;
  });
}

// The overview refreshes itself while it is shown and the tab is visible.
setInterval(() => {
  if (current === 'overview' && !document.hidden && !document.body.dataset.loading) {
    load('overview', {forms: false}).catch(() => {});
  }
}, 5000);

// ---- Log-in and automatic log-out ----------------------------------------------------

let logoutTimer = 0;
let warnTimer = 0;
let logoutMinutes = 0;

async function logout(reason) {
  clearTimeout(logoutTimer);
  clearTimeout(warnTimer);
  sessionStorage.removeItem('velmar.auth');
  show('login');
  if (reason) say(reason, 'busy'); else unsay();
  try { await fetch('/action', {method: 'POST', body: new URLSearchParams({cmdtype: 'systemconfig', cmdstr: 'weblogout'})}); } catch (e) { /* gone */ }
}

function armLogout() {
  clearTimeout(logoutTimer);
  clearTimeout(warnTimer);
  if (logoutMinutes <= 0 || sessionStorage.getItem('velmar.auth') !== '1') return;
  warnTimer = setTimeout(() => say('Without activity you will be logged out in one minute.', 'busy',
    'Stay logged in', () => { unsay(); armLogout(); }), (logoutMinutes - 1) * 60000);
  logoutTimer = setTimeout(() => logout(`You were logged out after ${logoutMinutes} minutes without activity.`),
    logoutMinutes * 60000);
}

async function loadLogout() {
  const info = await query('commconfig', 'getautologoutinfo', 'autologoutinfo');
  const minutes = parseInt(info.time, 10);
  logoutMinutes = info.mode === 'on' && minutes > 0 ? minutes : 0;
  armLogout();
}

$('#login-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const form = event.target;
  const button = $('button', form);
  button.disabled = true;
  try {
    await action('systemconfig', 'verifypasswd', {passwd: form.elements.passwd.value});
  } catch (error) {
    say(error instanceof Refused && error.message.includes('HTTP 400') ? 'Wrong password.' :
      explain(error, 'Logging in'), 'error');
    return;
  } finally {
    button.disabled = false;
  }
  form.reset();
  sessionStorage.setItem('velmar.auth', '1');
  unsay();
  attempt('Reading the log-out setting', loadLogout);
  show(location.hash.slice(1));
});

$('#logout').addEventListener('click', () => logout(''));
for (const type of ['click', 'keydown']) document.addEventListener(type, armLogout, {passive: true});

// ---- The network -----------------------------------------------------------------------

for (const input of $$('[data-dotted]')) input.addEventListener('input', () => checkDotted(input));

$('#ip-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const form = event.target;
  const vars = fields(form);
  if (vars.ipmode === 'static' && !$$('[data-dotted]', form).map(checkDotted).every(Boolean)) {
    form.reportValidity();
    return;
  }
  if (!confirm(form.dataset.confirm)) return;
  attempt('Changing the network settings', () => action('commconfig', 'setipinfo', vars),
    'Stored; the endpoint restarts with the new settings.', $('button', form));
});
$('#ip-form').elements.ipmode.addEventListener('change', (event) => {
  for (const input of $$('[data-dotted]', event.target.form)) {
    input.required = event.target.value === 'static';
    input.disabled = event.target.value !== 'static';
  }
});

// ---- The display ---------------------------------------------------------------------

// The text field shows the stored text of the chosen command, never the other's.
function showCommand(which) {
  fill($('#rs232-form'), {rs232cmdstring: rs232Info[which === 'poweroff' ? 'rs232poweroffstring' : 'rs232poweronstring'] ?? ''});
}
$('#rs232-form').elements.rs232cmdcontent.addEventListener('change', (event) => showCommand(event.target.value));

const rs232Form = $('#rs232-form');
for (const name of ['rs232cmdstring', 'hexadecimal']) {
  rs232Form.elements[name].addEventListener('input', () =>
    checkHex(rs232Form.elements.rs232cmdstring, rs232Form.elements.hexadecimal.checked));
}

rs232Form.addEventListener('submit', (event) => {
  event.preventDefault();
  checkHex(rs232Form.elements.rs232cmdstring, rs232Form.elements.hexadecimal.checked);
  if (!rs232Form.reportValidity()) return;
  const vars = fields(rs232Form);
  attempt('Storing the command', async () => {
    await action('deviceconfig', 'setrs232cmdstring', vars);
    await load('display', {quiet: true});
    fill(rs232Form, {rs232cmdcontent: vars.rs232cmdcontent});
    showCommand(vars.rs232cmdcontent);
    const held = rs232Form.elements.rs232cmdstring.value;
    if (held !== vars.rs232cmdstring) throw new Refused(`Not stored as sent. The endpoint holds "${held}".`);
  }, 'Stored.', $('button', rs232Form));
});

// The line settings of the display form, sent with every display command.
function lineSettings() {
  const {rs232speed, rs232paritybit, rs232databit, rs232stopbit, rs232endflg} = fields($('#rs232-form'));
  return {rs232speed, rs232paritybit, rs232databit, rs232stopbit, rs232endflg};
}

for (const button of $$('[data-power]')) {
  button.addEventListener('click', () => attempt('The display command', () =>
    action('devicecontrol', 'rs232ctrl', {...lineSettings(), parameteronestr: button.dataset.power}), 'Sent.',
  button).then(() => loaders.display().catch(() => {})));
}

for (const button of $$('[data-cec]')) {
  button.addEventListener('click', () => attempt('The CEC command', () =>
    action('devicecontrol', 'cec', {parameteronestr: 'hdmi', parametertwostr: button.dataset.cec}), 'Sent.', button));
}

const passForm = $('#passthrough-form');
for (const name of ['contentstr', 'hex']) {
  passForm.elements[name].addEventListener('input', () => checkHex(passForm.elements.contentstr, passForm.elements.hex.checked));
}
passForm.addEventListener('submit', (event) => {
  event.preventDefault();
  checkHex(passForm.elements.contentstr, passForm.elements.hex.checked);
  if (!passForm.reportValidity()) return;
  const {contentstr, hex} = fields(passForm);
  attempt('Sending to the display', () => action('devicecontrol', 'rs232passthrough',
    {...lineSettings(), contentstr, parameteronestr: hex === '1' ? 'hexsignon' : 'hexsignoff'}), 'Sent.',
  $('button', passForm));
});

// ---- The group -------------------------------------------------------------------------

const kDeviceColumns = ['alias', 'ip_addr', 'sequence_number', 'looplink_sign', 'group_sign', 'showme_sign',
  'vi_select', 'dev_type'];

function addDeviceRow(body, device, own) {
  const row = body.insertRow();
  for (const column of kDeviceColumns) {
    const cell = row.insertCell();
    const value = device[column] ?? '';
    if (column === 'ip_addr' && dottedParts(value) && !own) {
      const link = document.createElement('a');
      link.href = `${location.protocol}//${value}${location.port ? `:${location.port}` : ''}/`;
      link.textContent = value;
      cell.append(link);
    } else {
      cell.textContent = column === 'alias' && own ? `${value} (this endpoint)` : value;
    }
  }
}

let discovering = null;

async function discover(quiet) {
  if (discovering) return discovering;
  const button = $('#discover');
  button.disabled = true;
  if (!quiet) say('Searching the group…', 'busy');
  discovering = (async () => {
    const [self, list] = await Promise.all([readSelf(), query('commconfig', 'getdeviceinfo')]);
    fillFacts({devicemaxseqnum: list.devicemaxseqnum ?? 'not set'});
    fill($('#seq-form'), {maxsequencenumber: list.devicemaxseqnum ?? ''});
    const body = $('#devices tbody');
    body.replaceChildren();
    addDeviceRow(body, {...self, ip_addr: self.ip4addr}, true);
    const others = list.deviceinfo || [];
    for (const device of others) addDeviceRow(body, device, false);
    $('#group-count').textContent = `${others.length} other endpoint(s) answered at ${new Date().toLocaleTimeString()}.`;
    if (!quiet) say(`${others.length} other endpoint(s) answered.`);
  })();
  try {
    await discovering;
  } finally {
    discovering = null;
    button.disabled = false;
  }
}

$('#discover').addEventListener('click', () => attempt('The group search', () => discover(false)));

for (const button of $$('[data-groupsign]')) {
  button.addEventListener('click', () => attempt('The sub-group change', () =>
    action('deviceconfig', 'groupsignset', {parameterstr: button.dataset.groupsign}), 'Sent to the group.', button));
}

// ---- The log ---------------------------------------------------------------------------

async function readLog() {
  const {level, lines} = fields($('#log-form'));
  const reply = await request(`/log?${new URLSearchParams({level, lines})}`);
  if (!reply.ok) throw new Error(`HTTP ${reply.status}`);
  const box = $('#log-text');
  box.textContent = await reply.text() || '(no lines at this level)';
  box.scrollTop = box.scrollHeight;
}

$('#log-form').addEventListener('submit', (event) => {
  event.preventDefault();
  attempt('Reading the log', () => load('log'), '', $('button', event.target));
});
for (const select of $$('#log-form select')) {
  select.addEventListener('change', () => attempt('Reading the log', () => load('log')));
}
$('#log-download').addEventListener('click', () => {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(new Blob([$('#log-text').textContent], {type: 'text/plain'}));
  link.download = `velmar-log-${new Date().toISOString().slice(0, 19).replace(/[:T]/g, '-')}.txt`;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
});

// ---- The system ------------------------------------------------------------------------

$('#passwd-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const form = event.target;
  const {newpasswd, again} = fields(form);
  form.elements.again.setCustomValidity(newpasswd === again ? '' : 'The two passwords differ.');
  if (!form.reportValidity()) return;
  attempt('Changing the password', async () => {
    await action('systemconfig', 'changepasswd', {newpasswd});
    await action('systemconfig', 'verifypasswd', {passwd: newpasswd});
    form.reset();
  }, 'Password changed; other sessions have ended.', $('button', form));
});
$('#passwd-form').elements.again.addEventListener('input', (event) => event.target.setCustomValidity(''));

$('#weblogin-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const form = event.target;
  const {mode, passwd} = fields(form);
  attempt('Changing the enforced log-in', async () => {
    await action('systemconfig', 'setweblogin', {mode, passwd});
    form.elements.passwd.value = '';
    await load('system', {quiet: true});
    const held = $('[data-field=weblogin]').textContent;
    if (held !== mode) throw new Refused(`Not stored as sent. The endpoint holds: ${held}.`);
  }, `Enforced log-in is now ${mode}.`, $('button', form));
});

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Polls "upgradeinfo" until the board's status leaves "programming".
async function followUpgrade(board, state) {
  for (let i = 0; i < 600; ++i) {
    await sleep(2000);
    let info;
    try {
      info = await query('systemconfig', 'upgradeinfo', 'upgradeinfo', {softwarename: board});
    } catch (error) {
      if (error instanceof SessionEnded) throw error;
      state.textContent = 'The endpoint restarts…';
      continue;
    }
    state.textContent = statusText(info.updatestatus);
    if (info.updatestatus !== '1' && (board === 'MCU' || i > 0)) return info.updatestatus;
  }
  return undefined;
}

for (const form of $$('form.upgrade')) {
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    const board = form.dataset.board;
    const state = $('.upgrade-state', form);
    attempt(`The ${board} upgrade`, async () => {
      for (const file of form.elements[board].files) {
        state.textContent = `uploading ${file.name}`;
        await upload('/upload/upgradesoftware', board, file, $('progress', form));
      }
      state.textContent = 'starting';
      await action('systemconfig', 'update', {cmdparameter: board});
      state.textContent = 'programming';
      const result = await followUpgrade(board, state);
      if (result === '99') throw new Error('the endpoint reports a failed upgrade');
    }, `The ${board} upgrade is done.`, $('button', form));
  });
}

$('#logo-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const file = event.target.elements.logo.files[0];
  attempt('Replacing the logo', async () => {
    if (!(await isPng(file))) throw new Refused(`"${file.name}" is not a PNG image; the logo must be one.`);
    await upload('/upload/logo', 'logo', file);
    $('#logo').src = `images/logo.png?${Date.now()}`;
  }, 'Logo replaced.', $('button', event.target));
});

$('#edid-upload').addEventListener('submit', (event) => {
  event.preventDefault();
  const form = event.target;
  attempt('Writing the EDID', async () => {
    await upload('/upload/upgradesoftware', 'EDID', form.elements.EDID.files[0], $('progress', form));
    await action('deviceconfig', 'edidwrite', {cmdparameter: form.elements.port.value});
  }, 'EDID written.', $('button', form));
});

$('#edid-read').addEventListener('submit', (event) => {
  event.preventDefault();
  const port = event.target.elements.port.value;
  attempt('Reading the EDID', async () => {
    say('Reading the EDID from the source…', 'busy');
    const reply = await action('deviceconfig', 'edidread', {cmdparameter: port});
    const link = document.createElement('a');
    link.href = URL.createObjectURL(await reply.blob());
    link.download = 'edid.bin';
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  }, 'EDID read; saved as edid.bin.', $('button', event.target));
});

function confirmed(question, what, cmdstr, done, button) {
  if (confirm(question)) attempt(what, () => action('systemconfig', cmdstr), done, button);
}

$('#reboot').addEventListener('click', (event) =>
  confirmed('Reboot the endpoint now?', 'Rebooting', 'reboot', 'The endpoint reboots.', event.currentTarget));
$('#factory').addEventListener('click', (event) =>
  confirmed('Restore the factory settings? Addresses, password and all settings are lost.', 'The factory reset',
    'resetfactory', 'The endpoint restores its factory settings and reboots.', event.currentTarget));

// ---- Start -----------------------------------------------------------------------------

bindActionForms();
window.addEventListener('hashchange', () => show(location.hash.slice(1)));
if (sessionStorage.getItem('velmar.auth') === '1') attempt('Reading the log-out setting', loadLogout);
show(location.hash.slice(1));
