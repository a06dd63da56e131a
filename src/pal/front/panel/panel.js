'use strict';
/* The panel's page: draws the program's dialogs from the state it streams,
** and sends every click and edit back as the user's input.  Every request
** carries the token this page was opened with. */
(function () {
  const DUX = 1.75, DUY = 2;
  const token = new URLSearchParams(location.search).get('token') || '';
  const desk = document.getElementById('desk');
  const trayButton = document.getElementById('tray');
  const errorBar = document.getElementById('error');
  const noteBar = document.getElementById('note');
  const serverLine = document.getElementById('server');
  let trayDialog = 0;
  let status = { running: 0, players: [], prompts: [] };    /* the status view last received */
  let lastState = null;
  let ended = false;
  const itemsSeen = {};      /* each combo's list as last drawn, to tell what Add added */
  let promptShown = null;    /* the seq of the prompt on screen */
  let sending = Promise.resolve();

  function url(path, extra) {
    return path + '?token=' + encodeURIComponent(token) + (extra || '');
  }

  function showError(text) {
    errorBar.textContent = text;
    errorBar.hidden = false;
  }

  function note(text) {
    noteBar.textContent = text;
    noteBar.hidden = false;
  }

  /* Inputs go out one after another, in the order the user made them. */
  function post(path, body) {
    sending = sending.then(function () {
      return fetch(url(path), {
        method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body)
      }).then(function (r) {
        if (r.ok) { errorBar.hidden = true; return; }
        return r.json().then(function (j) { showError(j.error || r.statusText); },
                             function () { showError(r.statusText); });
      }, function (e) { showError('The program does not answer: ' + e); });
    });
    return sending;
  }

  function send(dialog, control, input, value) {
    return post('/input', { dialog: dialog, control: control, input: input, value: value == null ? '' : String(value) });
  }

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text != null) e.textContent = text;
    return e;
  }

  function place(e, c) {
    e.style.left = c.x * DUX + 'px';
    e.style.top = c.y * DUY + 'px';
    e.style.width = c.w * DUX + 'px';
    e.style.height = c.h * DUY + 'px';
  }

  function makeControl(dialog, c) {
    let box, field;
    switch (c.kind) {
    case 'group':
      box = el('fieldset');
      box.appendChild(el('legend', null, c.text));
      return box;
    case 'button':
      box = field = el('button', null, c.text);
      field.type = 'button';
      field.addEventListener('click', function () {
        if (dialog === status.connectDialog && c.id === status.connectControl && !status.players.length)
          note('No Roku player has been found yet, so Connect has nothing to launch. A player on this ' +
               'network shows under Roku players once it answers; check that it is on and on the same network.');
        send(dialog, c.id, 'click');
      });
      break;
    case 'check':
      box = el('label', 'check');
      field = el('input');
      field.type = 'checkbox';
      field.addEventListener('click', function () { send(dialog, c.id, 'click'); });
      box.appendChild(field);
      box.appendChild(el('span', null, c.text));
      break;
    case 'edit':
      box = field = el('input');
      field.type = c.password ? 'password' : 'text';
      if (c.limit > 0) field.maxLength = c.limit;
      if (c.number) field.inputMode = 'numeric';
      field.addEventListener('input', function () {
        if (c.number && /\D/.test(field.value)) field.value = field.value.replace(/\D/g, '');
        send(dialog, c.id, 'text', field.value);
      });
      break;
    case 'combo': {
      box = el('div', 'combo');
      field = el('input');
      field.type = 'text';
      if (c.limit > 0) field.maxLength = c.limit;
      const list = el('select');
      list.dataset.list = c.id;
      list.title = 'Choose from the list';
      field.addEventListener('input', function () { send(dialog, c.id, 'text', field.value); });
      field.addEventListener('change', function () { send(dialog, c.id, 'blur'); });
      list.addEventListener('change', function () {
        if (list.value !== '') send(dialog, c.id, 'select', list.value);
        list.value = '';
      });
      box.appendChild(field);
      box.appendChild(list);
      break;
    }
    case 'progress':
      box = field = el('progress');
      break;
    case 'picture':
      box = field = el('div', 'picture', c.text);
      break;
    default:
      if (c.id < 0) return el('label', 'text', c.text);
      box = field = el('div', 'static');
    }
    field.dataset.control = c.id;
    return box;
  }

  function build(w) {
    const d = el('section', 'dialog');
    d.dataset.dialog = w.dialog;
    d.style.width = w.width * DUX + 'px';
    const bar = el('div', 'titlebar');
    bar.appendChild(el('span', 'caption', w.caption));
    const min = el('button', null, '_');
    min.type = 'button';
    min.title = 'Minimize';
    min.dataset.minimize = '';
    min.addEventListener('click', function () { send(w.dialog, 0, 'minimize'); });
    const close = el('button', null, '\u2715');
    close.type = 'button';
    close.title = 'Close';
    close.dataset.close = '';
    close.addEventListener('click', function () { send(w.dialog, 0, 'close'); });
    bar.appendChild(min);
    bar.appendChild(close);
    const client = el('div', 'client');
    client.style.height = w.height * DUY + 'px';
    w.controls.forEach(function (c) {
      const e = makeControl(w.dialog, c);
      place(e, c);
      /* Where the controls flow (a phone), a label starts a new row. */
      if (c.id < 0 && c.kind === 'static') client.appendChild(el('span', 'row'));
      client.appendChild(e);
    });
    d.appendChild(bar);
    d.appendChild(client);
    return d;
  }

  function update(w, d) {
    d.querySelector('.caption').textContent = w.caption;
    w.controls.forEach(function (c) {
      if (c.id < 0) return;
      const e = d.querySelector('[data-control="' + c.id + '"]');
      if (!e) return;
      switch (c.kind) {
      case 'edit':
      case 'combo':
        /* A prompt is shown as one, so typing replaces it; what the user
        ** is typing is not overwritten under their fingers. */
        const prompt = status.prompts.indexOf(c.text) >= 0;
        const value = prompt ? '' : c.text;
        e.placeholder = prompt ? c.text.trim() : '';
        if (document.activeElement !== e && e.value !== value) e.value = value;
        if (c.kind === 'combo') {
          const list = e.parentNode.querySelector('select');
          const key = JSON.stringify(c.items);
          tellChange(d.dataset.dialog + ':' + c.id, c.items);
          if (list.dataset.items !== key) {
            list.dataset.items = key;
            list.textContent = '';
            const none = el('option', null, '');
            none.value = '';
            list.appendChild(none);
            c.items.forEach(function (item, i) {
              const o = el('option', null, item);
              o.value = String(i);
              list.appendChild(o);
            });
            list.value = '';
          }
        }
        break;
      case 'check':
        e.checked = !!c.check;
        break;
      case 'progress':
        e.max = Math.max(1, c.hi - c.lo);
        e.value = Math.max(0, c.pos - c.lo);
        break;
      case 'picture':
        break;
      default:
        if (e.textContent !== c.text) e.textContent = c.text;
      }
    });
  }

  /* Says what a combo's list gained or lost since it was last drawn, as an
  ** Add or Delete does. */
  function tellChange(key, items) {
    const before = itemsSeen[key];
    itemsSeen[key] = items.slice();
    if (!before) return;
    const added = items.filter(function (i) { return before.indexOf(i) < 0; });
    const removed = before.filter(function (i) { return items.indexOf(i) < 0; });
    if (added.length === 1) note('Added \u201c' + added[0] + '\u201d.');
    else if (removed.length === 1 && !added.length) note('Removed \u201c' + removed[0] + '\u201d.');
  }

  function veil(inner) {
    const v = el('div', 'veil');
    v.appendChild(inner);
    return v;
  }

  function messageBox(p) {
    const box = el('div', 'box');
    box.dataset.msgbox = '';
    box.setAttribute('role', 'alertdialog');
    const bar = el('div', 'titlebar');
    bar.appendChild(el('span', null, p.caption));
    box.appendChild(bar);
    box.appendChild(el('div', 'body', p.text));
    const buttons = el('div', 'buttons');
    const ok = el('button', null, 'OK');
    ok.type = 'button';
    ok.dataset.msgboxOk = '';
    ok.addEventListener('click', function () { post('/answer', { prompt: p.seq, button: 1 }); });
    buttons.appendChild(ok);
    box.appendChild(buttons);
    setTimeout(function () { ok.focus(); }, 0);
    return veil(box);
  }

  function parentOf(path) {
    const cut = path.replace(/\/+$/, '').lastIndexOf('/');
    return cut <= 0 ? '/' : path.slice(0, cut);
  }

  function joinPath(dir, name) {
    return dir.replace(/\/+$/, '') + '/' + name;
  }

  /* The picker: a browser of the machine's folders (and files, when asked);
  ** the field holds the choice, which the user may also type. */
  function picker(p) {
    const box = el('div', 'box picker');
    box.dataset.picker = '';
    const bar = el('div', 'titlebar');
    bar.appendChild(el('span', null, p.text));
    box.appendChild(bar);
    const body = el('div', 'body');
    const place = el('div', 'place');
    const list = el('ul');
    const field = el('input');
    field.type = 'text';
    field.dataset.pickerPath = '';
    body.appendChild(place);
    body.appendChild(list);
    body.appendChild(field);
    box.appendChild(body);
    const buttons = el('div', 'buttons');
    const ok = el('button', null, 'OK');
    ok.type = 'button';
    ok.dataset.pickerOk = '';
    ok.addEventListener('click', function () { post('/answer', { prompt: p.seq, button: 1, path: field.value }); });
    const cancel = el('button', null, 'Cancel');
    cancel.type = 'button';
    cancel.dataset.pickerCancel = '';
    cancel.addEventListener('click', function () { post('/answer', { prompt: p.seq, button: 2, path: '' }); });
    buttons.appendChild(ok);
    buttons.appendChild(cancel);
    box.appendChild(buttons);

    function open(path) {
      fetch(url('/folder', '&path=' + encodeURIComponent(path))).then(function (r) {
        return r.json().then(function (j) {
          if (!r.ok) { showError(j.error || r.statusText); return; }
          place.textContent = j.path;
          field.value = j.path;
          list.textContent = '';
          const up = el('li', 'folder', '..');
          up.dataset.entry = '..';
          up.addEventListener('click', function () { open(parentOf(j.path)); });
          list.appendChild(up);
          j.entries.sort(function (a, b) {
            return (b.folder - a.folder) || (a.name < b.name ? -1 : a.name > b.name ? 1 : 0);
          }).forEach(function (e) {
            if (e.name.charAt(0) === '.') return;
            const li = el('li', e.folder ? 'folder' : 'file', e.name);
            li.dataset.entry = e.name;
            li.addEventListener('click', function () {
              if (e.folder) { open(joinPath(j.path, e.name)); return; }
              list.querySelectorAll('.chosen').forEach(function (x) { x.classList.remove('chosen'); });
              li.classList.add('chosen');
              field.value = joinPath(j.path, e.name);
            });
            list.appendChild(li);
          });
        });
      }, function (e) { showError(String(e)); });
    }
    open('');
    return veil(box);
  }

  function render(state) {
    lastState = state;
    const live = {};
    const shown = state.windows.filter(function (w) { return w.shown; });
    state.windows.forEach(function (w) {
      live[w.dialog] = true;
      let d = desk.querySelector('[data-dialog="' + w.dialog + '"]');
      if (!d) {
        d = build(w);
        desk.appendChild(d);
      }
      update(w, d);
      d.hidden = !w.shown;
      /* Only the newest dialog takes input, as a modal dialog does. */
      d.inert = state.prompts.length > 0 || w !== shown[shown.length - 1];
      d.classList.toggle('over', shown.indexOf(w) > 0);
    });
    desk.querySelectorAll('[data-dialog]').forEach(function (d) {
      if (!live[d.dataset.dialog]) {
        d.remove();
        Object.keys(itemsSeen).forEach(function (k) { if (k.split(':')[0] === d.dataset.dialog) delete itemsSeen[k]; });
      }
    });
    const inTray = state.windows.filter(function (w) { return w.tray; });
    trayButton.hidden = inTray.length === 0;
    trayDialog = inTray.length ? inTray[0].dialog : 0;

    const p = state.prompts.length ? state.prompts[state.prompts.length - 1] : null;
    const seq = p ? p.seq : null;
    if (seq !== promptShown) {
      document.querySelectorAll('.veil').forEach(function (v) { v.remove(); });
      if (p) document.body.appendChild(p.kind === 'box' ? messageBox(p) : picker(p));
      promptShown = seq;
    }
    if (!state.windows.length) setEnded(true);
    showImport();
  }

  /* After Exit (or while the program cannot be reached) the page offers
  ** nothing live; it comes back by itself if the program does. */
  function setEnded(on) {
    ended = on;
    document.body.classList.toggle('ended', on);
    document.querySelectorAll('#desk button, #desk input, #desk select, #status button, #tray').forEach(function (b) {
      b.disabled = on;
    });
    showServer();
  }

  function showServer() {
    serverLine.className = ended ? 'ended' : status.running ? '' : 'stopped';
    serverLine.textContent = ended ? 'Velmora has ended. Start it again on the machine it runs on, then reload this page.'
      : status.running ? 'The server is running: the players can reach it.'
      : 'The server is stopped: press Start to serve the players.';
  }

  function item(what, small) {
    const li = el('li');
    const span = el('span', 'what', what);
    if (small) { span.appendChild(document.createTextNode(' ')); span.appendChild(el('small', null, small)); }
    li.appendChild(span);
    return li;
  }

  /* Draws one list of the view from its entries, only when they changed,
  ** so that a button is not replaced under the user's finger. */
  function fill(name, entries, make, none) {
    const list = document.querySelector('[data-status="' + name + '"]');
    const key = JSON.stringify(entries);
    if (list.dataset.key === key) return;
    list.dataset.key = key;
    list.textContent = '';
    if (!entries.length) list.appendChild(el('li', 'none', none));
    entries.forEach(function (e) { list.appendChild(make(e)); });
  }

  function line(text) { return el('li', null, text); }

  function action(path, body, done) {
    fetch(url(path), { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) })
      .then(function (r) {
        return r.json().then(function (j) { note(r.ok ? done : j.error || r.statusText); });
      }, function (e) { showError('The program does not answer: ' + e); });
  }

  function seen(seconds) {
    return seconds < 60 ? 'within the last minute' : Math.floor(seconds / 60) + ' min ago';
  }

  function renderStatus(s) {
    status = s;
    showServer();
    fill('players', s.players.map(function (p) {
      return { address: p.address, name: p.name, when: seen(p.seen) };
    }), function (p) {
      const li = item(p.name || 'Roku player', p.address + ', heard ' + p.when);
      li.dataset.player = p.address;
      const b = el('button', null, 'Launch');
      b.type = 'button';
      b.dataset.launch = '';
      b.title = 'Start the Velmora channel on this player';
      b.addEventListener('click', function () {
        action('/launch', { player: p.address }, 'The channel was launched on ' + (p.name || p.address) + '.');
      });
      li.appendChild(b);
      return li;
    }, 'No Roku player found yet.');
    fill('devices', s.devices, function (d) { return item(d); }, 'None heard yet.');
    fill('streams', s.streams, function (t) {
      const li = item(t.movie.split(/[\\/]/).pop() || 'stream ' + t.number,
                      t.segments + ' segments made, VLC ' + (t.vlc ? 'running' : 'not running'));
      li.dataset.stream = t.number;
      const b = el('button', null, 'Stop');
      b.type = 'button';
      b.dataset.stop = '';
      b.addEventListener('click', function () { action('/stop', { stream: t.number }, 'Live stream ' + t.number + ' stopped.'); });
      li.appendChild(b);
      return li;
    }, 'No live stream.');
    fill('folders', s.folders, function (f) {
      const li = item(f.title, f.path + ' \u2014 ' + (f.reachable ? f.files + (f.more ? '+' : '') + (f.files === 1 ? ' file' : ' files')
                                                                    : 'cannot be read'));
      li.dataset.folder = f.title;
      if (!f.reachable) li.classList.add('bad');
      return li;
    }, 'No folder shared yet: Options, Title Bar, Add.');
    fill('requests', s.requests, line, 'None yet (listed while the Access Log is on in Options).');
    fill('trace', s.trace, line, 'None (listed while the Trace is on in Options).');
    if (ended) setEnded(true);
    if (lastState) render(lastState);
  }

  /* The import moves the main dialog's progress bar. */
  function showImport() {
    const box = document.querySelector('[data-status="import"]');
    const main = lastState && lastState.windows.filter(function (w) { return w.dialog === status.connectDialog; })[0];
    const bar = main && main.controls.filter(function (c) { return c.kind === 'progress'; })[0];
    const busy = bar && bar.pos > bar.lo && bar.pos < bar.hi;
    box.textContent = '';
    if (!busy) { box.appendChild(el('span', 'none', 'Nothing being imported.')); return; }
    const p = el('progress');
    p.max = bar.hi - bar.lo;
    p.value = bar.pos - bar.lo;
    box.appendChild(p);
    box.appendChild(el('small', null, Math.round(100 * p.value / p.max) + '%'));
  }

  trayButton.addEventListener('click', function () { if (trayDialog) send(trayDialog, 0, 'restore'); });

  /* A new token: the old address (in links, bookmarks, the journal) stops
  ** working, and this page moves to the new one. */
  document.getElementById('renew').addEventListener('click', function () {
    if (!window.confirm('Give the panel a new address? Links and bookmarks to this one stop working.')) return;
    fetch(url('/renew'), { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{}' })
      .then(function (r) { return r.json(); })
      .then(function (j) {
        if (j.token) location.replace(location.pathname + '?token=' + encodeURIComponent(j.token));
        else showError(j.error || 'The address was not renewed.');
      }, function (e) { showError('The program does not answer: ' + e); });
  });

  const events = new EventSource(url('/events'));
  events.onmessage = function (e) { setEnded(false); render(JSON.parse(e.data)); };
  events.addEventListener('status', function (e) { renderStatus(JSON.parse(e.data)); });
  events.onerror = function () {
    setEnded(true);
    if (events.readyState === EventSource.CLOSED) showError('The program has ended or refused this page.');
  };
})();
