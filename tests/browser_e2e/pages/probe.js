// Loaded by the pages of the control's browser. Each document tells the
// server, every 100 ms, what it looks like now: which document it is, the
// targets of its links and whether its dialogs are the browser's own.
// The hosting page reads these notes through the server.
var instance = String(Math.random()).slice(2, 10);
function note(key, value) {
  var x = new XMLHttpRequest();
  x.open('GET', '/b/note?k=' + encodeURIComponent(key) + '&v=' + encodeURIComponent(value), false);
  try { x.send(); } catch (e) {}
}
function kind(f) { return String(f).indexOf('native code') >= 0 ? 'native' : 'replaced'; }
function state() {
  var targets = [];
  for (var i = 0; i < document.links.length; ++i) targets.push(document.links[i].target || '-');
  return 'doc=' + instance + ' targets=' + targets.join(',') + ' alert=' + kind(window.alert) +
         ' confirm=' + kind(window.confirm) + ' prompt=' + kind(window.prompt);
}
setInterval(function() { note(who, state()); }, 100);
