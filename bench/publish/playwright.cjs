// The other side of the publication benchmark: the same three publications
// the web application makes through the control, scripted with Playwright
// on the same Chromium and the same demo sites, step for step. Site A by its
// interface (a login GET, then one form POST in GBK with the same headers);
// site B through its login page, the member page's link (opened in place, as
// the control's browser opens it), the framed publish form with its radios,
// checkbox, the description editor framed from site A and the two photo
// inputs (the photos downloaded from the service first), its alert, confirm
// and unload prompt accepted, the listing number read from the answer page;
// site C by loading it, waiting for its script-built form and calling its
// own publishListing. Site A runs beside B, then C in turn on one page.
//
// Each run gets a fresh velmora-demo (new listing books, new sessions) and a
// fresh browser context; the browser is launched once. The time of a run is
// from the start of the three publications to the last outcome. After each
// run the service's /api/verify must find every site's listing intact.
// Runs one publication for each line read on standard input (the run's
// number), so that the caller can take turns with the client's runs under
// the same load, and answers each with one line: "run N SECONDS" and each
// site's number and seconds from the start to its outcome.
// Usage: node playwright.cjs VELMORA_DEMO
const { spawn, execFileSync } = require('child_process');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const readline = require('readline');
const { chromium } = require(path.join(process.env.PLAYWRIGHT_DIR, 'node_modules', 'playwright-core'));

const kFields = ['title', 'district', 'area', 'price', 'rooms', 'description'];
const kTimeout = 60000;  // only catches a hang

// Starts velmora-demo on free ports; resolves with its addresses and process.
function startDemo(binary) {
  return new Promise((resolve, reject) => {
    const child = spawn(binary, ['--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
    const addresses = { child };
    const timer = setTimeout(() => reject(new Error('velmora-demo did not start')), 20000);
    child.on('exit', (code) => reject(new Error('velmora-demo ended with ' + code)));
    readline.createInterface({ input: child.stdout }).on('line', (line) => {
      const [key, value] = line.split(' ');
      if (key === 'ready') {
        clearTimeout(timer);
        resolve(addresses);
      } else if (value) {
        addresses[key] = value;
      }
    });
  });
}

function stopDemo(demo) {
  demo.child.removeAllListeners('exit');
  demo.child.kill();
}

async function getJson(url) {
  const res = await fetch(url);
  if (!res.ok) throw new Error(url + ': HTTP ' + res.status);
  return res.json();
}

// A form value in the GBK code page, every byte other than the unreserved
// ASCII ones percent-encoded (node has no GBK encoder: iconv converts).
function gbkFormValue(text) {
  const bytes = execFileSync('iconv', ['-f', 'UTF-8', '-t', 'GBK'], { input: Buffer.from(text, 'utf8') });
  let out = '';
  for (const b of bytes) {
    const c = String.fromCharCode(b);
    if (/[A-Za-z0-9\-_.*]/.test(c)) out += c;
    else if (c === ' ') out += '+';
    else out += '%' + b.toString(16).toUpperCase().padStart(2, '0');
  }
  return out;
}

// One HTTP request with exactly the given headers: { status, headers, body }.
function httpRequest(method, url, headers, body) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method, headers }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks) }));
    });
    req.on('error', reject);
    req.setTimeout(kTimeout, () => req.destroy(new Error('no answer from ' + url)));
    req.end(body);
  });
}

// Site A answers "result=ok&number=...&msg=..." (GBK, unescaped): only the
// ASCII fields are read here.
function answerField(body, name) {
  const m = new RegExp('(?:^|&)' + name + '=([^&]*)').exec(body.toString('latin1'));
  return m ? m[1] : '';
}

async function publishToA(config, form) {
  const site = config.sites.find((s) => s.id === 'a');
  const { user, password } = config.account;
  const login = await httpRequest('GET',
      `${site.api}/login?user=${encodeURIComponent(user)}&pwd=${encodeURIComponent(password)}`,
      { Accept: 'text/plain' });
  const cookie = /^(asid=[^;]+)/.exec(String(login.headers['set-cookie'] || ''));
  if (answerField(login.body, 'result') !== 'ok' || !cookie) throw new Error('site A: login failed');
  const post = await httpRequest('POST', site.api + '/post', {
    'Cookie': cookie[1],
    'Referer': site.web + '/post.html',
    'Content-Type': 'application/x-www-form-urlencoded; charset=GBK',
  }, form);
  const number = answerField(post.body, 'number');
  if (answerField(post.body, 'result') !== 'ok' || !number) throw new Error('site A refused: ' + post.body.toString('latin1'));
  return number;
}

// The listing's number on a site's answer page.
async function answerNumber(page, site) {
  const number = (await page.locator('#listing-number').textContent({ timeout: kTimeout })).trim();
  if (!number) throw new Error('site ' + site + ': no listing number');
  return number;
}

