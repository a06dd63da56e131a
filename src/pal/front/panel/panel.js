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
  let trayDialog = 0;
  let promptShown = null;    /* the seq of the prompt on screen */
  let sending = Promise.resolve();

  function url(path, extra) {
    return path + '?token=' + encodeURIComponent(token) + (extra || '');
  }

  function showError(text) {
    errorBar.textContent = text;
    errorBar.hidden = false;
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
      field.addEventListener('click', function () { send(dialog, c.id, 'click'); });
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
        /* What the user is typing is not overwritten under their fingers. */
        if (document.activeElement !== e && e.value !== c.text) e.value = c.text;
        if (c.kind === 'combo') {
          const list = e.parentNode.querySelector('select');
          const key = JSON.stringify(c.items);
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
      if (!live[d.dataset.dialog]) d.remove();
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
    if (!state.windows.length) showError('Velmora has no dialog open.');
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
  events.onmessage = function (e) { render(JSON.parse(e.data)); };
  events.onerror = function () {
    if (events.readyState === EventSource.CLOSED) showError('The program has ended or refused this page.');
  };
})();
