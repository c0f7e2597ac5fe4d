// The same measures with Playwright driving the same Chromium: its CDP
// screencast (Page.startScreencast through a CDP session, every frame
// acknowledged at once) on the same site at the same size. Playwright has
// no view of its own: "change to paint" is from the change to the arrival of
// the first frame after it (not decoded, not painted); "click to handler" is
// from page.mouse.click() to the site's click handler; the idle CPU is node's
// and the browser's over 10 s with the screencast running.
// Usage: node playwright.js BASE RUNS   (PLAYWRIGHT_DIR: where playwright-core is)
const fs = require('fs');
const path = require('path');
const { chromium } = require(path.join(process.env.PLAYWRIGHT_DIR, 'node_modules', 'playwright-core'));

const now = () => performance.timeOrigin + performance.now();
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
function stats(list) {
  const s = [...list].sort((a, b) => a - b);
  return [s[Math.floor(s.length / 2)], s[Math.min(s.length - 1, Math.floor(s.length * 0.95))]];
}
// CPU seconds of a process and everything below it.
function treeCpu(root) {
  const parent = {}, cpu = {};
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    let stat;
    try { stat = fs.readFileSync('/proc/' + name + '/stat', 'utf8'); } catch (e) { continue; }
    const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    parent[name] = Number(f[1]);
    cpu[name] = (Number(f[11]) + Number(f[12])) / 100;
  }
  let total = 0;
  for (const pid of Object.keys(cpu))
    for (let a = Number(pid); a > 0; a = parent[a] || 0) if (a === root) { total += cpu[pid]; break; }
  return total;
}

(async () => {
  const [base, runs] = [process.argv[2], Number(process.argv[3])];
  const browser = await chromium.launch({
    executablePath: process.env.VELMORA_CHROMIUM || '/usr/lib/chromium/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage({ viewport: { width: 800, height: 600 } });
  await page.goto(base + '/site.html');
  const cdp = await page.context().newCDPSession(page);
  const frames = [];
  cdp.on('Page.screencastFrame', (f) => {
    frames.push(now());
    cdp.send('Page.screencastFrameAck', { sessionId: f.sessionId }).catch(() => {});
  });
  await cdp.send('Page.startScreencast', { format: 'jpeg', quality: 85, everyNthFrame: 1 });
  await sleep(1000);

  const tree0 = treeCpu(process.pid);
  await sleep(10000);
  // treeCpu counts node too (its own pid is the root).
  const idle = (treeCpu(process.pid) - tree0) / 10 * 100;

  const paint = [];
  for (let i = 0; i < runs; ++i) {
    const seen = frames.length;
    const changedAt = await page.evaluate(() => change());
    const limit = Date.now() + 5000;
    while (Date.now() < limit) {
      const next = frames.slice(seen).find((t) => t >= changedAt);
      if (next) { paint.push(next - changedAt); break; }
      await sleep(1);
    }
    await sleep(100);
  }
  const click = [];
  for (let i = 0; i < runs; ++i) {
    const clickedAt = now();
    await page.mouse.click(600, 350);
    click.push((await page.evaluate(() => lastClick)) - clickedAt);
    await sleep(100);
  }
  const [pm, pp] = stats(paint), [cm, cp] = stats(click);
  console.log('change_to_paint_median_ms ' + pm.toFixed(1));
  console.log('change_to_paint_p95_ms ' + pp.toFixed(1));
  console.log('click_to_handler_median_ms ' + cm.toFixed(1));
  console.log('click_to_handler_p95_ms ' + cp.toFixed(1));
  console.log('idle_cpu_percent ' + idle.toFixed(2));
  await browser.close();
})().catch((e) => { console.error(e); process.exit(1); });
