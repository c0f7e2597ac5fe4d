// Velmora's web application for agents. The editor holds one listing; the
// publish view sends it to every site through the publishing control and
// shows each site's progress. Site A is reached by HTTP requests of the
// control (they run in parallel); sites B and C are driven through the
// control's own browser, one after the other, since they share it. Every
// step waits for the control's callback before the next one.
//
// Query: user_name and user_psw (the agent's login); auto=1 publishes the
// sample listing at once and reports each site as console lines, then goes
// to the home page; with retry=1 a failed site is retried once it answers
// again; with hold=1 the final view stays until the service releases it.

var app = {
  query: {},
  config: null,
  ctl: null,
  listing: null,
  runs: {},          // site id -> the site's current run
  browserQueue: [],  // runs waiting for the control's browser
  browserBusy: false,
  pending: {},       // callback token -> what to do with it
  seq: 0,
  refused: false,    // the control called jsonError during the current call
  retried: false
};

// The control's time-outs for requests: connect 5 s, send 10 s, receive 5 s.
var kTimeOut = '10000&5000&10000&10000&5000';
var kNoAnswer = '站点没有应答：连接失败或等待超时';
var kStateText = { waiting: '等待', running: '正在发布', published: '已发布', failed: '失败' };
var kPhotoNames = ['外观', '客厅', '夜景'];

function log(text) { console.log(text); }
function $(id) { return document.getElementById(id); }

function parseQuery() {
  var q = {};
  location.search.replace(/^\?/, '').split('&').forEach(function(piece) {
    if (!piece) return;
    var eq = piece.indexOf('=');
    var name = decodeURIComponent(eq < 0 ? piece : piece.slice(0, eq));
    q[name] = eq < 0 ? '' : decodeURIComponent(piece.slice(eq + 1).replace(/\+/g, ' '));
  });
  return q;
}

function request(method, path, body) {
  var x = new XMLHttpRequest();
  x.open(method, path, false);
  if (body !== undefined) x.setRequestHeader('Content-Type', 'application/x-www-form-urlencoded');
  try { x.send(body === undefined ? null : body); } catch (e) { return { status: 0, text: '' }; }
  return { status: x.status, text: x.responseText };
}

// A method of the client's window.external, or null outside the client.
function external(name) {
  try {
    var ext = window.external;
    if (!ext || typeof ext[name] === 'undefined' || ext[name] === null) return null;
    return function(arg) { return arguments.length ? ext[name](arg) : ext[name](); };
  } catch (e) {
    return null;
  }
}

function showMessage(text) {
  $('message').textContent = text;
  $('message').hidden = !text;
}

// --- Start ------------------------------------------------------------------

window.onload = function() {
  app.query = parseQuery();
  var config = request('GET', '/api/config');
  if (config.status !== 200) return stop('error the service gave no configuration');
  app.config = JSON.parse(config.text);

  // The agent's login, from the start address.
  var user = app.query.user_name || '', password = app.query.user_psw || '';
  var login = request('POST', '/api/login',
                      'user_name=' + encodeURIComponent(user) + '&user_psw=' + encodeURIComponent(password));
  if (login.status !== 200) {
    showMessage('登录失败：用户名或密码错误。');
    $('publish').disabled = true;
    return stop('error login failed');
  }
  $('agent').textContent = '经纪人：' + user;
  var isAutoLogin = external('isAutoLogin');
  if (isAutoLogin && Number(isAutoLogin()) === 1) $('auto-login').hidden = false;

  fillEditor(app.config.sample);
  buildSites();
  $('publish').onclick = function() { publishAll(readEditor()); };
  $('back').onclick = function() { showView('editor'); };

  app.ctl = $('wendex');
  whenControlReady(function(ready) {
    if (!ready) {
      $('control-state').textContent = '发布控件没有加载：请在 Velmora 客户端中打开工作台。';
      $('publish').disabled = true;
      return stop('error the publishing control is missing');
    }
    $('control-state').textContent = '发布控件已就绪。';
    if (app.query.auto) publishAll(readEditor());
  });
};

