// The console page: the game's consoles listed, any number open side by side. Each pane and
// the list talk to quillaret-web over a WebSocket of their own; quillaret-web holds the
// consoles' connections. Messages to it are one letter and a text (see server.cpp).
'use strict';
(function () {
  const MAX_LINES = 10000;     // kept per pane, the oldest dropped first
  const MAX_HISTORY = 500;     // lines of history per template
  const LINE_HEIGHT = 18;      // px, as .line in console.css
  const HISTORY_KEY = 'quillaret-web.history.';
  const base = location.pathname.replace(/[^/]*$/, '');  // "/TOKEN/"
  const socketUrl = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host +
      base + 'ws';

  const $ = (selector, root) => (root || document).querySelector(selector);
  const panes = [];
  let rows = [];
  let lister = null;
  let drawScheduled = false;
  // Figures the browser test reads.
  window.qcStats = { linesReceived: 0, messages: 0, receiveMs: 0, drawMs: 0, draws: 0 };

  function openSocket(first, onMessage, onClose) {
    const socket = new WebSocket(socketUrl);
    socket.onopen = () => socket.send(first);
    socket.onmessage = (event) => onMessage(JSON.parse(event.data));
    socket.onclose = onClose;
    return socket;
  }

  function send(socket, text) {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(text);
  }

  function clock() {
    return new Date().toTimeString().slice(0, 8);
  }

  // ---- the list of consoles

  // What a pane attaches by, and attaches again by after the game restarts: the template name
  // when no other console has it, else the GoID.
  function objectOf(row) {
    return rows.filter((r) => r.name === row.name).length === 1 ? row.name : String(row.goid);
  }

  function showRows(newRows) {
    rows = newRows;
    const body = $('#console-list tbody');
    body.textContent = '';
    for (const row of rows) {
      const tr = document.createElement('tr');
      for (const value of [row.goid, row.name, row.port]) {
        const td = document.createElement('td');
        td.textContent = String(value);
        tr.appendChild(td);
      }
      tr.dataset.object = objectOf(row);
      tr.classList.toggle('open', panes.some((p) => p.port === row.port));
      tr.addEventListener('click', () => openPane(objectOf(row)));
      body.appendChild(tr);
    }
    $('#list-state').textContent = rows.length ? 'as of ' + clock() : 'the game has no consoles';
  }

  function startLister() {
    lister = openSocket('S', (message) => {
      if (message.t === 'hello') {
        $('#where').textContent = 'the consoles of ' + message.host + ', from port ' +
            message.basePort;
      } else if (message.t === 'rows') {
        $('#list-password').hidden = true;
        if (message.rows) {
          showRows(message.rows);
        } else {
          $('#list-state').textContent = message.why === 'refused'
              ? 'the password was refused' : 'no console answers (' + clock() + ')';
        }
      } else if (message.t === 'state' && message.state === 'password') {
        const form = $('#list-password');
        form.hidden = false;
        $('input', form).focus();
      }
    }, () => {
      $('#list-state').textContent = 'quillaret-web is gone: reload the page when it runs again';
    });
  }

  function refreshList() {
    $('#list-state').textContent = 'asking…';
    send(lister, 'R');
  }

  // ---- history, kept in the browser per template

  function loadHistory(key) {
    try {
      const lines = JSON.parse(localStorage.getItem(HISTORY_KEY + key) || '[]');
      return Array.isArray(lines) ? lines.filter((l) => typeof l === 'string') : [];
    } catch (e) {
      return [];
    }
  }

  function remember(key, line) {
    const lines = loadHistory(key).filter((l) => l !== line);
    lines.push(line);
    try {
      localStorage.setItem(HISTORY_KEY + key, JSON.stringify(lines.slice(-MAX_HISTORY)));
    } catch (e) {
      // A full or refused storage costs the history only.
    }
  }

  // ---- panes

  const STATES = {
    looking: () => 'looking it up',
    attached: () => 'attached',
    password: () => 'password asked',
    reconnecting: (m) => 'reconnecting' + (m.retry ? ' in ' + (m.retry / 1000) + ' s' : ''),
    missing: (m) => 'not in the game; again in ' + (m.retry / 1000) + ' s',
    ambiguous: (m) => 'several consoles match; again in ' + (m.retry / 1000) + ' s',
    refused: () => 'password refused',
    left: () => 'left ([quit])',
    gone: () => 'quillaret-web is gone',
  };

  class Pane {
    constructor(object) {
      this.object = object;
      this.historyKey = object;
      this.lines = [];
      this.filter = '';
      this.port = 0;
      this.wasAttached = false;
      this.lost = false;
      this.history = loadHistory(this.historyKey);
      this.historyAt = this.history.length;
      this.element = $('#pane-template').content.firstElementChild.cloneNode(true);
      this.element.dataset.object = object;
      this.output = $('.output', this.element);
      this.spacer = document.createElement('div');
      this.spacer.className = 'spacer';
      this.shown = document.createElement('div');
      this.shown.className = 'shown';
      this.spacer.appendChild(this.shown);
      this.output.appendChild(this.spacer);
      this.view = this.lines;
      this.shownRecords = [];
      this.follow = true;
      this.dirty = false;
      this.input = $('.line', this.element);
      $('.title', this.element).textContent = object;
      $('#panes').appendChild(this.element);
      this.wire();
      this.socket = openSocket('O' + object, (m) => this.received(m), () => {
        if (!this.closed) this.setState({ state: 'gone' });
      });
    }

    wire() {
      $('.close', this.element).addEventListener('click', () => this.close());
      this.output.addEventListener('scroll', () => {
        if (this.output.scrollTop === this.scrolledTo) return;  // draw's own scrolling
        const end = this.output.scrollHeight - this.output.clientHeight;
        this.follow = this.output.scrollTop >= end - LINE_HEIGHT;
        this.dirty = true;
        scheduleDraw();
      });
      $('.filter', this.element).addEventListener('input', (event) => {
        this.filter = event.target.value.toLowerCase();
        this.redraw();
      });
      $('form.input', this.element).addEventListener('submit', (event) => {
        event.preventDefault();
        const line = this.input.value;
        if (line === '') return;
        this.input.value = '';
        const targets = $('#send-all').checked ? panes : [this];
        for (const pane of targets) pane.submit(line);
      });
      this.input.addEventListener('keydown', (event) => this.browseHistory(event));
      const passwordForm = $('form.password', this.element);
      passwordForm.addEventListener('submit', (event) => {
        event.preventDefault();
        const field = $('input', passwordForm);
        send(this.socket, 'P' + field.value);
        field.value = '';
        passwordForm.hidden = true;
        this.input.focus();
      });
    }

    submit(line) {
      send(this.socket, 'L' + line);
      this.history = this.history.filter((l) => l !== line);
      this.history.push(line);
      this.historyAt = this.history.length;
      remember(this.historyKey, line);
    }

    browseHistory(event) {
      if (event.key !== 'ArrowUp' && event.key !== 'ArrowDown') return;
      event.preventDefault();
      const step = event.key === 'ArrowUp' ? -1 : 1;
      this.historyAt = Math.max(0, Math.min(this.history.length, this.historyAt + step));
      this.input.value = this.historyAt < this.history.length ? this.history[this.historyAt] : '';
    }

    received(message) {
      window.qcStats.messages += 1;
      if (message.t === 'lines') {
        const began = performance.now();
        window.qcStats.linesReceived += message.lines.length;
        for (const [stamp, kind, body] of message.lines) this.add(stamp, kind, body);
        window.qcStats.receiveMs += performance.now() - began;
      } else if (message.t === 'state') {
        this.setState(message);
      } else if (message.t === 'note') {
        this.add(clock(), 'note', message.text);
      }
    }

    setState(message) {
      const badge = $('.state', this.element);
      badge.className = 'state ' + message.state;
      badge.textContent = (STATES[message.state] || (() => message.state))(message);
      const passwordForm = $('form.password', this.element);
      passwordForm.hidden = message.state !== 'password';
      if (message.state === 'password') $('input', passwordForm).focus();
      if (message.state === 'attached') {
        const row = message.row;
        this.port = row.port;
        $('.title', this.element).textContent = row.name + ' (GoID ' + row.goid + ', port ' +
            row.port + ')';
        this.add(clock(), 'note', 'attached to ' + row.name + ' on port ' + row.port);
        showRows(message.rows);
        // After a reconnect the game may have changed: the list is asked for again.
        if (this.wasAttached) refreshList();
        this.wasAttached = true;
        this.lost = false;
      } else if (message.state === 'reconnecting' && !this.lost && this.wasAttached) {
        this.lost = true;
        this.add(clock(), 'note', 'the console went away; attaching again by name');
      } else if (message.state === 'left' || message.state === 'refused' ||
                 message.state === 'gone') {
        this.add(clock(), 'note', badge.textContent);
      }
    }

    add(stamp, kind, body) {
      const record = { stamp, kind, body, lower: null };
      this.lines.push(record);
      if (this.filter && this.matches(record)) this.view.push(record);
      // Dropped a thousand at a time, so that a busy console costs one splice per thousand.
      if (this.lines.length > MAX_LINES + 1000) {
        this.lines.splice(0, this.lines.length - MAX_LINES);
        this.refilter();
      }
      this.dirty = true;
      scheduleDraw();
    }

    matches(record) {
      if (!this.filter) return true;
      if (record.lower === null) record.lower = (record.stamp + ' ' + record.body).toLowerCase();
      return record.lower.includes(this.filter);
    }

    refilter() {
      this.view = this.filter ? this.lines.filter((r) => this.matches(r)) : this.lines;
    }

    node(record) {
      const line = document.createElement('div');
      line.className = 'line k-' + record.kind;
      const stamp = document.createElement('span');
      stamp.className = 'stamp';
      stamp.textContent = record.stamp;
      const body = document.createElement('span');
      body.className = 'body';
      body.textContent = record.body;
      line.append(stamp, body);
      return line;
    }

    // Only the lines in sight are in the page: the list is as tall as all of them, and the
    // lines shown are rebuilt when lines arrive or the pane scrolls. A pane that was scrolled
    // to its end follows what arrives.
    draw() {
      if (!this.dirty) return;
      this.dirty = false;
      const view = this.filter ? this.view : this.lines;
      const start = Math.max(0, view.length - MAX_LINES);
      const count = view.length - start;
      this.spacer.style.height = (count * LINE_HEIGHT) + 'px';
      if (this.follow) {
        this.output.scrollTop = count * LINE_HEIGHT;
        this.scrolledTo = this.output.scrollTop;
      }
      const first = Math.max(0, Math.floor(this.output.scrollTop / LINE_HEIGHT) - 5);
      const last = Math.min(count, first + Math.ceil(this.output.clientHeight / LINE_HEIGHT) + 10);
      this.shown.style.top = (first * LINE_HEIGHT) + 'px';
      this.place(view.slice(start + first, start + last));
      this.element.dataset.lines = String(count);
    }

    // Makes the shown lines those of records, keeping the nodes of lines still in sight: a
    // pane that follows a busy console drops a few nodes at the top and adds a few below.
    place(records) {
      const nodes = this.shown.children;
      let kept = 0;
      const at = records.length ? this.shownRecords.indexOf(records[0]) : -1;
      if (at >= 0) {
        for (let i = 0; i < at; ++i) this.shown.firstElementChild.remove();
        this.shownRecords.splice(0, at);
        while (kept < records.length && kept < this.shownRecords.length &&
               this.shownRecords[kept] === records[kept]) ++kept;
      }
      while (nodes.length > kept) this.shown.lastElementChild.remove();
      const fragment = document.createDocumentFragment();
      for (let i = kept; i < records.length; ++i) fragment.appendChild(this.node(records[i]));
      this.shown.appendChild(fragment);
      this.shownRecords = records;
    }

    redraw() {
      this.refilter();
      this.follow = true;
      this.dirty = true;
      this.draw();
    }

    close() {
      this.closed = true;
      send(this.socket, 'Q');
      this.socket.close();
      this.element.remove();
      panes.splice(panes.indexOf(this), 1);
      for (const tr of document.querySelectorAll('#console-list tbody tr')) {
        tr.classList.toggle('open', panes.some((p) => p.object === tr.dataset.object));
      }
    }
  }

  function scheduleDraw() {
    if (drawScheduled) return;
    drawScheduled = true;
    requestAnimationFrame(() => {
      const began = performance.now();
      drawScheduled = false;
      for (const pane of panes) pane.draw();
      window.qcStats.drawMs += performance.now() - began;
      window.qcStats.draws += 1;
    });
  }

  function openPane(object) {
    const open = panes.find((p) => p.object === object);
    if (open) {
      open.input.focus();
      return;
    }
    const pane = new Pane(object);
    panes.push(pane);
    pane.input.focus();
    for (const tr of document.querySelectorAll('#console-list tbody tr')) {
      if (tr.dataset.object === object) tr.classList.add('open');
    }
  }

  $('#refresh').addEventListener('click', refreshList);
  $('#list-password').addEventListener('submit', (event) => {
    event.preventDefault();
    const field = $('input', event.target);
    send(lister, 'P' + field.value);
    field.value = '';
    event.target.hidden = true;
  });
  // Leaving the page leaves every console with [quit] (quillaret-web also does when a
  // pane's socket closes).
  window.addEventListener('pagehide', () => {
    for (const pane of panes) send(pane.socket, 'Q');
  });
  startLister();
})();
