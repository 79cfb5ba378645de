// Operator pages of the endpoint: talks to the device's action API ("/action")
// and upload URIs ("/upload/..."). Every value from the device is inserted as
// text (textContent, input values), never as markup.
'use strict';

const $ = (selector, root = document) => root.querySelector(selector);
const $$ = (selector, root = document) => Array.from(root.querySelectorAll(selector));

// ---- Messages ----------------------------------------------------------------

let messageTimer = 0;
function say(text, kind = 'ok') {
  const box = $('#message');
  box.textContent = text;
  box.className = kind;
  box.hidden = false;
  clearTimeout(messageTimer);
  if (kind === 'ok') messageTimer = setTimeout(() => { box.hidden = true; }, 5000);
}

class Refused extends Error {}

function explain(error, what) {
  if (error instanceof Refused) return error.message;
  return `${what} failed: ${error.message || 'no answer from the endpoint'}.`;
}

// Runs task, reporting success or the reason for failure.
async function attempt(what, task, done) {
  try {
    const result = await task();
    if (done) say(done);
    return result;
  } catch (error) {
    say(explain(error, what), 'error');
    return undefined;
  }
}

// ---- The action API -------------------------------------------------------------

async function action(cmdtype, cmdstr, vars = {}) {
  let reply;
  try {
    reply = await fetch('/action', {
      method: 'POST', cache: 'no-store', body: new URLSearchParams({cmdtype, cmdstr, ...vars}),
    });
  } catch (e) {
    throw new Error('the endpoint cannot be reached');
  }
  if (reply.status === 400) {
    throw new Refused(`The endpoint refused "${cmdstr}" (HTTP 400). Check the values and try again.`);
  }
  if (!reply.ok) throw new Error(`HTTP ${reply.status}`);
  return reply;
}

async function query(cmdtype, cmdstr, key, vars) {
  // A number the device has not learned yet comes as null.
  const value = await (await action(cmdtype, cmdstr, vars)).json();
  return key ? (value[key] || [])[0] || {} : value;
}

// ---- Uploads -----------------------------------------------------------------------

const kFileName = /^[A-Za-z0-9_+][A-Za-z0-9._+-]{0,126}$/;

// Posts one file as a multipart form part named part; progress (optional)
// shows the bytes sent.
function upload(uri, part, file, progress) {
  if (!kFileName.test(file.name)) {
    return Promise.reject(new Refused(`The endpoint would refuse the file name "${file.name}": use up to 127 ` +
      'letters, digits and the characters . _ + - (not first: . or -).'));
  }
  return new Promise((resolve, reject) => {
    const request = new XMLHttpRequest();
    request.open('POST', uri);
    if (progress) {
      progress.hidden = false;
      progress.value = 0;
      request.upload.onprogress = (e) => { if (e.lengthComputable) progress.value = e.loaded / e.total; };
    }
    request.onload = () => {
      if (request.status === 200) resolve(request.responseText);
      else if (request.status === 400) reject(new Refused(`The endpoint refused the file "${file.name}" (HTTP 400).`));
      else reject(new Error(`HTTP ${request.status}`));
    };
    request.onerror = () => reject(new Refused(`The endpoint closed the connection on "${file.name}".`));
    const form = new FormData();
    form.append(part, file, file.name);
    request.send(form);
  });
}

// ---- Forms -----------------------------------------------------------------------------

// The form's fields as request variables; a checkbox gives "1" or "0", a
// form's data-port gives "cmdparameter".
function fields(form) {
  const vars = {};
  for (const element of form.elements) {
    if (!element.name || element.type === 'file') continue;
    vars[element.name] = element.type === 'checkbox' ? (element.checked ? '1' : '0') : element.value;
  }
  if (form.dataset.port) vars.cmdparameter = form.dataset.port;
  return vars;
}

function fill(form, values) {
  for (const [name, value] of Object.entries(values)) {
    const element = form.elements[name];
    if (!element || element.type === 'file') continue;
    if (element.type === 'checkbox') element.checked = /^(1|on)/i.test(String(value));
    else element.value = value;
  }
}

function fillFacts(values) {
  for (const [name, value] of Object.entries(values)) {
    for (const element of $$(`[data-field="${name}"]`)) element.textContent = value;
  }
}

// Forms with data-action="cmdtype/cmdstr" send their fields as they are.
function bindActionForms() {
  for (const form of $$('form[data-action]')) {
    if (form.id === 'ip-form') continue;
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      const [cmdtype, cmdstr] = form.dataset.action.split('/');
      attempt(`"${cmdstr}"`, () => action(cmdtype, cmdstr, fields(form)), 'Stored.');
    });
  }
}

