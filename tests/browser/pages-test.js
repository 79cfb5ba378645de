// The operator pages in headless Chromium against velmard on the simulated
// board, at desktop (1280x900) and phone (390x844) widths: log in, change
// settings and find what the device holds, inputs the device would refuse,
// uploads and downloads, the group list, the log, the log-in the device
// enforces, an accessibility scan (axe-core) and a screenshot of every page.
// A page of another origin (served here) that tries to change settings and
// upload through the operator's browser changes nothing.
// Run by run-browser-test, which sets:
//   VELMAR_URL        the first endpoint's web address
//   VELMAR_PEER_URL   another endpoint's web address
//   VELMAR_BOARD      the first endpoint's board root
//   VELMAR_SHOTS      where the screenshots go
//   VELMAR_CHROMIUM   the browser
'use strict';

const fs = require('fs');
const http = require('http');
const net = require('net');
const os = require('os');
const path = require('path');
const {chromium} = require('playwright-core');

const env = (name) => process.env[name] || (() => { throw new Error(`${name} is not set`); })();
const url = env('VELMAR_URL');
const peerUrl = env('VELMAR_PEER_URL');
const board = env('VELMAR_BOARD');
const shots = env('VELMAR_SHOTS');
const boardFile = (p) => path.join(board, p);
const axeSource = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
const kPassword = 'plomb';
const kPages = ['overview', 'network', 'display', 'video', 'group', 'log', 'system'];
const kSizes = {desktop: {width: 1280, height: 900}, phone: {width: 390, height: 844}};

let failures = 0;
async function step(name, body) {
  try {
    await body();
    console.log(`PASS ${name}`);
  } catch (error) {
    failures += 1;
    console.log(`FAIL ${name}: ${error.message}`);
  }
}

function check(condition, text) {
  if (!condition) throw new Error(text);
}

async function waitFor(condition, text, ms = 30000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await condition()) return;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`timed out: ${text}`);
}

const readOr = (file) => { try { return fs.readFileSync(file); } catch (e) { return Buffer.alloc(0); } };

// One action from outside the browser (no session). A kept-alive connection
// the server has closed meanwhile is retried once on a new one.
async function api(base, vars, retry = true) {
  try {
    const reply = await fetch(`${base}/action`, {method: 'POST', body: new URLSearchParams(vars)});
    return {status: reply.status, text: await reply.text()};
  } catch (error) {
    if (!retry) throw error;
    return api(base, vars, false);
  }
}

// Sends one line to the endpoint's command port.
function tcpLine(base, line) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(23, new URL(base).hostname, () => socket.end(`${line}\r\n`));
    socket.on('error', reject);
    socket.on('close', resolve);
    socket.setTimeout(10000, () => socket.destroy());
  });
}

async function message(page) {
  const box = page.locator('#message');
  await box.waitFor({state: 'visible', timeout: 40000});
  return box.textContent();
}

// A page of another origin: it sends what a hostile page can send without
// CORS (fetch in 'no-cors' mode: a GET, a form POST, a multipart upload; a
// submitted form), then sets its title to "done".
function foreignPage(target) {
  return `<!doctype html><title>busy</title>
<form id="f" method="POST" action="${target}/action" target="sink">
<input name="cmdtype" value="commconfig"><input name="cmdstr" value="setautologoutinfo">
<input name="mode" value="on"><input name="time" value="99"></form>
<iframe name="sink"></iframe>
<script>
(async () => {
  const opts = {mode: 'no-cors', credentials: 'include'};
  const tries = [
    fetch('${target}/action?cmdtype=deviceconfig&cmdstr=setdeviceinfo&alias=xsite1', opts),
    fetch('${target}/action', {...opts, method: 'POST',
      body: new URLSearchParams({cmdtype: 'systemconfig', cmdstr: 'changepasswd', newpasswd: 'xsite2'})}),
  ];
  const form = new FormData();
  form.append('EDID', new Blob(['<script>xsite3</scr' + 'ipt>']), 'xsite3.html');
  tries.push(fetch('${target}/upload/upgradesoftware', {...opts, method: 'POST', body: form}));
  await Promise.allSettled(tries);
  const sink = document.querySelector('iframe');
  await new Promise((done) => { sink.onload = done; sink.onerror = done; document.getElementById('f').submit(); });
  document.title = 'done';
})();
</script>`;
}

