// The console page: the game's consoles listed, any number open side by side. Each pane and
// the list talk to quillaret-web over a WebSocket of their own; quillaret-web holds the
// consoles' connections, the history and the words Tab completes from. Every message either
// way is a JSON object with its kind in "t" (web/messages.h).
'use strict';
(function () {
  const MAX_LINES = 10000;     // kept per pane, the oldest dropped first
  const LINE_HEIGHT = 18;      // px a row, as .line in console.css
  const STAMP_COLUMNS = 9;     // "HH:MM:SS "
  const ECHO_COLUMNS = 2;      // the "> " before an own line
  const INPUT_HINT = 'script line (\u2191/\u2193 history, Tab completes)';
  const TO_ALL_HINT = 'to ALL open panes: script line';
  const base = location.pathname.replace(/[^/]*$/, '');  // "/TOKEN/"
  const socketUrl = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host +
      base + 'ws';

  const $ = (selector, root) => (root || document).querySelector(selector);
  const panes = [];
  window.qcPanes = panes;  // for the browser test
  let rows = [];
  let lister = null;
  let drawScheduled = false;
  // Figures the browser test reads.
  window.qcStats = {
    linesReceived: 0, messages: 0, receiveMs: 0, drawMs: 0, draws: 0, completions: 0,
  };

  function openSocket(first, onMessage, onClose) {
    const socket = new WebSocket(socketUrl);
    socket.onopen = () => socket.send(JSON.stringify(first));
    socket.onmessage = (event) => onMessage(JSON.parse(event.data));
    socket.onclose = onClose;
    return socket;
  }

  function send(socket, message) {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
  }

  function clock() {
    return new Date().toTimeString().slice(0, 8);
  }

  // ---- the list of consoles

  // How a pane is named on the page: the template name when no other console has it and it is
  // shown as it is, else the GoID. A pane is opened by the GoID; quillaret-web attaches again
  // by the template name after the game restarts.
  function objectOf(row) {
    return row.exact && rows.filter((r) => r.name === row.name).length === 1
        ? row.name : String(row.goid);
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
      tr.addEventListener('click', () => openPane(objectOf(row), row.goid));
      body.appendChild(tr);
    }
    $('#list-state').textContent = rows.length ? 'as of ' + clock() : 'the game has no consoles';
  }

  // The password form: shown when asked, saying so when the last password was wrong.
  function askPassword(form, message, label) {
    form.hidden = false;
    form.classList.toggle('again', !!message.again);
    $('.ask', form).firstChild.textContent = message.again ? 'wrong password, try again ' : label;
    $('input', form).focus();
  }

  function startLister() {
    lister = openSocket({ t: 'list' }, (message) => {
      if (message.t === 'hello') {
        $('#where').textContent = 'the consoles of ' + message.host + ', from port ' +
            message.basePort;
      } else if (message.t === 'rows') {
        $('#list-password').hidden = true;
        if (message.rows) {
          showRows(message.rows);
        } else {
          $('#list-state').textContent = 'no console answers (' + clock() + ')';
        }
      } else if (message.t === 'state' && message.state === 'password') {
        askPassword($('#list-password'), message, 'The consoles ask for a password');
      } else if (message.t === 'state' || message.t === 'error') {
        $('#list-state').textContent = message.text || message.state;
      }
    }, () => {
      $('#list-state').textContent = 'quillaret-web is gone: reload the page when it runs again';
    });
  }

  function refreshList() {
    $('#list-state').textContent = 'asking…';
    send(lister, { t: 'refresh' });
  }

  // "send to all open panes": every input says where its line goes.
  function markTargets() {
    const all = $('#send-all').checked;
    $('#send-all').parentElement.classList.toggle('on', all);
    for (const pane of panes) {
      pane.input.classList.toggle('to-all', all);
      pane.input.placeholder = all ? TO_ALL_HINT : INPUT_HINT;
    }
  }

  // The longest beginning that all the words share.
  function commonStart(words) {
    let common = words[0] || '';
    for (const word of words) {
      while (!word.startsWith(common)) common = common.slice(0, -1);
    }
    return common;
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
    full: () => 'not opened',
    left: () => 'left ([quit])',
    gone: () => 'quillaret-web is gone',
  };

  class Pane {
    constructor(object, goid) {
      this.object = object;
      this.lines = [];
      this.filter = '';
      this.port = 0;
      this.wasAttached = false;
      this.lost = false;
      // The template's history, as quillaret-web keeps it (shared with quillaret-attach): asked
      // again whenever ↑ starts a walk through it, so lines typed elsewhere are there too.
      this.history = [];
      this.historyAt = 0;
      this.historyStep = 0;
      this.historyAsked = false;
      this.completing = null;
      this.wrap = true;
      this.offsets = [0];      // rows before each line of the view
      this.columns = 0;
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
      const first = goid === undefined ? { t: 'open', object } : { t: 'open', goid };
      this.socket = openSocket(first, (m) => this.received(m), () => {
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
      $('.wrap', this.element).addEventListener('change', (event) => {
        this.wrap = event.target.checked;
        this.output.classList.toggle('one-line', !this.wrap);
        this.redraw();
      });
      // A pane whose width changes wraps its lines anew.
      new ResizeObserver(() => {
        this.relayout();
        this.dirty = true;
        scheduleDraw();
      }).observe(this.output);
      $('form.input', this.element).addEventListener('submit', (event) => {
        event.preventDefault();
        const line = this.input.value;
        if (line === '') return;
        this.input.value = '';
        const targets = $('#send-all').checked ? panes : [this];
        for (const pane of targets) pane.submit(line);
      });
      this.input.addEventListener('keydown', (event) => {
        if (event.key === 'Tab') this.complete(event);
        this.browseHistory(event);
      });
      const passwordForm = $('form.password', this.element);
      passwordForm.addEventListener('submit', (event) => {
        event.preventDefault();
        const field = $('input', passwordForm);
        send(this.socket, { t: 'password', text: field.value });
        field.value = '';
        passwordForm.hidden = true;
        this.input.focus();
      });
    }

    submit(line) {
      send(this.socket, { t: 'line', text: line });
      this.history.push(line);
      this.historyAt = this.history.length;
    }

    browseHistory(event) {
      if (event.key !== 'ArrowUp' && event.key !== 'ArrowDown') return;
      event.preventDefault();
      const step = event.key === 'ArrowUp' ? -1 : 1;
      if (this.historyAsked || (this.historyAt >= this.history.length && step < 0)) {
        // A new walk: the history is asked for, and the steps taken when it comes.
        this.historyStep += step;
        if (!this.historyAsked) send(this.socket, { t: 'history' });
        this.historyAsked = true;
        return;
      }
      this.stepHistory(step);
    }

    stepHistory(step) {
      this.historyAt = Math.max(0, Math.min(this.history.length, this.historyAt + step));
      this.input.value = this.historyAt < this.history.length ? this.history[this.historyAt] : '';
    }

    // Tab: quillaret-web offers the words the template's console and history have shown that
    // may end the text before the cursor; one is put in, several give their common start and
    // are listed.
    complete(event) {
      event.preventDefault();
      const before = this.input.value.slice(0, this.input.selectionStart);
      this.completing = { value: this.input.value, at: before.length };
      send(this.socket, { t: 'complete', text: before });
    }

    completed(message) {
      window.qcStats.completions += 1;
      const asked = this.completing;
      this.completing = null;
      if (!asked || asked.value !== this.input.value) return;
      const words = message.candidates;
      const insert = words.length === 1 ? words[0] : commonStart(words);
      const stem = message.stem;
      if (insert.length > stem.length) {
        const value = asked.value;
        this.input.value = value.slice(0, asked.at - stem.length) + insert + value.slice(asked.at);
        const cursor = asked.at - stem.length + insert.length;
        this.input.setSelectionRange(cursor, cursor);
      } else if (words.length > 1) {
        this.add(clock(), 'note', words.join('  '));
      }
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
      } else if (message.t === 'error') {
        this.add(clock(), 'error', message.text);
      } else if (message.t === 'history') {
        this.historyAsked = false;
        this.history = message.lines;
        this.historyAt = this.history.length;
        const step = this.historyStep;
        this.historyStep = 0;
        if (step) this.stepHistory(step);
      } else if (message.t === 'completion') {
        this.completed(message);
      }
    }

    setState(message) {
      const badge = $('.state', this.element);
      badge.className = 'state ' + message.state;
      badge.textContent = (STATES[message.state] || (() => message.state))(message);
      const passwordForm = $('form.password', this.element);
      passwordForm.hidden = message.state !== 'password';
      if (message.state === 'password') askPassword(passwordForm, message, 'Password ');
      if (message.state === 'attached') {
        const row = message.row;
        this.port = row.port;
        $('.title', this.element).textContent = row.name + ' (GoID ' + row.goid + ', port ' +
            row.port + ')';
        this.add(clock(), 'note', 'attached to ' + row.name + ' on port ' + row.port);
        // The listing the attach found or confirmed: after a restart it is the new game's, and
        // asking again would call on a console with every developer there watching.
        showRows(message.rows);
        this.wasAttached = true;
        this.lost = false;
      } else if (message.state === 'reconnecting' && !this.lost && this.wasAttached) {
        this.lost = true;
        this.add(clock(), 'note', 'the console went away; attaching again by name');
      } else if (message.state === 'left' || message.state === 'refused' ||
                 message.state === 'gone') {
        this.add(clock(), 'note', badge.textContent);
      } else if (message.state === 'full') {
        this.add(clock(), 'error', message.text);
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
        this.offsets = [0];
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
      this.relayout();
    }

    node(record) {
      const line = document.createElement('div');
      line.className = 'line k-' + record.kind;
      const stamp = document.createElement('span');
      stamp.className = 'stamp';
      stamp.textContent = record.stamp + ' ';
      const body = document.createElement('span');
      body.className = 'body';
      body.textContent = record.body;
      line.append(stamp, body);
      return line;
    }

    // The rows a line takes: one, or when wrapped, its columns over the pane's (the font is
    // monospace and lines break at any character).
    rowsOf(record) {
      if (!this.wrap) return 1;
      const columns = STAMP_COLUMNS + record.body.length +
          (record.kind === 'echo' ? ECHO_COLUMNS : 0);
      return Math.max(1, Math.ceil(columns / this.columns));
    }

    // The columns of the output, measured with the pane's own font.
    measure() {
      const probe = document.createElement('span');
      probe.className = 'line';
      probe.style.position = 'absolute';
      probe.style.visibility = 'hidden';
      probe.style.whiteSpace = 'pre';  // one row, however narrow the pane
      probe.textContent = '0'.repeat(100);
      this.output.appendChild(probe);
      const width = probe.getBoundingClientRect().width / 100;
      probe.remove();
      const style = getComputedStyle(this.output);
      const inner = this.output.clientWidth - parseFloat(style.paddingLeft) -
          parseFloat(style.paddingRight);
      return Math.max(1, Math.floor(inner / (width || 8)));
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
      // The rows before each line, taken further as lines arrive.
      const offsets = this.offsets;
      for (let i = offsets.length - 1; i < view.length; ++i) {
        offsets.push(offsets[i] + this.rowsOf(view[i]));
      }
      const base = offsets[start];
      const rowCount = offsets[view.length] - base;
      this.spacer.style.height = (rowCount * LINE_HEIGHT) + 'px';
      if (this.follow) {
        this.output.scrollTop = rowCount * LINE_HEIGHT;
        this.scrolledTo = this.output.scrollTop;
      }
      // The first line in sight: the last one whose rows begin at or above the top.
      const top = base + Math.floor(this.output.scrollTop / LINE_HEIGHT);
      let low = start;
      let high = view.length;
      while (low < high) {
        const mid = (low + high + 1) >> 1;
        if (offsets[mid] <= top) low = mid; else high = mid - 1;
      }
      const first = Math.max(start, low - 5);
      const bottom = top + Math.ceil(this.output.clientHeight / LINE_HEIGHT) + 10;
      let last = first;
      while (last < view.length && offsets[last] < bottom) ++last;
      this.shown.style.top = ((offsets[first] - base) * LINE_HEIGHT) + 'px';
      this.place(view.slice(first, last));
      this.element.dataset.lines = String(count);
    }

    // The rows are counted anew: the view, the width or the wrapping changed.
    relayout() {
      this.columns = this.measure();
      this.offsets = [0];
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
      send(this.socket, { t: 'quit' });
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

  function openPane(object, goid) {
    const open = panes.find((p) => p.object === object);
    if (open) {
      open.input.focus();
      return;
    }
    const pane = new Pane(object, goid);
    panes.push(pane);
    markTargets();
    pane.relayout();
    pane.input.focus();
    for (const tr of document.querySelectorAll('#console-list tbody tr')) {
      if (tr.dataset.object === object) tr.classList.add('open');
    }
  }

  $('#refresh').addEventListener('click', refreshList);
  $('#send-all').addEventListener('change', markTargets);
  $('#list-password').addEventListener('submit', (event) => {
    event.preventDefault();
    const field = $('input', event.target);
    send(lister, { t: 'password', text: field.value });
    field.value = '';
    event.target.hidden = true;
  });
  // Leaving the page leaves every console with [quit] (quillaret-web also does when a
  // pane's socket closes).
  window.addEventListener('pagehide', () => {
    for (const pane of panes) send(pane.socket, { t: 'quit' });
  });
  startLister();
})();