// The line settings of the display form, sent with every display command.
function lineSettings() {
  const {rs232speed, rs232paritybit, rs232databit, rs232stopbit, rs232endflg} = fields($('#rs232-form'));
  return {rs232speed, rs232paritybit, rs232databit, rs232stopbit, rs232endflg};
}

// ---- Pages -------------------------------------------------------------------------

const loaders = {
  async overview() {
    const ip = await query('commconfig', 'getipinfo', 'ipinfo');
    fillFacts(ip);
    const versions = (await query('systemconfig', 'versioninfo', null, {softwarename: 'ALL'})).versioninfo || [];
    for (const v of versions) fillFacts({[v.softwarename === 'ARM' ? 'armversion' : 'mcuversion']: v.versionname});
    const mcu = await query('systemconfig', 'upgradeinfo', 'upgradeinfo', {softwarename: 'MCU'});
    fillFacts({mcustatus: statusText(mcu.updatestatus)});
    fillFacts(await query('deviceconfig', 'getautoswinfo', 'autoswinfo'));
    const led = await query('devicecontrol', 'GETLEDFLICKER', 'ledflickerinfo');
    fillFacts({ledflicker: led.ledflicker === 'on' ? 'flickering' : 'steady'});
  },
  async network() {
    fill($('#ip-form'), await query('commconfig', 'getipinfo', 'ipinfo'));
  },
  async display() {
    const info = await query('deviceconfig', 'getrs232info', 'rs232info');
    fill($('#rs232-form'), {...info, rs232cmdstring: info.rs232poweronstring, rs232cmdcontent: 'poweron'});
    fill($('#rs232auto-form'), info);
  },
  async video() {
    for (const form of $$('form.hdcp')) {
      fill(form, await query('deviceconfig', 'gethdcpinfo', 'hdcpinfo', {cmdparameter: form.dataset.port}));
    }
    fill($('#cec-form'), await query('deviceconfig', 'getcecinfo', 'cecinfo', {cmdparameter: 'hdmi'}));
    fill($('#edid-form'), await query('deviceconfig', 'getedidinfo', 'edidinfo', {cmdparameter: 'all'}));
    fill($('#autosw-form'), {cmdparameter: (await query('deviceconfig', 'getautoswinfo', 'autoswinfo')).autosw});
  },
  async group() {},
  async system() {
    fill($('#logout-form'), await query('commconfig', 'getautologoutinfo', 'autologoutinfo'));
  },
};

function statusText(status) {
  return {'': 'none', '0': 'done', '1': 'programming', '99': 'failed'}[status || ''] || status;
}

function show(page) {
  const loggedIn = sessionStorage.getItem('velmar.auth') === '1';
  if (!loggedIn) page = 'login';
  else if (!loaders[page]) page = 'overview';
  for (const section of $$('.page')) section.hidden = section.id !== page;
  $('#message').hidden = true;
  $('#nav').hidden = !loggedIn;
  for (const link of $$('#nav a')) link.classList.toggle('current', link.hash === `#${page}`);
  if (!loaders[page]) return;
  document.body.dataset.loading = page;
  attempt('Reading the settings', loaders[page]).finally(() => {
    if (document.body.dataset.loading === page) delete document.body.dataset.loading;
  });
}

// ---- Log-in and automatic log-out ----------------------------------------------------

let logoutTimer = 0;
let logoutMinutes = 0;

function logout() {
  sessionStorage.removeItem('velmar.auth');
  clearTimeout(logoutTimer);
  show('login');
}

function armLogout() {
  clearTimeout(logoutTimer);
  if (logoutMinutes > 0) logoutTimer = setTimeout(logout, logoutMinutes * 60000);
}

async function loadLogout() {
  const info = await query('commconfig', 'getautologoutinfo', 'autologoutinfo');
  const minutes = parseInt(info.time, 10);
  logoutMinutes = info.mode === 'on' && minutes > 0 ? minutes : 0;
  armLogout();
}

$('#login-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const passwd = event.target.elements.passwd.value;
  try {
    await action('systemconfig', 'verifypasswd', {passwd});
  } catch (error) {
    say(error instanceof Refused ? 'Wrong password.' : explain(error, 'Logging in'), 'error');
    return;
  }
  event.target.reset();
  sessionStorage.setItem('velmar.auth', '1');
  $('#message').hidden = true;
  attempt('Reading the log-out setting', loadLogout);
  show(location.hash.slice(1));
});

$('#logout').addEventListener('click', logout);
for (const type of ['click', 'keydown']) document.addEventListener(type, armLogout, {passive: true});