// Clicks and returns the message the page shows for it (not a busy one).
async function clickForMessage(page, selector) {
  await page.evaluate(() => { document.querySelector('#message').hidden = true; });
  await page.click(selector);
  await page.locator('#message:not(.busy)').waitFor({state: 'visible', timeout: 40000});
  return page.textContent('#message-text');
}

// Opens a page and waits until it has read its values.
async function open(page, name) {
  await page.goto(`${url}/#${name}`);
  await page.locator(`#${name}`).waitFor({state: 'visible'});
  await page.locator('body:not([data-loading])').waitFor({timeout: 40000});
}

async function login(page, password = kPassword) {
  await page.goto(url);
  await page.fill('input[name=passwd]', password);
  await page.click('#login-form button');
  await page.locator('#overview').waitFor({state: 'visible'});
  await page.locator('body:not([data-loading])').waitFor({timeout: 40000});
}

async function axeScan(page) {
  await page.evaluate(axeSource);
  const result = await page.evaluate(async () => {
    const r = await window.axe.run(document, {resultTypes: ['violations']});
    return r.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
      .map((v) => `${v.id} (${v.impact}): ${v.nodes.map((n) => n.target.join(' ')).slice(0, 3).join(', ')}`);
  });
  return result;
}

// Whether the input refuses its value in the browser (nothing is sent).
const invalid = (page, selector) => page.$eval(selector, (e) => !e.checkValidity());

async function newContext(size, extra = {}) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velmar-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: env('VELMAR_CHROMIUM'),
    headless: true,
    acceptDownloads: true,
    viewport: size,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
    ...extra,
  });
  const page = context.pages()[0] || await context.newPage();
  page.on('dialog', (dialog) => dialog.accept());
  page.on('pageerror', (error) => { failures += 1; console.log(`FAIL script error on the page: ${error.message}`); });
  const close = async () => {
    await context.close();
    fs.rmSync(profile, {recursive: true, force: true});
  };
  return {context, page, close};
}

async function firstLoad() {
  const {page, close} = await newContext(kSizes.desktop);
  try {
    const seen = [];
    page.on('requestfinished', (r) => seen.push(r));
    page.on('requestfailed', (r) => seen.push(r));
    await page.goto(url, {waitUntil: 'networkidle'});
    const requests = seen.map((r) => r.url());
    let bytes = 0;
    for (const r of seen) {
      const sizes = await r.sizes();
      bytes += sizes.responseBodySize + sizes.responseHeadersSize;
    }
    console.log(`first load: ${requests.length} requests, ${bytes} bytes (${requests.map((u) => new URL(u).pathname).join(' ')})`);
    check(requests.length <= 8, `${requests.length} requests`);
    check(bytes <= 60 * 1024, `${bytes} bytes`);
    check(!requests.some((u) => !u.startsWith(url) && !u.startsWith('data:')), 'a request left the endpoint');
    check(!requests.some((u) => u.endsWith('/favicon.ico')), 'the browser still asks for /favicon.ico');
  } finally {
    await close();
  }
}

// Every page at one width: values read, no serious accessibility problem, no
// sideways scroll, a screenshot.
async function everyPage(sizeName) {
  const {page, close} = await newContext(kSizes[sizeName]);
  try {
    await page.goto(url);
    await page.locator('#login').waitFor({state: 'visible'});
    const loginProblems = await axeScan(page);
    check(loginProblems.length === 0, `login: ${loginProblems.join('; ')}`);
    await page.screenshot({path: path.join(shots, `login-${sizeName}.png`), fullPage: true});
    await login(page);
    for (const name of kPages) {
      await open(page, name);
      if (name === 'group') await page.locator('#devices tbody tr').first().waitFor({timeout: 40000});
      check(!(await page.locator('#message.error').isVisible()), `${name}: ${await page.textContent('#message')}`);
      check(await page.$eval(`#nav a[href="#${name}"]`, (a) => a.getAttribute('aria-current')) === 'page',
        `${name}: the menu does not mark the current page`);
      const problems = await axeScan(page);
      check(problems.length === 0, `${name}: ${problems.join('; ')}`);
      const sideways = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      check(sideways <= 0, `${name} scrolls sideways by ${sideways} px`);
      await page.screenshot({path: path.join(shots, `${name}-${sizeName}.png`), fullPage: true});
    }
  } finally {
    await close();
  }
}

