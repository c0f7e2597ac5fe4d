// Runs the steps of a hosting page one after another. A step that starts
// load waits (wait() gives the callback JSON of one) goes on when the
// control has called back for all of them; any other step goes on at once.
// Every line the page logs goes to the test server as well, so that it
// falls in one ordered record with what the control's pages report.
var c = new ActiveXObject('WENDEX.WendexCtrl.1');
var site = location.protocol + '//' + location.host + '/site/';
var steps = [], at = 0, waits = 0;
function log(text) {
  console.log(text);
  var x = new XMLHttpRequest();
  x.open('POST', '/rec', false);
  x.send('host ' + text);
}
function step(fn) { steps.push(fn); }
function wait() { waits++; return '{"callback_1":["loaded"],"callback_2":["late"]}'; }
function resume() { if (--waits == 0) next(); }
function loaded() { log('loaded'); resume(); }
function late() { log('late'); resume(); }
function jsonError() { log('jsonError'); }
function load(page) { c.FSetSrc(site + page, wait()); }
// Polls until cond() holds (at most `ms`, 5 s unless given), then logs whether it did.
function until(label, cond, ms) {
  waits++;
  var start = Date.now();
  var timer = setInterval(function() {
    var ok = cond();
    if (!ok && Date.now() - start < (ms || 5000)) return;
    clearInterval(timer);
    log(label + ' ' + (ok ? 'yes' : 'no'));
    resume();
  }, 50);
}
function next() {
  if (waits > 0) return;
  if (at >= steps.length) { console.log('end'); window.close(); return; }
  var fn = steps[at++];
  setTimeout(function() {
    try { fn(); } catch (e) { log('error ' + e.message); }
    next();
  }, 0);
}
function pause(ms) {
  waits++;
  setTimeout(resume, ms);
}
// The control's browser first shows the service's welcome page.
function welcome() {
  until('welcome', function() { return c.FGetSrc().indexOf('/ocx/welcome.html') >= 0 && c.FGetStatue() == 104; });
}
