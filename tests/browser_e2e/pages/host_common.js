// What the hosting pages share: the control, the server's notes, and the
// callbacks the control calls. Each callback hands its name and arguments
// to the step that waits for it.
var c = new ActiveXObject('WENDEX.WendexCtrl.1');
var base = location.protocol + '//' + location.host;
function log(s) { console.log(s); }
function get(path) {
  var x = new XMLHttpRequest();
  x.open('GET', path, false);
  x.send();
  return x.responseText;
}
// The next note that a document of the control's browser sends.
function noteOf(who) { return get('/b/next?k=' + who); }
function docOf(n) { var m = /doc=(\S+)/.exec(n); return m ? m[1] : n; }
function rest(n) { return n.replace(/^doc=\S+ /, ''); }
function rel(url) { return url.indexOf(base) === 0 ? url.slice(base.length) : url; }
function cbJson(one, two) { return JSON.stringify({callback_1: one, callback_2: two}); }

var waiting = null;
function received(name, args) {
  var w = waiting;
  if (w) w(name, Array.prototype.slice.call(args));
  else log('unexpected ' + name + ' ' + JSON.stringify(Array.prototype.slice.call(args)));
}
function done() { received('done', arguments); }
function late() { received('late', arguments); }
function named() { received('named', arguments); }
function seen() { received('seen', arguments); }
function unseen() { received('unseen', arguments); }
function loaded() { received('loaded', arguments); }
function moved() { received('moved', arguments); }
// Waits for `count` callbacks, then hands them over as [name, args] pairs.
function expect(count, then) {
  var got = [];
  waiting = function(name, args) {
    got.push([name, args]);
    if (got.length === count) { waiting = null; setTimeout(function() { then(got); }, 0); }
  };
}
function show(pair) { return pair[0] + ' ' + JSON.stringify(pair[1]); }
// Loads `path` into the control's browser and goes on once it has loaded.
function load(path, then) {
  expect(1, function(got) {
    if (got[0][0] !== 'loaded') log('load of ' + path + ': ' + show(got[0]));
    then();
  });
  c.FSetSrc(base + path, cbJson(['loaded'], ['late', 'load of ' + path]));
}
// Runs `then` once `test()` holds, polled every 100 ms for at most 10 s.
function when(test, then) {
  var start = Date.now();
  (function poll() {
    if (test() || Date.now() - start > 10000) then(); else setTimeout(poll, 100);
  })();
}
// Steps run one after another; each calls next() when it is through.
function run(steps) {
  var i = 0;
  function next() {
    if (i >= steps.length) { window.close(); return; }
    var s = steps[i++];
    log('step ' + s[0]);
    setTimeout(function() { s[1](next); }, 0);
  }
  next();
}