// The control is there once its methods answer, and ready once its browser
// has shown the welcome page (a wait started earlier could take that page's
// end for the end of a site's page).
function whenControlReady(then) {
  var start = Date.now();
  (function poll() {
    var ctl = app.ctl, has = false, welcomed = false;
    try {
      has = ctl && typeof ctl.FGetSrc !== 'undefined';
      welcomed = has && ctl.FGetSrc().indexOf('/ocx/welcome.html') >= 0 && Number(ctl.FGetStatue()) === 104;
    } catch (e) {}
    var waited = Date.now() - start;
    if (welcomed || (has && waited > 15000)) return then(true);
    if (!has && waited > 5000) return then(false);
    setTimeout(poll, 100);
  })();
}

// An automatic run that cannot start ends at the home page.
function stop(line) {
  log(line);
  if (app.query.auto) setTimeout(goHome, 300);
}

// --- Editor -----------------------------------------------------------------

function fillEditor(listing) {
  var select = $('f-district');
  app.config.districts.forEach(function(d) {
    var o = document.createElement('option');
    o.value = o.textContent = d;
    select.appendChild(o);
  });
  ['title', 'district', 'area', 'price', 'rooms', 'description'].forEach(function(name) {
    $('f-' + name).value = listing[name];
  });
  app.config.photos.forEach(function(url, i) {
    var figure = document.createElement('figure');
    var img = document.createElement('img');
    img.src = url;
    img.alt = kPhotoNames[i];
    var caption = document.createElement('figcaption');
    caption.textContent = kPhotoNames[i];
    figure.appendChild(img);
    figure.appendChild(caption);
    $('photos').appendChild(figure);
  });
}

function readEditor() {
  var listing = { photos: app.config.photos.slice() };
  ['title', 'district', 'area', 'price', 'rooms', 'description'].forEach(function(name) {
    listing[name] = $('f-' + name).value;
  });
  return listing;
}

function showView(name) {
  $('editor-view').hidden = name !== 'editor';
  $('publish-view').hidden = name !== 'publish';
}

// --- Progress view ----------------------------------------------------------

function buildSites() {
  app.config.sites.forEach(function(site) {
    var box = document.createElement('div');
    box.className = 'site';
    box.id = 'site-' + site.id;
    box.innerHTML = '<div class="name"></div><progress max="100" value="0"></progress>' +
        '<div class="line"><span class="state"></span><span class="detail"></span>' +
        '<span class="time"></span><button class="retry" type="button" hidden>重试</button></div>';
    box.querySelector('.name').textContent = site.name;
    var kind = document.createElement('span');
    kind.className = 'kind';
    kind.textContent = site.id === 'a' ? 'HTTP 接口 · GBK' : '由发布控件的浏览器填写';
    box.querySelector('.name').appendChild(kind);
    box.querySelector('.retry').onclick = function() { startSite(site); };
    $('sites').appendChild(box);
  });
}

function render(run) {
  var box = $('site-' + run.site.id);
  box.dataset.state = run.state;
  box.querySelector('progress').value = run.progress;
  box.querySelector('.state').textContent = kStateText[run.state];
  var detail = run.state === 'published' ? '房源编号 ' + run.number : run.state === 'failed' ? run.error : run.step;
  box.querySelector('.detail').textContent = detail || '';
  box.querySelector('.time').textContent = run.seconds !== null ? run.seconds.toFixed(1) + ' 秒' : '';
  box.querySelector('.retry').hidden = run.state !== 'failed';
  $('back').disabled = busy();
}

// What the progress view shows for a site, as one line.
function viewLine(site) {
  var box = $('site-' + site.id);
  return 'view ' + site.id + ' ' + box.querySelector('progress').value + ' ' +
      box.querySelector('.state').textContent + ' | ' + box.querySelector('.detail').textContent +
      ' | retry=' + (box.querySelector('.retry').hidden ? 'hidden' : 'shown');
}

// --- Runs -------------------------------------------------------------------

function publishAll(listing) {
  app.listing = listing;
  app.publishStarted = Date.now();
  $('publish-title').textContent = listing.title;
  showView('publish');
  // Every site waits first, so that none finishing early ends the whole run.
  var runs = app.config.sites.map(newRun);
  runs.forEach(launch);
}

function busy() {
  for (var id in app.runs) {
    var s = app.runs[id].state;
    if (s === 'waiting' || s === 'running') return true;
  }
  return false;
}

// One publication of the listing to one site (the retry button starts another).
function startSite(site) { launch(newRun(site)); }

