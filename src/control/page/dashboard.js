// The live page: follows the simulator's stream of server-sent events (read through fetch, so
// that the token goes in a header, never in a URL), and shows each unit's state on a grid, the
// run's picture as it grows (drawn by report.js), the expectations as they pass and fail, the
// busiest controllers and the log's newest lines. The token, when one is needed, is asked for
// once and kept for the tab.
(function () {
  'use strict';
  const tokenKey = 'unitsim-control-token';
  const retryMs = 2000;
  const logKept = 500; // lines the tail holds
  const colours = { a: '#66bb6a', o: '#9e9e9e', r: '#f4a259' };
  const stateNames = { a: 'answering', o: 'offline', r: 'rebooting' };
  // What came and how late (milliseconds from the simulator's clock to here), for a look at how
  // the page keeps up.
  const live = { addresses: [], states: '', updates: 0, runs: 0, lines: [], paused: false, missed: 0, bytes: 0,
                 lags: [] };
  window.live = live;

  const connection = document.getElementById('connection');
  const form = document.getElementById('token-form');

  function say(text, state) {
    connection.textContent = text;
    connection.className = state || '';
  }

  function headers() {
    const made = { Accept: 'text/event-stream' };
    const token = sessionStorage.getItem(tokenKey);
    if (token) made.Authorization = 'Bearer ' + token;
    return made;
  }

  form.addEventListener('submit', event => {
    event.preventDefault();
    sessionStorage.setItem(tokenKey, document.getElementById('token').value);
    form.hidden = true;
    connect();
  });

  async function connect() {
    say('Connecting\u2026');
    let answer;
    try {
      answer = await fetch('/api/v1/stream', { headers: headers(), cache: 'no-store' });
    } catch (error) {
      return retry('The simulator cannot be reached (' + error.message + ')');
    }
    if (answer.status === 401) {
      sessionStorage.removeItem(tokenKey);
      form.hidden = false;
      say('This simulator needs its control token.', 'lost');
      return;
    }
    if (!answer.ok) {
      let why = answer.status + ' ' + answer.statusText;
      try { why = (await answer.json()).error || why; } catch (ignored) { /* not JSON */ }
      return retry('The stream was refused: ' + why);
    }
    say('Live', 'live');
    const reader = answer.body.getReader();
    const decoder = new TextDecoder();
    let buffer = '';
    try {
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        live.bytes += value.length;
        buffer += decoder.decode(value, { stream: true });
        let end;
        while ((end = buffer.indexOf('\n\n')) >= 0) {
          dispatch(buffer.slice(0, end));
          buffer = buffer.slice(end + 2);
        }
      }
    } catch (error) {
      return retry('The stream broke off (' + error.message + ')');
    }
    retry('The stream ended');
  }

  function retry(why) {
    say(why + '; trying again in ' + retryMs / 1000 + ' s', 'lost');
    setTimeout(connect, retryMs);
  }

  function dispatch(block) {
    let name = 'message';
    const data = [];
    for (const line of block.split('\n')) {
      if (line.startsWith('event: ')) name = line.slice(7);
      else if (line.startsWith('data: ')) data.push(line.slice(6));
    }
    if (!data.length) return;
    const message = JSON.parse(data.join('\n'));
    if (name === 'units') {
      live.addresses = message.addresses;
    } else if (name === 'update') {
      update(message);
    } else if (name === 'run') {
      live.runs += 1;
      renderRun(message);
      verdicts();
    }
  }

  // The grid: a cell a unit, readable at ten thousand.
  const grid = document.getElementById('unit-grid');
  let cell = 8;
  let columns = 1;

  function drawGrid() {
    const count = live.states.length;
    const width = document.getElementById('grid-box').clientWidth || 800;
    cell = count > 4000 ? 6 : count > 1000 ? 8 : count > 100 ? 12 : 22;
    columns = Math.max(1, Math.floor(width / cell));
    grid.width = Math.min(width, columns * cell);
    grid.height = Math.max(1, Math.ceil(count / columns)) * cell;
    const context = grid.getContext('2d');
    for (let k = 0; k < count; ++k) {
      context.fillStyle = colours[live.states[k]] || '#000';
      context.fillRect((k % columns) * cell, Math.floor(k / columns) * cell, cell - 1, cell - 1);
    }
  }

  grid.addEventListener('mousemove', event => {
    const box = grid.getBoundingClientRect();
    const k = Math.floor((event.clientY - box.top) / cell) * columns + Math.floor((event.clientX - box.left) / cell);
    document.getElementById('unit-hover').textContent = k >= 0 && k < live.states.length
      ? (live.addresses[k] || 'unit ' + k) + ': ' + stateNames[live.states[k]] : '\u00a0';
  });

  function update(message) {
    live.updates += 1;
    live.lags.push(Date.now() - Date.parse(message.time));
    if (live.lags.length > 1000) live.lags.shift();
    live.states = message.states;
    live.last = message;
    const counts = { a: 0, o: 0, r: 0 };
    for (const state of message.states) counts[state] += 1;
    document.getElementById('unit-counts').textContent = message.states.length + ' units: ' + counts.a +
      ' answering, ' + counts.o + ' offline, ' + counts.r + ' rebooting';
    drawGrid();
    const scenario = message.scenario;
    const summary = document.getElementById('summary');
    summary.textContent = scenario.name ? scenario.status + ' (' + scenario.state + ')' : 'No scenario is playing.';
    summary.className = '';
    verdicts();
    peers(message.peers);
    tail(message);
  }

  // The expectations table (drawn with the run's picture) follows each update's verdicts.
  function verdicts() {
    if (!live.last) return;
    const byName = new Map(live.last.expectations.map(e => [e.name, e]));
    for (const row of document.querySelectorAll('#expectations tbody tr')) {
      const e = byName.get(row.cells[0].textContent);
      if (!e) continue;
      row.cells[1].textContent = e.state.replace('_', ' ').toUpperCase() +
        (e.failures ? ' (' + e.failures + ')' : '');
      row.cells[1].className = e.state;
      row.cells[3].textContent = e.margin;
    }
  }

  function peers(list) {
    const body = document.querySelector('#peers tbody');
    body.replaceChildren();
    for (const peer of list) {
      const row = document.createElement('tr');
      for (const value of [peer.peer, peer.requests, peer.maxPerSecond, peer.malformed, peer.units]) {
        const cell = document.createElement('td');
        cell.textContent = String(value);
        row.append(cell);
      }
      body.append(row);
    }
  }

  // The log's tail, filtered here; paused, it stands still and counts what it missed.
  const filters = ['filter-unit', 'filter-command', 'filter-peer', 'filter-direction']
    .map(id => document.getElementById(id));
  filters.forEach(input => input.addEventListener('input', drawLog));
  document.getElementById('pause').addEventListener('click', () => {
    live.paused = !live.paused;
    live.missed = 0;
    document.getElementById('pause').textContent = live.paused ? 'Go on' : 'Pause';
    drawLog();
  });

  function tail(message) {
    if (live.paused) {
      live.missed += message.log.length + message.logSkipped;
      document.getElementById('log-state').textContent = live.missed + ' new lines since the pause';
      return;
    }
    live.lines.push(...message.log);
    if (live.lines.length > logKept) live.lines.splice(0, live.lines.length - logKept);
    document.getElementById('log-state').textContent = message.logSkipped
      ? message.logSkipped + ' lines went by too fast to show' : '';
    drawLog();
  }

  function drawLog() {
    const [unit, command, peer, direction] = filters.map(input => input.value.trim());
    const box = document.getElementById('log');
    const atEnd = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
    box.replaceChildren();
    for (const line of live.lines) {
      if ((unit && line.unit !== unit) || (command && line.command !== command) ||
          (peer && line.peer !== peer) || (direction && line.direction !== direction)) continue;
      const shown = document.createElement('div');
      shown.className = line.direction;
      shown.textContent = line.text;
      box.append(shown);
    }
    if (atEnd && !live.paused) box.scrollTop = box.scrollHeight;
  }

  connect();
})();
