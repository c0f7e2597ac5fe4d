// A page's line to the test: it takes scripts from /cmd, runs them in its
// global scope and posts what they give to /result; log() posts a line to
// /log. Pages of the hosting window and of the control's browser use it
// alike, each under an id of its own.
var channel = {
  id: '',
  log: function(text) {
    var x = new XMLHttpRequest();
    x.open('POST', '/log?c=' + channel.id, true);
    x.send(String(text));
  },
  start: function(id) {
    channel.id = id;
    (function next() {
      fetch('/cmd?c=' + id).then(function(r) { return r.status === 200 ? r.text() : null; }).then(function(script) {
        if (script !== null) {
          var result;
          try { result = String((0, eval)(script)); } catch (e) { result = 'error: ' + e; }
          fetch('/result?c=' + id, {method: 'POST', body: result});
        }
        next();
      }, function() { setTimeout(next, 200); });
    })();
  }
};