// ---- Commands with their own handling ------------------------------------------------

$('#ip-form').addEventListener('submit', (event) => {
  event.preventDefault();
  if (!confirm(event.target.dataset.confirm)) return;
  attempt('Changing the network settings', () => action('commconfig', 'setipinfo', fields(event.target)),
    'Stored; the endpoint restarts with the new settings.');
});

for (const button of $$('[data-power]')) {
  button.addEventListener('click', () => attempt('The display command', () =>
    action('devicecontrol', 'rs232ctrl', {...lineSettings(), parameteronestr: button.dataset.power}), 'Sent.'));
}

for (const button of $$('[data-cec]')) {
  button.addEventListener('click', () => attempt('The CEC command', () =>
    action('devicecontrol', 'cec', {parameteronestr: 'hdmi', parametertwostr: button.dataset.cec}), 'Sent.'));
}

$('#passthrough-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const {contentstr, hex} = fields(event.target);
  attempt('Sending to the display', () => action('devicecontrol', 'rs232passthrough',
    {...lineSettings(), contentstr, parameteronestr: hex === '1' ? 'hexsignon' : 'hexsignoff'}), 'Sent.');
});

for (const button of $$('[data-groupsign]')) {
  button.addEventListener('click', () => attempt('The sub-group change', () =>
    action('deviceconfig', 'groupsignset', {parameterstr: button.dataset.groupsign}), 'Stored.'));
}

const kDeviceColumns = ['alias', 'ip_addr', 'sequence_number', 'looplink_sign', 'group_sign', 'showme_sign',
  'vi_select', 'dev_type'];

$('#discover').addEventListener('click', () => attempt('The group search', async () => {
  say('Searching the group...', 'busy');
  const list = await query('commconfig', 'getdeviceinfo');
  fillFacts({devicemaxseqnum: list.devicemaxseqnum ?? ''});
  const body = $('#devices tbody');
  body.replaceChildren();
  for (const device of list.deviceinfo || []) {
    const row = body.insertRow();
    for (const column of kDeviceColumns) row.insertCell().textContent = device[column] ?? '';
  }
  say(`${(list.deviceinfo || []).length} other endpoint(s) answered.`);
}));

$('#passwd-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const {newpasswd, again} = fields(event.target);
  if (newpasswd !== again) {
    say('The two passwords differ.', 'error');
    return;
  }
  attempt('Changing the password', async () => {
    await action('systemconfig', 'changepasswd', {newpasswd});
    event.target.reset();
  }, 'Password changed.');
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
      state.textContent = 'The endpoint restarts...';
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
    }, `The ${board} upgrade is done.`);
  });
}

$('#logo-form').addEventListener('submit', (event) => {
  event.preventDefault();
  attempt('Replacing the logo', async () => {
    await upload('/upload/logo', 'logo', event.target.elements.logo.files[0]);
    $('#logo').src = `images/logo.png?${Date.now()}`;
  }, 'Logo replaced.');
});

$('#edid-upload').addEventListener('submit', (event) => {
  event.preventDefault();
  const form = event.target;
  attempt('Writing the EDID', async () => {
    await upload('/upload/upgradesoftware', 'EDID', form.elements.EDID.files[0], $('progress', form));
    await action('deviceconfig', 'edidwrite', {cmdparameter: form.elements.port.value});
  }, 'EDID written.');
});

$('#edid-read').addEventListener('submit', (event) => {
  event.preventDefault();
  const port = event.target.elements.port.value;
  attempt('Reading the EDID', async () => {
    say('Reading the EDID from the source...', 'busy');
    const reply = await action('deviceconfig', 'edidread', {cmdparameter: port});
    const link = document.createElement('a');
    link.href = URL.createObjectURL(await reply.blob());
    link.download = 'edid.bin';
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  }, 'EDID read; saved as edid.bin.');
});

function confirmed(question, what, cmdstr, done) {
  if (confirm(question)) attempt(what, () => action('systemconfig', cmdstr), done);
}

$('#reboot').addEventListener('click', () =>
  confirmed('Reboot the endpoint now?', 'Rebooting', 'reboot', 'The endpoint reboots.'));
$('#factory').addEventListener('click', () =>
  confirmed('Restore the factory settings? Addresses, password and all settings are lost.', 'The factory reset',
    'resetfactory', 'The endpoint restores its factory settings and reboots.'));

// ---- Start -------------------------------------------------------------------------------

bindActionForms();
window.addEventListener('hashchange', () => show(location.hash.slice(1)));
if (sessionStorage.getItem('velmar.auth') === '1') attempt('Reading the log-out setting', loadLogout);
show(location.hash.slice(1));
