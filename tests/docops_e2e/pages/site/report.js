// The control's pages tell the test server what they hold, by synchronous
// requests, so that a record is in place when the click that made it returns.
function send(text) {
  var x = new XMLHttpRequest();
  x.open('POST', '/rec', false);
  x.send(text);
}
function where() { return window.name || 'top'; }
function hit(what) { send('hit ' + where() + ' ' + what); return false; }
var map = Array.prototype.map;
var reporters = {
  // Each form: name, action attribute, what it would submit.
  forms: function() {
    return map.call(document.forms, function(f) {
      return f.getAttribute('name') + '[' + (f.getAttribute('action') || '') + '] ' +
             new URLSearchParams(new FormData(f)).toString();
    }).join(' | ');
  },
  // The targets of the links made by "mk".
  targets: function() { return map.call(document.querySelectorAll('a.late'), function(a) { return a.target; }).join(','); },
  // How many elements markup added, and the class of the body's last element.
  body: function() {
    var last = document.body.lastElementChild;
    return document.querySelectorAll('.added').length + ' ' + (last ? last.className : '');
  },
  // Whose before-unload handler the window has.
  unload: function() {
    var f = window.onbeforeunload;
    return f ? (String(f).indexOf('event.returnvalue=null') >= 0 ? 'neutral' : 'own') : 'none';
  }
};
function report(kind) { send(kind + ' ' + where() + ' ' + reporters[kind]()); return false; }
// A link that adds a link opening a new window.
function mk() {
  var a = document.createElement('a');
  a.className = 'late';
  a.href = '#';
  a.target = '_blank';
  a.textContent = 'late';
  document.body.appendChild(a);
  return false;
}
function arm() { window.onbeforeunload = function() { return 'stay'; }; return false; }
