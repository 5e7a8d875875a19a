// Draws a run's picture: the expectations, a timeline with a row a unit, the requests a second of
// one unit against its limits, and the failures with their evidence. The report page draws the
// data it holds once; the live page draws each picture the simulator sends, keeping what was
// chosen (rows expanded, the unit of the rate chart). Every text from the run goes in as text,
// never as markup.
function renderRun(run) {
  'use strict';
  const kept = window.report || {};
  const shownRows = 30; // units drawn one a row before the rest are grouped
  const colours = {
    rebooting: '#f4a259', offline: '#9e9e9e', fault: 'rgba(123, 31, 162, 0.25)',
    event: '#333333', failure: '#d50000'
  };

  function element(tag, text, className) {
    const made = document.createElement(tag);
    if (text !== undefined) made.textContent = text;
    if (className) made.className = className;
    return made;
  }

  // The summary and the expectations table.
  document.getElementById('title').textContent = run.title;
  document.title = run.title;
  const failed = run.expectations.filter(e => e.state === 'failed').length;
  const summary = document.getElementById('summary');
  summary.textContent = (failed ? 'FAILED: ' + failed + ' of ' : 'PASSED: ') + run.expectations.length +
    ' expectation' + (run.expectations.length === 1 ? '' : 's') + (failed ? ' failed' : ' held') + '; ' +
    run.unitCount + ' unit' + (run.unitCount === 1 ? '' : 's') + ', ' + run.end + ' s at time scale ' +
    run.timeScale + (run.failures.length ? '; ' + run.failures.length + ' failure' +
    (run.failures.length === 1 ? '' : 's') + ' shown' : '');
  summary.className = failed ? 'failed' : 'passed';
  const table = document.querySelector('#expectations tbody');
  table.replaceChildren();
  for (const e of run.expectations) {
    const row = element('tr');
    row.append(element('td', e.name), element('td', e.state.replace('_', ' ').toUpperCase(), e.state),
               element('td', e.text),
               element('td', e.marginText || '', e.margin && e.margin.fraction < 0.25 ? 'close' : ''),
               element('td', e.reason || e.note || ''));
    table.append(row);
  }

  // Units are named by index; the page lists them in its own order (run.units[k] is at k).
  const positionOf = new Map(run.units.map((u, k) => [u.index, k]));
  const addressOf = index => positionOf.has(index) ? run.units[positionOf.get(index)].address : 'unit ' + index;
  // Rows: units where something failed first, then units an event touched, then the rest.
  const rank = run.units.map(() => 2);
  for (const f of run.failures) if (positionOf.has(f.unit)) rank[positionOf.get(f.unit)] = 0;
  run.units.forEach((u, k) => { if (rank[k] > 1 && (u.states.length || u.faults.length)) rank[k] = 1; });
  for (const e of run.events) {
    if (e.firstUnit === undefined) continue;
    for (let k = e.firstUnit; k <= e.lastUnit && k - e.firstUnit < 1000; ++k)
      if (positionOf.has(k)) rank[positionOf.get(k)] = Math.min(rank[positionOf.get(k)], 1);
  }
  const order = run.units.map((u, k) => k).sort((a, b) => rank[a] - rank[b] || a - b);
  let expanded = !!kept.expanded;
  const bucketS = run.bucketMs / 1000;

  function rows() {
    const shown = expanded || order.length <= shownRows + 1 ? order : order.slice(0, shownRows);
    const labels = shown.map(k => run.units[k].address);
    const grouped = order.length - shown.length + (run.others ? run.others.count : 0);
    if (grouped > 0) labels.push(grouped + ' more unit' + (grouped === 1 ? '' : 's'));
    return { shown, labels, grouped };
  }

  function requestBars(layout) {
    let peak = 1;
    const sums = layout.shown.map(k => run.units[k].requests);
    if (layout.grouped > 0) {
      const rest = [];
      const add = list => list.forEach((n, b) => { rest[b] = (rest[b] || 0) + n; });
      for (const k of order.slice(layout.shown.length)) add(run.units[k].requests);
      if (run.others) add(run.others.requests);
      sums.push(rest);
    }
    sums.forEach(list => list.forEach(n => { if (n > peak) peak = n; }));
    const bars = [];
    sums.forEach((list, row) => list.forEach((n, b) => {
      if (n) bars.push({ x: [b * bucketS, (b + 1) * bucketS], y: layout.labels[row], n, share: n / peak });
    }));
    return bars;
  }

  function spanBars(layout, pick) {
    const bars = [];
    layout.shown.forEach((k, row) => {
      for (const span of pick(run.units[k]))
        bars.push({ x: [span.from, Math.max(span.to, span.from + 0.01)], y: layout.labels[row], span });
    });
    return bars;
  }

  function markers(layout) {
    const rowOf = new Map(layout.shown.map((k, row) => [run.units[k].index, layout.labels[row]]));
    const groupLabel = layout.grouped > 0 ? layout.labels[layout.labels.length - 1] : null;
    const at = unit => rowOf.get(unit) || groupLabel || layout.labels[0];
    const events = run.events.filter(e => e.firstUnit !== undefined)
      .map(e => ({ x: e.at, y: at(e.firstUnit), event: e }));
    const failures = run.failures.map((f, index) => ({ x: f.at, y: f.unit >= 0 ? at(f.unit) : layout.labels[0],
                                                      failure: f, index }));
    return { events, failures };
  }

  const timelineCanvas = document.getElementById('timeline');
  let timeline = null;

  function drawTimeline() {
    const layout = rows();
    const marks = markers(layout);
    document.getElementById('timeline-box').style.height = (60 + 22 * layout.labels.length) + 'px';
    const datasets = [
      { label: 'requests', data: requestBars(layout), grouped: false, barPercentage: 0.35, categoryPercentage: 1,
        backgroundColor: ctx => 'rgba(76, 139, 245, ' + (0.15 + 0.85 * ((ctx.raw && ctx.raw.share) || 0)) + ')' },
      { label: 'fault window', data: spanBars(layout, u => u.faults), grouped: false, barPercentage: 0.9,
        categoryPercentage: 1, backgroundColor: colours.fault },
      { label: 'rebooting', data: spanBars(layout, u => u.states.filter(s => s.state === 'rebooting')),
        grouped: false, barPercentage: 0.6, categoryPercentage: 1, backgroundColor: colours.rebooting },
      { label: 'offline', data: spanBars(layout, u => u.states.filter(s => s.state === 'offline')),
        grouped: false, barPercentage: 0.6, categoryPercentage: 1, backgroundColor: colours.offline },
      { type: 'scatter', label: 'event', data: marks.events, pointStyle: 'triangle', pointRadius: 6,
        pointHoverRadius: 8, backgroundColor: '#ffffff', borderColor: colours.event, clip: false },
      { type: 'scatter', label: 'failure', data: marks.failures, pointStyle: 'crossRot', pointRadius: 9,
        pointHoverRadius: 11, borderWidth: 3, borderColor: colours.failure, backgroundColor: colours.failure,
        clip: false }
    ];
    if (timeline) timeline.destroy();
    if (kept.timeline) kept.timeline.destroy();
    kept.timeline = null;
    timeline = new Chart(timelineCanvas, {
      type: 'bar',
      data: { labels: layout.labels, datasets },
      options: {
        indexAxis: 'y', animation: false, maintainAspectRatio: false, parsing: { xAxisKey: 'x', yAxisKey: 'y' },
        scales: {
          x: { type: 'linear', min: 0, max: run.end, title: { display: true, text: 'scenario seconds' } },
          y: { type: 'category', labels: layout.labels, offset: true }
        },
        plugins: {
          legend: { display: false },
          tooltip: { callbacks: { label: tooltip } }
        },
        onClick: (event, found) => {
          for (const hit of found) {
            const raw = timeline.data.datasets[hit.datasetIndex].data[hit.index];
            if (raw.failure) return showFailure(raw.index);
            if (raw.event) return showEvent(raw.event);
          }
        }
      }
    });
    window.report.timeline = timeline;
    const button = document.getElementById('expand');
    button.hidden = order.length <= shownRows + 1;
    button.textContent = expanded ? 'Group the other units' : 'Show all ' + order.length + ' units';
  }

  function tooltip(item) {
    const raw = item.raw;
    if (raw.failure) return 'FAILED ' + raw.failure.expectation + ': ' + raw.failure.message;
    if (raw.event) return raw.event.at + ' s: ' + raw.event.text;
    if (raw.span) return (raw.span.fault ? 'fault "' + raw.span.fault + '"' : raw.span.state) + ' from ' +
      raw.span.from + ' s to ' + raw.span.to + ' s';
    if (raw.n !== undefined) return raw.n + ' requests from ' + raw.x[0].toFixed(1) + ' s';
    return '';
  }

  const detail = document.getElementById('detail');

  function showFailure(index) {
    const f = run.failures[index];
    detail.replaceChildren(element('h3', 'FAILED ' + f.expectation + ' at ' + f.at + ' s'),
                           element('p', f.message));
    const evidence = element('pre');
    evidence.textContent = f.evidence.join('\n');
    detail.append(element('h4', 'Evidence'), evidence);
    if (f.lines && f.lines.length) {
      detail.append(element('h4', 'Its unit before and after'));
      const lines = element('pre');
      for (const line of f.lines) {
        const text = line.at.toFixed(3).padStart(9) + ' s  ' + line.text;
        lines.append(element('div', text, 'line ' + line.side + (line.text.includes('***') ? ' event' : '')));
      }
      detail.append(lines);
    }
    detail.hidden = false;
    detail.dataset.failure = String(index);
    if (positionOf.has(f.unit)) selectRateUnit(positionOf.get(f.unit));
  }

  function showEvent(e) {
    detail.replaceChildren(element('h3', 'Event at ' + e.at + ' s'), element('p', e.text));
    detail.hidden = false;
    delete detail.dataset.failure;
  }

  const list = document.getElementById('failures');
  list.replaceChildren();
  if (!run.failures.length) list.append(element('li', 'None.'));
  run.failures.forEach((f, index) => {
    const item = element('li', f.at + ' s, ' + (f.unit >= 0 ? addressOf(f.unit) : 'no one unit') +
                         ': ' + f.expectation + ': ' + f.message);
    item.addEventListener('click', () => showFailure(index));
    list.append(item);
  });

  // Requests a second of one unit (in the second up to each moment, as a rate limit counts them),
  // with the per-unit rate limits the run was judged by.
  const select = document.getElementById('rate-unit');
  select.replaceChildren();
  order.forEach(k => select.append(new Option(run.units[k].address, String(k))));
  let rates = null;

  function drawRates(unit) {
    const counts = run.units[unit].requests;
    const second = Math.max(1, Math.round(1 / bucketS)); // buckets in a second
    const points = [];
    let inWindow = 0;
    for (let b = 0; b * bucketS <= run.end; ++b) {
      inWindow += (counts[b] || 0) - (b >= second ? counts[b - second] || 0 : 0);
      points.push({ x: (b + 1) * bucketS, y: inWindow / (second * bucketS) });
    }
    const datasets = [{ label: run.units[unit].address, data: points, borderColor: '#4c8bf5', pointRadius: 0,
                        stepped: true, borderWidth: 1.5 }];
    for (const limit of run.limits) {
      // A back-off limit holds only while the unit is silent: drawn over its outages and reboots.
      const spans = limit.whileSilent ? run.units[unit].states : [{ from: 0, to: run.end }];
      const data = [];
      for (const span of spans)
        data.push({ x: span.from, y: limit.perSecond }, { x: span.to, y: limit.perSecond }, { x: span.to, y: null });
      datasets.push({ label: limit.name + ' (' + limit.perSecond + '/s)', borderColor: '#d50000',
                      borderDash: limit.whileSilent ? [2, 3] : [6, 4], pointRadius: 0, spanGaps: false, data });
    }
    if (rates) rates.destroy();
    if (kept.rates) kept.rates.destroy();
    kept.rates = null;
    window.report.rateUnit = run.units[unit].index;
    rates = new Chart(document.getElementById('rates'), {
      type: 'line', data: { datasets },
      options: { animation: false, maintainAspectRatio: false, parsing: false,
                 scales: { x: { type: 'linear', min: 0, max: run.end, title: { display: true, text: 'scenario seconds' } },
                           y: { beginAtZero: true, title: { display: true, text: 'requests a second' } } } }
    });
    window.report.rates = rates;
  }

  function selectRateUnit(unit) {
    select.value = String(unit);
    drawRates(unit);
  }
  select.onchange = () => drawRates(Number(select.value));

  window.report = { run, order, expanded, timeline: kept.timeline, rates: kept.rates };
  document.getElementById('expand').onclick = () => {
    expanded = window.report.expanded = !expanded;
    drawTimeline();
  };
  drawTimeline();
  if (order.length) {
    const first = run.failures.length && positionOf.has(run.failures[0].unit) ? positionOf.get(run.failures[0].unit)
                                                                              : order[0];
    selectRateUnit(positionOf.has(kept.rateUnit) ? positionOf.get(kept.rateUnit) : first);
  }
  window.report.ready = true;
  window.report.drawnAt = performance.now(); // milliseconds since the page began to load
}

if (document.getElementById('run-data'))
  renderRun(JSON.parse(document.getElementById('run-data').textContent));
