// The other side of the document benchmark, with Playwright on the same
// Chromium: the 100 fields of form.html filled one by one with fill
// (fill_ms), the 10,000 pieces of the control's long value string as
// 10,000 fill calls (pieces_ms), and the 1,000 links of links.html scanned
// by their text, the matches clicked (links_ms); the 10 photos of 2 MiB of
// photos.html downloaded (side by side, with fetch, into files) and given
// to the file input with setInputFiles (photos_ms), and the files
// downloaded already given again (photos_set_ms).
// Usage: node playwright.cjs BASE_URL RUNS PIECE_RUNS PHOTO_RUNS   (prints the medians)
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require(path.join(process.env.PLAYWRIGHT_DIR, 'node_modules', 'playwright-core'));

async function median(runs, work) {
  await work(0);  // warm-up
  const times = [];
  for (let r = 1; r <= runs; r++) {
    const t0 = performance.now();
    await work(r);
    times.push(performance.now() - t0);
  }
  times.sort((a, b) => a - b);
  return times[times.length >> 1].toFixed(2);
}

(async () => {
  const [base, runs, pieceRuns] = [process.argv[2], Number(process.argv[3] || 20), Number(process.argv[4] || 1)];
  const photoRuns = Number(process.argv[5] || 5);
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
  const fill = async (run, count) => {
    for (let i = 0; i < count; i++) await owner[i % 100].fill(`form[name=big] input[name=f${i % 100}]`, `r${run}v${i}`);
  };
  console.log('fill_ms ' + await median(runs, (r) => fill(r, 100)));
  const last = await owner[99].evaluate(() => document.querySelector('input[name=f99]').value);
  if (last !== `r${runs}v99`) throw new Error('field f99 holds ' + last);
  console.log('pieces_ms ' + await median(pieceRuns, (r) => fill(r, 10000)));

  await page.goto(base + '/links.html', { waitUntil: 'load' });
  const scan = async () => {
    for (const link of await page.$$('a')) if ((await link.innerText()) === 'go') await link.click();
  };
  console.log('links_ms ' + await median(runs, scan));
  const clicks = await page.evaluate(() => window.clicks);
  if (clicks !== 10 * (runs + 1)) throw new Error('the "go" links were clicked ' + clicks + ' times');

  await page.goto(base + '/photos.html', { waitUntil: 'load' });
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'playwright-photos-'));
  const input = 'form[name=photos] input[name=many]';
  const download = (run) => Promise.all(Array.from({ length: 10 }, async (_, i) => {
    const res = await fetch(`${base}/photo/${i}.png?r=${run}`);
    if (!res.ok) throw new Error('photo ' + i + ': HTTP ' + res.status);
    const file = path.join(folder, `${run}-${i}.png`);
    await fs.promises.writeFile(file, Buffer.from(await res.arrayBuffer()));
    return file;
  }));
  let first = null;
  console.log('photos_ms ' + await median(photoRuns, async (r) => {
    const files = await download(r);
    if (r === 0) first = files;
    await page.setInputFiles(input, files);
  }));
  const picked = await page.evaluate(() => window.picked);
  if (picked !== '10 ' + 10 * (2 << 20)) throw new Error('the photo input holds ' + picked);
  console.log('photos_set_ms ' + await median(photoRuns, () => page.setInputFiles(input, first)));
  fs.rmSync(folder, { recursive: true, force: true });
  await browser.close();
})().catch((e) => {
  console.log('error ' + e.message);
  process.exit(1);
});
