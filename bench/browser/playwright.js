// The same work done by Playwright driving the same Chromium: load
// target.html again and again, take the time from each load's end until
// goto() returns, then time reading the address and the cookies.
// Usage: node playwright.js BASE LOADS CALLS   (PLAYWRIGHT_DIR: where playwright-core is)
const path = require('path');
const { chromium } = require(path.join(process.env.PLAYWRIGHT_DIR, 'node_modules', 'playwright-core'));

function median(list) {
  const s = [...list].sort((a, b) => a - b);
  return s[Math.floor(s.length / 2)];
}

(async () => {
  const [base, loads, calls] = [process.argv[2], Number(process.argv[3]), Number(process.argv[4])];
  const browser = await chromium.launch({
    executablePath: process.env.VELMORA_CHROMIUM || '/usr/lib/chromium/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage();
  await page.goto(base + '/ocx/welcome.html');
  const gaps = [];
  for (let i = 0; i < loads; ++i) {
    await page.goto(base + '/target.html?i=' + i, { waitUntil: 'load' });
    const now = Date.now();
    const m = /loadAt=(\d+)/.exec(await page.evaluate(() => document.cookie));
    if (m) gaps.push(now - Number(m[1]));
  }
  console.log('load_to_callback_median_ms ' + median(gaps));
  console.log('load_to_callback_max_ms ' + Math.max(...gaps));
  const perCallUs = async (f) => {
    const t0 = process.hrtime.bigint();
    for (let k = 0; k < calls; ++k) await f();
    return Number(process.hrtime.bigint() - t0) / 1000 / calls;
  };
  console.log('fgetsrc_us ' + (await perCallUs(() => page.evaluate(() => location.href))).toFixed(1));
  console.log('fgetcookie_us ' + (await perCallUs(() => page.evaluate(() => document.cookie))).toFixed(1));
  // Playwright keeps the address on its side: no round trip at all.
  console.log('cached_url_us ' + (await perCallUs(() => page.url())).toFixed(3));
  await browser.close();
})().catch((e) => { console.error(e); process.exit(1); });