function newRun(site) {
  var run = { site: site, state: 'waiting', progress: 0, step: '排队等候发布控件的浏览器',
              number: '', error: '', started: 0, seconds: null };
  app.runs[site.id] = run;
  render(run);
  return run;
}

function launch(run) {
  var site = run.site;
  if (site.id === 'a') {
    begin(run);
    publishToA(run);
  } else {
    app.browserQueue.push(run);
    nextInBrowser();
  }
}

function begin(run) {
  run.state = 'running';
  run.started = Date.now();
}

function step(run, progress, text) {
  run.progress = progress;
  run.step = text;
  render(run);
}

function finish(run, number, error) {
  run.state = number ? 'published' : 'failed';
  run.number = number || '';
  run.error = error || '';
  if (number) run.progress = 100;
  run.seconds = (Date.now() - run.started) / 1000;
  render(run);
  notifyPublished(run);
  if (!busy()) allFinished();
}

// The control's browser serves one site at a time. A run hands it back only
// after its last load wait has called back: a wait still running would take
// the next page's end for its own.
function nextInBrowser() {
  if (app.browserBusy || !app.browserQueue.length) return;
  var run = app.browserQueue.shift();
  app.browserBusy = true;
  begin(run);
  var release = function() {
    app.browserBusy = false;
    setTimeout(nextInBrowser, 0);
  };
  (run.site.id === 'b' ? publishToB : publishToC)(run, release);
}

// --- The control's callbacks --------------------------------------------------

function token(then) {
  var t = 't' + (++app.seq);
  app.pending[t] = then;
  return t;
}
function deliver(t, args) {
  var then = app.pending[t];
  delete app.pending[t];
  if (then) then.apply(null, args);
}

// Starts a load wait: start(appendMsg) calls the control's method; then(loaded)
// runs when the control reports whether the next page finished loading.
function loadWait(start, then) {
  var t = token(then);
  return start(JSON.stringify({ callback_1: ['vlmLoaded', t], callback_2: ['vlmLate', t] }));
}
function vlmLoaded(t) { deliver(t, [true]); }
function vlmLate(t) { deliver(t, [false]); }

// One request through the control: then(ok, headers, body).
function httpRequest(method, url, header, body, then) {
  var t = token(then);
  var appendMsg = JSON.stringify({ sComeBack: { fn: 'vlmAnswered', para: [t] },
                                   sTimeOut: { fn: 'vlmNoAnswer', para: [t] } });
  app.refused = false;
  if (method === 'POST') app.ctl.FPostM(url, JSON.stringify(header), body, '0', 1, 0, kTimeOut, appendMsg);
  else app.ctl.FGetM(url, JSON.stringify(header), '0', 1, 0, kTimeOut, appendMsg);
  if (app.refused) deliver(t, [false, '', '']);
}
function vlmAnswered(headers, body, t) { deliver(t, [true, headers, body]); }
function vlmNoAnswer(t) { deliver(t, [false, '', '']); }
// The control refuses a request whose JSON texts do not parse.
function jsonError() {
  app.refused = true;
  log('jsonError');
}

// --- Site A: two requests ------------------------------------------------------

// A value for a form body in the code page: ASCII is escaped, every other
// character goes as it is and the control sends it in the code page (GBK),
// which is how site A reads its forms.
function codePageFormValue(text) {
  return String(text).replace(/[\u0000-\u007f]/g, function(c) {
    if (/[A-Za-z0-9\-_.*]/.test(c)) return c;
    if (c === ' ') return '+';
    var hex = c.charCodeAt(0).toString(16).toUpperCase();
    return '%' + (hex.length < 2 ? '0' : '') + hex;
  });
}

// site A answers "result=ok&number=...&msg=...".
function parseAnswer(text) {
  var answer = {};
  String(text || '').split('&').forEach(function(piece) {
    var eq = piece.indexOf('=');
    if (eq > 0) answer[piece.slice(0, eq)] = piece.slice(eq + 1);
  });
  return answer;
}

