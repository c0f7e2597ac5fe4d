// The other side of the form-filling benchmark: the same 100 fields of
// form.html filled one by one with Playwright's fill, on the same Chromium.
// Usage: node playwright.cjs BASE_URL RUNS   (prints fill_ms, the median)
const path = require('path');
const { chromium } = require(path.join(process.env.PLAYWRIGHT_DIR, 'node_modules', 'playwright-core'));

(async () => {
  const [base, runs] = [process.argv[2], Number(process.argv[3] || 20)];
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage();
  await page.goto(base + '/form.html', { waitUntil: 'load' });
  // The frame that holds each field.
  const owner = [];
  for (const frame of page.frames()) {
    const names = await frame.evaluate(() => Array.from(document.querySelectorAll('form[name=big] input'), (e) => e.name));
    for (const name of names) owner[Number(name.substring(1))] = frame;
  }
  if (owner.filter(Boolean).length !== 100) throw new Error('expected 100 fields, found ' + owner.filter(Boolean).length);
  const fillAll = async (run) => {
    for (let i = 0; i < 100; i++) await owner[i].fill(`form[name=big] input[name=f${i}]`, `r${run}v${i}`);
  };
  await fillAll(0);  // warm-up
  const times = [];
  for (let r = 1; r <= runs; r++) {
    const t0 = performance.now();
    await fillAll(r);
    times.push(performance.now() - t0);
  }
  // The last values are in place.
  const last = await owner[99].evaluate(() => document.querySelector('input[name=f99]').value);
  if (last !== `r${runs}v99`) throw new Error('field f99 holds ' + last);
  times.sort((a, b) => a - b);
  console.log('fill_ms ' + times[times.length >> 1].toFixed(2));
  await browser.close();
})().catch((e) => {
  console.log('error ' + e.message);
  process.exit(1);
});
