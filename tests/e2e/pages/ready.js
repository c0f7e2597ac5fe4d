// Frames tell their parent when they have loaded. A frame whose address is
// set by script may still be waiting for its navigation to start when the
// parent's load event fires, so the parent waits for the frames' word too.
if (window.parent !== window) {
  window.addEventListener('load', function() { window.parent.postMessage('frame ready', '*'); });
}
// Runs `then` once this page has loaded and `count` child frames have.
function whenFramesReady(count, then) {
  var waiting = count + 1;
  function one() { if (--waiting === 0) then(); }
  window.addEventListener('message', function(e) { if (e.data === 'frame ready') one(); });
  window.addEventListener('load', one);
}