function publishToA(run) {
  var site = run.site, account = app.config.account, listing = app.listing;
  step(run, 10, '登录站点');
  var loginUrl = site.api + '/login?user=' + encodeURIComponent(account.user) + '&pwd=' + encodeURIComponent(account.password);
  httpRequest('GET', loginUrl, { arrHeadMessage: ['Accept: text/plain'] }, '', function(ok, headers, body) {
    if (!ok) return finish(run, '', kNoAnswer);
    var answer = parseAnswer(body), cookie = /^Set-Cookie:\s*(asid=[^;\r\n]+)/im.exec(headers);
    if (answer.result !== 'ok' || !cookie) return finish(run, '', '登录失败：' + (answer.msg || '站点没有给出会话'));
    step(run, 50, '提交房源');
    var form = ['title', 'district', 'area', 'price', 'rooms', 'description'].map(function(name) {
      return name + '=' + codePageFormValue(listing[name]);
    }).join('&');
    var header = { arrHeadMessage: ['Cookie: ' + cookie[1], 'Referer: ' + site.web + '/post.html'],
                   Content_Type: 'Content-Type: application/x-www-form-urlencoded; charset=GBK' };
    httpRequest('POST', site.api + '/post', header, form, function(ok, headers, body) {
      if (!ok) return finish(run, '', kNoAnswer);
      var answer = parseAnswer(body);
      if (answer.result === 'ok' && answer.number) finish(run, answer.number);
      else finish(run, '', '站点拒绝了房源：' + (answer.msg || '没有说明原因'));
    });
  });
}

// --- Sites B and C: the control's browser ----------------------------------------

// A value of a form value string: "&" separates its pieces and cannot be
// part of a value, so it travels as the full-width sign.
function pieceValue(text) { return String(text).replace(/&/g, '\uff06'); }

// The listing's number on a site's answer page, or the site's error.
function readAnswerPage(loaded) {
  var source = String(app.ctl.FGetSource());
  var number = /id="listing-number">\s*([^<\s]+)/.exec(source);
  if (number) return { number: number[1] };
  var error = /id="error">([^<]*)</.exec(source);
  if (error && error[1]) return { error: '站点报错：' + error[1] };
  return { error: loaded ? '站点没有给出房源编号' : '提交后的页面没有在 9 秒内打开' };
}

function publishToB(run, release) {
  var ctl = app.ctl, site = run.site, account = app.config.account, listing = app.listing;
  var failWith = function(text) { finish(run, '', text); release(); };
  step(run, 10, '打开登录页');
  loadWait(function(msg) { return ctl.FSetSrc(site.web + '/login', msg); }, function(loaded) {
    if (!loaded) return failWith('登录页没有在 9 秒内打开');
    step(run, 25, '登录');
    if (Number(ctl.FFillForm('login', 'username=' + pieceValue(account.user) + '&password=' + pieceValue(account.password), '')) !== 0)
      return failWith('没有找到登录表单');
    loadWait(function(msg) { return ctl.FClickInput('submit', 'login', '登录', msg); }, function(loaded) {
      if (!loaded || String(ctl.FGetSrc()).indexOf('/member') < 0) {
        var page = readAnswerPage(loaded);
        return failWith('登录失败' + (page.error ? '：' + page.error : ''));
      }
      // The link to the publish page opens a new window; the control's
      // browser opens it in place. Clicked by name: it has no type or value.
      step(run, 40, '打开发布页');
      loadWait(function(msg) { return ctl.FClickInput('NULL', 'newListing', 'NULL', msg); }, function(loaded) {
        if (!loaded || String(ctl.FGetSrc()).indexOf('/publish') < 0) return failWith('发布页没有打开');
        // One value string fills the page's form and the description
        // editor that site A frames inside it.
        step(run, 60, '填写表单');
        var values = [
          'title=' + pieceValue(listing.title), 'district=' + pieceValue(listing.district),
          'area=' + pieceValue(listing.area), 'price=' + pieceValue(listing.price),
          'rooms=' + pieceValue(listing.rooms), 'description=' + pieceValue(listing.description),
          'agree=yes', 'cover=' + listing.photos[0], 'photos=' + listing.photos.slice(1).join('|')
        ].join('&');
        var filled = Number(ctl.FFillForm('post', values, ''));
        // 40: a photo could not be had; the listing is not sent without it.
        if (filled === 40) return failWith('照片无法获取，未提交');
        if (filled !== 0) return failWith('没有找到发布表单');
        step(run, 80, '提交');
        loadWait(function(msg) { return ctl.FClickInput('submit', 'publish', '发布房源', msg); }, function(loaded) {
          var page = readAnswerPage(loaded);
          finish(run, page.number, page.error);
          release();
        });
      });
    });
  });
}