async function publishToB(page, config, listing, folder) {
  const site = config.sites.find((s) => s.id === 'b');
  const { user, password } = config.account;
  // Log in.
  await page.goto(site.web + '/login', { waitUntil: 'load' });
  await page.fill('form[name=login] input[name=username]', user);
  await page.fill('form[name=login] input[name=password]', password);
  await Promise.all([page.waitForURL('**/member', { waitUntil: 'load' }), page.click('form[name=login] input[name=login]')]);
  // The publish link opens a new window; it is opened in place, as the
  // control's browser does.
  const link = page.locator('a[name=newListing]');
  await link.evaluate((a) => a.removeAttribute('target'));
  await Promise.all([page.waitForURL('**/publish', { waitUntil: 'load' }), link.click()]);
  // The photos, downloaded from the service side by side, as the control
  // downloads the addresses a fill names.
  const files = await Promise.all(listing.photos.map(async (url, i) => {
    const res = await fetch(url);
    if (!res.ok) throw new Error('photo ' + url + ': HTTP ' + res.status);
    const file = path.join(folder, `${i}-${path.basename(new URL(url).pathname)}`);
    await fs.promises.writeFile(file, Buffer.from(await res.arrayBuffer()));
    return file;
  }));
  // The form, with the description in site A's framed editor.
  const form = 'form[name=post] ';
  await page.fill(form + 'input[name=title]', listing.title);
  await page.check(`${form}input[name=district][value="${listing.district}"]`);
  await page.fill(form + 'input[name=area]', listing.area);
  await page.fill(form + 'input[name=price]', listing.price);
  await page.check(`${form}input[name=rooms][value="${listing.rooms}"]`);
  // A mouse click on the agreement box, below the first screen, does not
  // reach it in this page (Playwright reports that its state did not
  // change); a click event on the element ticks it as the box's own click.
  await page.locator(form + 'input[name=agree]').dispatchEvent('click');
  if (!await page.isChecked(form + 'input[name=agree]')) throw new Error('site B: the agreement is not ticked');
  await page.frameLocator('#description-editor').locator('#editor').fill(listing.description);
  await page.setInputFiles(form + 'input[name=cover]', files[0]);
  await page.setInputFiles(form + 'input[name=photos]', files.slice(1));
  // Submit: the dialogs are accepted by the page's handler; the answer page
  // replaces the form.
  await page.click(form + 'input[name=publish]');
  return answerNumber(page, 'b');
}

async function publishToC(page, config, listing) {
  const site = config.sites.find((s) => s.id === 'c');
  await page.goto(site.web + '/', { waitUntil: 'load' });
  await page.waitForSelector('form[name=listing]', { timeout: kTimeout });
  // The banner's app link is left alone: the control's click on it does not
  // leave the page either.
  const args = kFields.map((name) => listing[name]);
  await Promise.all([
    page.waitForURL('**/publish', { waitUntil: 'load' }),
    page.evaluate((a) => { if (!publishListing(...a)) throw new Error('publishListing refused'); }, args),
  ]);
  return answerNumber(page, 'c');
}

(async () => {
  const binary = process.argv[2];
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'playwright-publish-'));
  let form = null, sample = null;
  for await (const line of readline.createInterface({ input: process.stdin })) {
    const run = line.trim();
    const demo = await startDemo(binary);
    try {
      const config = await getJson(demo.service + '/api/config');
      const listing = { ...config.sample, photos: config.photos };
      // The site A body is made once, in the code page.
      if (form === null) {
        sample = JSON.stringify(config.sample);
        form = kFields.map((name) => name + '=' + gbkFormValue(listing[name])).join('&');
      } else if (JSON.stringify(config.sample) !== sample) {
        throw new Error('the sample listing changed');
      }
      const context = await browser.newContext();
      const page = await context.newPage();
      page.setDefaultTimeout(kTimeout);
      page.on('dialog', (dialog) => dialog.accept());
      const runFolder = fs.mkdtempSync(path.join(folder, 'run-'));

      const t0 = performance.now();
      // Each site's number and the seconds from the start to its outcome.
      const done = (number) => ({ number, seconds: ((performance.now() - t0) / 1000).toFixed(2) });
      const [a, [b, c]] = await Promise.all([
        publishToA(config, form).then(done),
        (async () => {
          const b = done(await publishToB(page, config, listing, runFolder));
          return [b, done(await publishToC(page, config, listing))];
        })(),
      ]);
      const seconds = (performance.now() - t0) / 1000;
      await context.close();

      // Every site holds the listing with every field and photo intact.
      const verify = await (await fetch(demo.service + '/api/verify')).text();
      const intact = verify.split('\n').filter((l) => / intact /.test(l));
      if (intact.length !== 3) throw new Error('run ' + run + ': the sites hold\n' + verify);
      console.log(`run ${run} ${seconds.toFixed(3)}  a ${a.number} ${a.seconds}  b ${b.number} ${b.seconds}  c ${c.number} ${c.seconds}`);
    } finally {
      stopDemo(demo);
    }
  }
  fs.rmSync(folder, { recursive: true, force: true });
  await browser.close();
})().catch((e) => {
  console.error(e && e.stack ? e.stack : String(e));
  process.exit(1);
});
