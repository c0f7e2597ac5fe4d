// Logs this document's hooks: its before-unload handler, the extra script's
// mark and the targets of its links.
function report() {
  var where = window === window.top ? 'top' : 'frame ' + window.name;
  var handler = window.onbeforeunload;
  var targets = [];
  for (var i = 0; i < document.links.length; i++) targets.push(document.links[i].target || '(none)');
  console.log(where + ': onbeforeunload ' + typeof handler +
              (String(handler).indexOf('event.returnvalue=null') >= 0 ? ' clears returnvalue' : '') +
              ', extra ' + window.extraRan + ', targets ' + targets.join(' '));
}