function publishToC(run, release) {
  var ctl = app.ctl, site = run.site, listing = app.listing;
  var failWith = function(text) { finish(run, '', text); release(); };
  step(run, 10, '打开发布页');
  loadWait(function(msg) { return ctl.FSetSrc(site.web + '/', msg); }, function(loaded) {
    if (!loaded) return failWith('发布页没有在 9 秒内打开');
    // The banner's link leads into the site's phone app: the control's
    // browser does not follow it and the page stays.
    step(run, 35, '跳过手机 App 的链接');
    ctl.FClickLink('用手机App发布', '', '');
    step(run, 60, '调用站点的发布函数');
    var args = JSON.stringify({ paramValue: [listing.title, listing.district, listing.area, listing.price,
                                             listing.rooms, listing.description] });
    var status = null;
    loadWait(function(msg) { status = Number(ctl.FCallJSF('', 'publishListing', args, msg)); return status; }, function(loaded) {
      if (status === 26) return failWith('站点没有发布函数 publishListing');
      if (status !== 0) return failWith('站点的发布函数出错（' + status + '）');
      var page = readAnswerPage(loaded);
      finish(run, page.number, page.error);
      release();
    });
  });
}

// --- Notices and the end of a run ---------------------------------------------------

// A published site is told to the agent in the client's popup while the
// window is not in view.
function notifyPublished(run) {
  var pMessage = external('pMessage'), getWindowStatus = external('getWindowStatus');
  if (!pMessage || run.state !== 'published') return;
  if (getWindowStatus && Number(getWindowStatus()) === 1) return;
  pMessage(noticeHtml(run.site.name + ' 已发布', '房源编号 ' + run.number));
}

function noticeHtml(title, text) {
  var esc = function(s) { return String(s).replace(/[&<>"]/g, function(c) { return '&#' + c.charCodeAt(0) + ';'; }); };
  return '<div style="font-family:sans-serif;padding:8px"><b>' + esc(title) + '</b><p>' + esc(text) + '</p></div>';
}

function allFinished() {
  var sites = app.config.sites, published = 0;
  sites.forEach(function(site) {
    var run = app.runs[site.id];
    if (run.state === 'published') published++;
    log('result ' + site.id + ' ' + run.state + ' ' + (run.number || '-') + ' ' + run.seconds.toFixed(1) +
        (run.error ? ' ' + run.error : ''));
  });
  sites.forEach(function(site) { log(viewLine(site)); });
  // The whole run, from the publish button to the last site's outcome.
  log('total ' + ((Date.now() - app.publishStarted) / 1000).toFixed(1));
  var pMessage = external('pMessage');
  if (pMessage) pMessage(noticeHtml('发布完成', '已发布到 ' + published + ' 个站点，共 ' + sites.length + ' 个。'));
  if (app.query.auto) autoNext();
}

// After an automatic run: retry the failed sites once they answer again
// (retry=1), hold the final view (hold=1), then leave for the home page.
function autoNext() {
  var failed = app.config.sites.filter(function(s) { return app.runs[s.id].state === 'failed'; });
  if (app.query.retry && failed.length && !app.retried) {
    app.retried = true;
    return whenSitesAnswer(failed, function(back) {
      if (!back) {
        log('auto retry gave up');
        return autoNext();
      }
      failed.forEach(function(site) {
        log('auto retry ' + site.id);
        $('site-' + site.id).querySelector('.retry').click();
      });
    });
  }
  if (!app.query.hold) return setTimeout(goHome, 500);
  log('auto hold');
  var start = Date.now();
  (function poll() {
    if (request('GET', '/api/auto/released').text === '1' || Date.now() - start > 60000) return goHome();
    setTimeout(poll, 200);
  })();
}

function whenSitesAnswer(sites, then) {
  var start = Date.now();
  (function poll() {
    var states = {};
    try { states = JSON.parse(request('GET', '/api/sites').text); } catch (e) {}
    if (sites.every(function(s) { return states[s.id] === 'running'; })) return then(true);
    if (Date.now() - start > 60000) return then(false);
    setTimeout(poll, 300);
  })();
}

// The home page closes the client; outside it the home page closes the window.
function goHome() {
  log('auto home');
  try { sessionStorage.setItem('velmora.closeOnHome', '1'); } catch (e) {}
  location.replace('/index.html');
}
