// The operator pages in headless Chromium against velmard on the simulated
// board: log in, change a setting and find it stored, upload a file and find
// it on the board, download the EDID, read the device list of the LAN, and a
// screenshot of each page. A page of another origin (served here) that tries
// to change settings and upload through the operator's browser changes
// nothing. Run by run-browser-test, which sets:
//   VELMAR_URL        the first endpoint's web address
//   VELMAR_PEER_URL   another endpoint's web address
//   VELMAR_BOARD      the first endpoint's board root
//   VELMAR_SHOTS      where the screenshots go
//   VELMAR_CHROMIUM   the browser
'use strict';

const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const {chromium} = require('playwright-core');

const env = (name) => process.env[name] || (() => { throw new Error(`${name} is not set`); })();
const url = env('VELMAR_URL');
const board = env('VELMAR_BOARD');
const shots = env('VELMAR_SHOTS');
const boardFile = (p) => path.join(board, p);

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

async function waitFor(condition, text, ms = 20000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await condition()) return;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`timed out: ${text}`);
}

const readOr = (file) => { try { return fs.readFileSync(file); } catch (e) { return Buffer.alloc(0); } };

async function action(base, vars) {
  const reply = await fetch(`${base}/action`, {method: 'POST', body: new URLSearchParams(vars)});
  return reply.status;
}

// Clicks and returns the message the page shows for it.
async function clickForMessage(page, selector) {
  await page.evaluate(() => { document.querySelector('#message').hidden = true; });
  await page.click(selector);
  return message(page);
}

// Opens a page and waits until it has read its settings.
async function open(page, name) {
  await page.goto(`${url}/#${name}`);
  await page.locator(`#${name}`).waitFor({state: 'visible'});
  await page.locator('body:not([data-loading])').waitFor();
}

async function message(page) {
  const box = page.locator('#message');
  await box.waitFor({state: 'visible'});
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

async function main() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velmar-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: env('VELMAR_CHROMIUM'),
    headless: true,
    acceptDownloads: true,
    viewport: {width: 1100, height: 900},
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  const page = context.pages()[0] || await context.newPage();
  page.on('dialog', (dialog) => dialog.accept());
  page.on('pageerror', (error) => { failures += 1; console.log(`FAIL script error on the page: ${error.message}`); });
  const shot = (name) => page.screenshot({path: path.join(shots, `${name}.png`), fullPage: true});

  try {
    await step('a wrong password is refused with a message', async () => {
      await page.goto(url);
      await shot('login');
      await page.fill('input[name=passwd]', 'wrong');
      check((await clickForMessage(page, '#login-form button')).includes('Wrong password'), 'no refusal message');
      check(await page.locator('#nav').isHidden(), 'the pages opened without the password');
    });

    await step('the right password opens the overview', async () => {
      await page.fill('input[name=passwd]', 'plomb');
      await page.click('#login-form button');
      await page.locator('#overview').waitFor({state: 'visible'});
      await waitFor(async () => (await page.textContent('[data-field=ip4addr]')).length > 0, 'the address');
      await waitFor(async () => (await page.textContent('[data-field=armversion]')) === '3.11', 'the version');
      await shot('overview');
    });

    for (const name of ['network', 'display', 'video']) {
      await step(`the ${name} page reads its settings`, async () => {
        await open(page, name);
        check(!(await page.locator('#message.error').isVisible()), await page.textContent('#message'));
        await shot(name);
      });
    }

    await step('a changed setting is stored', async () => {
      await open(page, 'system');
      await page.fill('#logout-form input[name=time]', '17');
      check((await clickForMessage(page, '#logout-form button')).includes('Stored'), 'no confirmation');
      await waitFor(() => readOr(boardFile('var/tmpfs/SavePowerOff.conf')).toString().includes('autolog_time=17'),
        'autolog_time=17 in the property file');
      await shot('system');
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

    await step('an uploaded logo replaces the old one', async () => {
      const old = readOr(boardFile('www/images/logo.png'));
      const logo = path.join(shots, 'new-logo.png');
      fs.copyFileSync(path.join(shots, 'login.png'), logo);
      await page.setInputFiles('#logo-form input[type=file]', logo);
      const text = await clickForMessage(page, '#logo-form button');
      check(text.includes('Logo replaced'), text);
      check(readOr(boardFile('www/images/logo.png')).equals(fs.readFileSync(logo)), 'logo.png differs');
      check(readOr(boardFile('www/images/logo_bak.png')).equals(old), 'logo_bak.png is not the old logo');
    });

    await step('a file name the endpoint would refuse is reported', async () => {
      const bad = path.join(shots, 'bad name.png');
      fs.copyFileSync(path.join(shots, 'login.png'), bad);
      await page.setInputFiles('#logo-form input[type=file]', bad);
      check((await clickForMessage(page, '#logo-form button')).includes('refuse'), 'no refusal message');
    });

    await step('an upgrade the endpoint refuses is shown with its reason', async () => {
      await open(page, 'system');
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
      check(edid.equals(readOr(boardFile('www/tmp/edid.bin'))), 'differs from the board\'s edid.bin');
    });

    await step('the group search lists the other endpoints, aliases as text', async () => {
      const alias = '<b>peer</b>&"x"';
      check(await action(env('VELMAR_PEER_URL'), {cmdtype: 'deviceconfig', cmdstr: 'setdeviceinfo', alias}) === 200,
        'the peer did not take the alias');
      await open(page, 'group');
      await page.click('#discover');
      await page.locator('#message:not(.busy)').waitFor({state: 'visible', timeout: 30000});
      const rows = await page.locator('#devices tbody tr').allTextContents();
      check(rows.length === 2, `rows ${JSON.stringify(rows)}, message ${await page.textContent('#message')}`);
      const cells = await page.locator('#devices tbody td:first-child').allTextContents();
      check(cells.includes(alias), `aliases ${JSON.stringify(cells)}`);
      check(await page.locator('#devices b').count() === 0, 'an alias became markup');
      await shot('group');
    });
  } finally {
    await context.close();
    fs.rmSync(profile, {recursive: true, force: true});
  }
  console.log(failures === 0 ? 'all browser steps passed' : `${failures} browser step(s) failed`);
  process.exit(failures === 0 ? 0 : 1);
}

main().catch((error) => {
  console.log(`FAIL ${error.stack}`);
  process.exit(1);
});