async function main() {
  await step('the first load stays within 8 requests and 60 KB, no favicon request', firstLoad);
  for (const size of Object.keys(kSizes)) {
    await step(`every page at ${size} width: read, accessible, no sideways scroll, screenshot`,
      () => everyPage(size));
  }

  const {page, context, close} = await newContext(kSizes.desktop);
  try {
    await step('a wrong password is refused with a message', async () => {
      await page.goto(url);
      await page.fill('input[name=passwd]', 'wrong');
      check((await clickForMessage(page, '#login-form button')).includes('Wrong password'), 'no refusal message');
      check(await page.locator('#nav').isHidden(), 'the pages opened without the password');
    });

    await step('the overview shows which endpoint this is, in the header and the title', async () => {
      check((await api(url, {cmdtype: 'deviceconfig', cmdstr: 'setdeviceinfo', alias: 'stage-left'})).status === 200,
        'alias not taken');
      await login(page);
      const address = new URL(url).hostname;
      await waitFor(async () => (await page.textContent('#identity')).includes('stage-left'), 'alias in the header');
      check((await page.textContent('#identity')).includes(address), 'address in the header');
      check((await page.title()).includes('stage-left') && (await page.title()).includes(address), await page.title());
      check((await page.inputValue('#alias-form input[name=alias]')) === 'stage-left', 'alias field empty');
      await waitFor(async () => (await page.textContent('[data-field=armversion]')) === '3.11', 'the version');
    });

    await step('the overview refreshes itself and shows the time', async () => {
      const before = await page.textContent('#refreshed');
      check((await api(url, {cmdtype: 'deviceconfig', cmdstr: 'setdeviceinfo', alias: 'stage-right'})).status === 200,
        'alias not taken');
      await waitFor(async () => (await page.textContent('.facts [data-field=alias]')) === 'stage-right',
        'the new alias on the overview without reloading');
      await waitFor(async () => (await page.textContent('#refreshed')) !== before, 'a new refresh time');
    });

    await step('a button is disabled while its request runs, and "Stored." comes after the read-back', async () => {
      await page.fill('#alias-form input[name=alias]', 'stage-left');
      const disabled = await page.evaluate(() => {
        const button = document.querySelector('#alias-form button');
        button.click();
        return button.disabled;
      });
      check(disabled, 'the button stayed active');
      check((await message(page)).includes('Stored'), await page.textContent('#message'));
      check(await page.isEnabled('#alias-form button'), 'the button stayed disabled');
    });

    await step('the front LED: the overview agrees with what was set', async () => {
      await page.selectOption('#led-form select', 'on');
      const text = await clickForMessage(page, '#led-form button');
      check(text.includes('Stored'), text);
      check((await page.textContent('[data-field=ledflicker]')) === 'flickering', 'the fact line disagrees');
    });

    await step('an auto-logout the device does not keep is reported with the value it holds', async () => {
      await open(page, 'system');
      await page.fill('#logout-form input[name=time]', '1');
      check(await invalid(page, '#logout-form input[name=time]'), '1 minute passes the page');
      // Past the page's own check: the device keeps 5, and the page says so.
      await page.$eval('#logout-form input[name=time]', (e) => { e.removeAttribute('min'); });
      await page.fill('#logout-form input[name=time]', '3');
      const text = await clickForMessage(page, '#logout-form button');
      check(!text.includes('Stored') && text.includes('"5"'), text);
      await page.fill('#logout-form input[name=time]', '17');
      check((await clickForMessage(page, '#logout-form button')).includes('Stored'), 'no confirmation');
      check(readOr(boardFile('var/tmpfs/SavePowerOff.conf')).toString().includes('autolog_time=17'), 'not in the file');
    });

    await step('a page of another origin changes nothing', async () => {
      const property = readOr(boardFile('var/tmpfs/SavePowerOff.conf')).toString();
      const server = http.createServer((request, reply) => {
        reply.writeHead(200, {'Content-Type': 'text/html'});
        reply.end(foreignPage(url));
      });
      await new Promise((done) => server.listen(0, '127.0.0.1', done));
      const foreign = await context.newPage();
      try {
        await foreign.goto(`http://127.0.0.1:${server.address().port}/`);
        await foreign.waitForFunction(() => document.title === 'done', null, {timeout: 20000});
      } finally {
        await foreign.close();
        server.close();
      }
      const now = readOr(boardFile('var/tmpfs/SavePowerOff.conf')).toString();
      check(now === property, `the property file changed from\n${property}\nto\n${now}`);
      check(!fs.existsSync(boardFile('www/tmp/xsite3.html')), 'the upload was stored');
      // The endpoint's own page still stores a setting.
      await open(page, 'system');
      await page.fill('#logout-form input[name=time]', '18');
      check((await clickForMessage(page, '#logout-form button')).includes('Stored'), 'no confirmation');
      await waitFor(() => readOr(boardFile('var/tmpfs/SavePowerOff.conf')).toString().includes('autolog_time=18'),
        'autolog_time=18 in the property file');
    });

    await step('the display page keeps the power-on and power-off texts apart', async () => {
      const base = {cmdtype: 'deviceconfig', cmdstr: 'setrs232cmdstring', rs232speed: '9600', rs232paritybit: 'NONE',
        rs232databit: '8', rs232stopbit: '1', rs232endflg: '3', hexadecimal: '0'};
      check((await api(url, {...base, rs232cmdcontent: 'poweron', rs232cmdstring: 'PWR ON'})).status === 200, 'on');
      await open(page, 'display');
      check((await page.inputValue('#rs232-form input[name=rs232cmdstring]')) === 'PWR ON', 'power-on text');
      await page.selectOption('#rs232-form select[name=rs232cmdcontent]', 'poweroff');
      check((await page.inputValue('#rs232-form input[name=rs232cmdstring]')) === '', 'power-on text under power off');
      check(await page.isDisabled('[data-power=poweroff]'), '"Display off" active with no command stored');
      check(await page.isEnabled('[data-power=poweron]'), '"Display on" disabled with a command stored');
      await page.fill('#rs232-form input[name=rs232cmdstring]', 'PWR OFF');
      check((await clickForMessage(page, '#rs232-form button')).includes('Stored'), 'power-off not stored');
      await waitFor(async () => await page.isEnabled('[data-power=poweroff]'), '"Display off" enabled');
      const prefs = readOr(boardFile('Velmar/etc/Velmar.xml')).toString();
      check(prefs.includes('>PWR ON<') && prefs.includes('>PWR OFF<'), 'the preferences lost a text');
    });

    await step('inputs outside what the device accepts are refused before sending', async () => {
      await open(page, 'display');
      await page.fill('#rs232auto-form input[name=rs232delaycontroltime]', '99999');
      check(await invalid(page, '#rs232auto-form input[name=rs232delaycontroltime]'), 'delay 99999 passes');
      await page.fill('#passthrough-form input[name=contentstr]', 'zz');
      await page.check('#passthrough-form input[name=hex]');
      check(await invalid(page, '#passthrough-form input[name=contentstr]'), 'hex "zz" passes');
      await page.fill('#passthrough-form input[name=contentstr]', '50 4F');
      check(!(await invalid(page, '#passthrough-form input[name=contentstr]')), 'hex "50 4F" refused');
      await open(page, 'video');
      check(await page.$eval('#edid-form [name=edidsetting]', (e) => e.tagName) === 'SELECT', 'EDID is free text');
      await open(page, 'network');
      for (const [field, value] of [['ip4addr', '999.999.999.999'], ['netmask', '255.0.255.0'], ['gateway', '10.0.0']]) {
        await page.fill(`#ip-form input[name=${field}]`, value);
        check(await invalid(page, `#ip-form input[name=${field}]`), `${field} ${value} passes`);
      }
      const calls = readOr(boardFile('var/log/board-calls.log')).toString();
      await page.click('#ip-form button');
      check(readOr(boardFile('var/log/board-calls.log')).toString() === calls, 'a refused address reached the board');
    });

    await step('a file that is not a PNG is refused as the logo', async () => {
      await open(page, 'system');
      const old = readOr(boardFile('www/images/logo.png'));
      const text = path.join(shots, 'notes.png');
      fs.writeFileSync(text, 'just text\n');
      await page.setInputFiles('#logo-form input[type=file]', text);
      check((await clickForMessage(page, '#logo-form button')).includes('not a PNG'), 'no refusal');
      check(readOr(boardFile('www/images/logo.png')).equals(old), 'the logo changed');
    });

    await step('an uploaded logo replaces the old one', async () => {
      const old = readOr(boardFile('www/images/logo.png'));
      const logo = path.join(shots, 'new-logo.png');
      fs.copyFileSync(path.join(shots, 'login-desktop.png'), logo);
      await page.setInputFiles('#logo-form input[type=file]', logo);
      const text = await clickForMessage(page, '#logo-form button');
      check(text.includes('Logo replaced'), text);
      check(readOr(boardFile('www/images/logo.png')).equals(fs.readFileSync(logo)), 'logo.png differs');
      check(readOr(boardFile('www/images/logo_bak.png')).equals(old), 'logo_bak.png is not the old logo');
    });

    await step('a password confirmation that differs sends nothing', async () => {
      await page.fill('#passwd-form input[name=newpasswd]', 'abcd');
      await page.fill('#passwd-form input[name=again]', 'abce');
      await page.click('#passwd-form button');
      check(await invalid(page, '#passwd-form input[name=again]'), 'no mismatch shown');
      check((await api(url, {cmdtype: 'systemconfig', cmdstr: 'verifypasswd', passwd: kPassword})).status === 200,
        'the password changed');
    });

    await step('an upgrade the endpoint refuses is shown with its reason', async () => {
      const image = path.join(shots, 'abc.tar');
      fs.writeFileSync(image, 'short');
      await page.setInputFiles('form[data-board=ARM] input[type=file]', image);
      const text = await clickForMessage(page, 'form[data-board=ARM] button');
      check(text.includes('refused "update"') && text.includes('400'), text);
      check(readOr(boardFile('Velmar/Upgrade/ARM/abc.tar')).toString() === 'short', 'the image did not arrive');
    });

    await step('the EDID is read and downloaded', async () => {
      await open(page, 'video');
      const [download] = await Promise.all([page.waitForEvent('download'), page.click('#edid-read button')]);
      const saved = path.join(shots, 'edid.bin');
      await download.saveAs(saved);
      const edid = fs.readFileSync(saved);
      check(edid.length >= 128 && edid.subarray(0, 8).equals(Buffer.from([0, 255, 255, 255, 255, 255, 255, 0])),
        `not an EDID (${edid.length} bytes)`);
    });

    await step('values that could not be reloaded are marked as not current', async () => {
      await open(page, 'video');
      await page.route('**/action', (route) => route.abort());
      await page.evaluate(() => window.dispatchEvent(new HashChangeEvent('hashchange')));
      await page.locator('#video [aria-invalid=true]').first().waitFor({timeout: 40000});
      check((await message(page)).includes('failed'), 'no message');
      await page.unroute('**/action');
      await page.evaluate(() => window.dispatchEvent(new HashChangeEvent('hashchange')));
      await waitFor(async () => await page.locator('#video [aria-invalid=true]').count() === 0,
        'the marks go with a good reload');
    });

    await step('the group page lists this endpoint and the others when opened, with links', async () => {
      const alias = '<b>peer</b>&"x"';
      check((await api(peerUrl, {cmdtype: 'deviceconfig', cmdstr: 'setdeviceinfo', alias})).status === 200,
        'the peer did not take the alias');
      await open(page, 'group');
      await waitFor(async () => (await page.locator('#devices tbody tr').count()) === 3, 'three rows', 40000);
      const cells = await page.locator('#devices tbody td:first-child').allTextContents();
      check(cells.includes(alias), `aliases ${JSON.stringify(cells)}`);
      check(cells.some((c) => c.includes('this endpoint')), 'this endpoint is missing');
      check(await page.locator('#devices b').count() === 0, 'an alias became markup');
      const links = await page.locator('#devices a').evaluateAll((as) => as.map((a) => a.href));
      check(links.includes(`${peerUrl}/`), `links ${JSON.stringify(links)}`);
    });

    await step('the log page shows a line the test caused within one refresh', async () => {
      await open(page, 'log');
      await page.selectOption('#log-form select[name=level]', '10000');
      await page.locator('body:not([data-loading])').waitFor();
      await tcpLine(url, 'GET MARKER4711');
      await page.click('#log-form button[type=submit], #log-form button:not([type])');
      await waitFor(async () => (await page.textContent('#log-text')).includes('MARKER4711'), 'the marker line', 20000);
      const [download] = await Promise.all([page.waitForEvent('download'), page.click('#log-download')]);
      const saved = path.join(shots, 'log.txt');
      await download.saveAs(saved);
      check(fs.readFileSync(saved, 'utf8').includes('MARKER4711'), 'the download lacks the line');
    });

    await step('on the phone the message shows where the operator is', async () => {
      await page.setViewportSize(kSizes.phone);
      await open(page, 'display');
      await page.locator('#rs232auto-form button').scrollIntoViewIfNeeded();
      await page.fill('#rs232auto-form input[name=rs232delaycontroltime]', '3');
      await clickForMessage(page, '#rs232auto-form button');
      const box = await page.locator('#message').boundingBox();
      check(box && box.y >= 0 && box.y + box.height <= kSizes.phone.height, `message at ${JSON.stringify(box)}`);
      await page.setViewportSize(kSizes.desktop);
    });

    await step('the log-in the device enforces: on, another browser, password change, off', async () => {
      await open(page, 'system');
      await page.selectOption('#weblogin-form select[name=mode]', 'on');
      await page.fill('#weblogin-form input[name=passwd]', kPassword);
      check((await clickForMessage(page, '#weblogin-form button')).includes('now on'), 'not turned on');
      check((await api(url, {cmdtype: 'commconfig', cmdstr: 'getipinfo'})).status === 401, 'API open without session');
      await open(page, 'network');
      check((await page.inputValue('#ip-form input[name=ip4addr]')) !== '', 'the page lost its session');
      const cookies = await context.cookies(url);
      const session = cookies.find((c) => c.name === 'velmar_session');
      check(session && session.httpOnly && session.sameSite === 'Strict', JSON.stringify(cookies));
      check(!(await page.evaluate(() => document.cookie)).includes('velmar_session'), 'the script sees the token');

      const other = await newContext(kSizes.phone);
      try {
        await other.page.goto(`${url}/#overview`);
        await other.page.evaluate(() => sessionStorage.setItem('velmar.auth', '1'));
        await other.page.reload();
        await other.page.locator('#login').waitFor({state: 'visible', timeout: 40000});   // the flag alone opens nothing
        await login(other.page);
        await open(page, 'system');
        await page.fill('#passwd-form input[name=newpasswd]', kPassword);
        await page.fill('#passwd-form input[name=again]', kPassword);
        check((await clickForMessage(page, '#passwd-form button')).includes('Password changed'), 'no change');
        await other.page.goto(`${url}/#network`);
        await other.page.locator('#login').waitFor({state: 'visible', timeout: 40000});
        check((await message(other.page)).includes('session has ended'), 'no explanation in the other browser');
      } finally {
        await other.close();
      }
      await open(page, 'system');
      await page.selectOption('#weblogin-form select[name=mode]', 'off');
      await page.fill('#weblogin-form input[name=passwd]', kPassword);
      check((await clickForMessage(page, '#weblogin-form button')).includes('now off'), 'not turned off');
      check((await api(url, {cmdtype: 'commconfig', cmdstr: 'getipinfo'})).status === 200, 'API still closed');
    });
  } finally {
    await close();
  }

  await step('the automatic log-out is announced a minute before and explained after', async () => {
    check((await api(url, {cmdtype: 'commconfig', cmdstr: 'setautologoutinfo', mode: 'on', time: '5'})).status === 200,
      'logout time');
    const {page: clocked, close: closeClocked} = await newContext(kSizes.desktop);
    try {
      await clocked.clock.install();
      const armed = clocked.waitForResponse((r) => (r.request().postData() || '').includes('getautologoutinfo'));
      await login(clocked);
      await armed;
      await clocked.waitForFunction(() => true);
      await clocked.clock.fastForward('04:01');
      await waitFor(async () => (await clocked.textContent('#message-text')).includes('in one minute'), 'the warning');
      check((await clocked.textContent('#message-action')).includes('Stay logged in'), 'no way to stay');
      await clocked.clock.fastForward('01:00');
      await clocked.locator('#login').waitFor({state: 'visible'});
      check((await message(clocked)).includes('after 5 minutes without activity'), 'no explanation after');
    } finally {
      await closeClocked();
    }
  });

  console.log(failures === 0 ? 'all browser steps passed' : `${failures} browser step(s) failed`);
  process.exit(failures === 0 ? 0 : 1);
}

main().catch((error) => {
  console.log(`FAIL ${error.stack}`);
  process.exit(1);
});
