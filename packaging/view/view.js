"use strict";
// The records page: finds the instruments in nginx's JSON listing of the
// records folder (files of one board, or one folder per board on the
// fleet's central host), reads with Range requests only what a chart needs
// of their files, then only the bytes added since, and marks an instrument
// silent once its last record is older than three periods.
(() => {
  const R = TorvexRecords;
  const RECORDS = "records/";
  const RANGES = {hora: R.HOUR, dia: R.DAY, mes: 31 * R.DAY};
  // Each range is drawn once its last hour, then its last day, is in.
  const STAGES = [R.HOUR, R.DAY, 31 * R.DAY];
  const FIRST_READ = 16384;  // bytes from a file's end before its pace is known
  const SILENT_PERIODS = 3;
  const LIST_EVERY_MS = 30000;
  const FIELD_NAMES = "-campos.txt";
  const EXACT_UP_TO = 5000;  // records a chart draws each as a point
  // Bytes map one to one to characters, so that offsets in the text are
  // offsets in the file whatever bytes an instrument sends.
  const bytesToText = new TextDecoder("windows-1252");
  const COLORS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf",
                  "#8c564b", "#e377c2"];

  const page = {
    range: RANGES[location.hash.slice(1)] ? location.hash.slice(1) : "dia",
    generation: 0,
    instruments: new Map(),  // "BOARD/NAME" or "NAME": instrument
    listedAt: 0,
    bytesFetched: 0,
  };

  class HttpError extends Error {}

  async function get(url, range) {
    const headers = range ? {Range: range} : {};
    const response = await fetch(url, {headers: headers, cache: "no-store"});
    if (!response.ok && response.status !== 416) {
      throw new HttpError(url + ": HTTP " + response.status);
    }
    return response;
  }

  // {start, text, total} of the bytes of url that range names: "bytes=A-",
  // "bytes=A-B" or "bytes=-N"; start null when there are none (HTTP 416).
  async function readBytes(url, range) {
    const response = await get(url, range);
    const bytes = new Uint8Array(await response.arrayBuffer());
    page.bytesFetched += bytes.length;
    const found = /bytes (\d+|\*)-?\d*\/(\d+)/.exec(response.headers.get("Content-Range") || "");
    if (response.status === 416) {
      return {start: null, text: "", total: found ? Number(found[2]) : 0};
    }
    if (response.status === 206) {
      return {start: Number(found[1]), text: bytesToText.decode(bytes), total: Number(found[2])};
    }
    // A whole file where a part was asked for: the part is cut out of it.
    const [, first, last] = /bytes=(\d*)-(\d*)/.exec(range);
    const start = first === "" ? Math.max(0, bytes.length - Number(last)) : Number(first);
    const end = first !== "" && last !== "" ? Number(last) + 1 : bytes.length;
    const text = bytesToText.decode(bytes.subarray(start, end));
    return {start: start, text: text, total: bytes.length};
  }

  // ---- the instruments, from the listing

  async function listing(path) {
    const response = await get(RECORDS + path);
    return response.json();
  }

  // Files at the top are one board's; each folder at the top is a board of the fleet.
  async function listInstruments() {
    page.listedAt = Date.now();
    const top = await listing("");
    const folders = [["", top]];
    const failed = [];
    for (const entry of top) {
      if (entry.type !== "directory") continue;
      try {
        folders.push([entry.name, await listing(encodeURIComponent(entry.name) + "/")]);
      } catch (error) {
        failed.push(error.message);
      }
    }
    showError(failed.join("; "));
    const seen = new Set();
    for (const [board, entries] of folders) {
      const prefix = board ? encodeURIComponent(board) + "/" : "";
      const names = new Set(entries.filter(e => e.type === "file").map(e => e.name));
      for (const entry of entries) {
        const file = entry.type === "file" && R.parseFileName(entry.name);
        if (!file) continue;
        const key = board ? board + "/" + file.instrument : file.instrument;
        let instrument = page.instruments.get(key);
        if (!instrument) {
          instrument = newInstrument(key, board, file.instrument, prefix);
          page.instruments.set(key, instrument);
        }
        seen.add(key);
        file.name = entry.name;
        file.url = RECORDS + prefix + encodeURIComponent(entry.name);
        instrument.files.set(entry.name, file);
        instrument.hasNames = names.has(file.instrument + FIELD_NAMES);
      }
    }
    placeCards();
    for (const key of seen) {
      const instrument = page.instruments.get(key);
      if (!instrument.started) {
        instrument.started = true;
        loadRange(instrument, page.generation);
      }
    }
  }

  function newInstrument(key, board, name, prefix) {
    return {
      key: key, board: board, name: name, prefix: prefix,
      files: new Map(),     // file name: {name, url, start, end, daily}
      segments: new Map(),  // file name: {file, lo, hi, rows, trimmed}
      positions: null, names: {}, hasNames: false, namesRead: false,
      last: null, records: 0, period: null, bytesPerMs: null, from: 0,
      complete: false, busy: false, replaced: false, nextPoll: 0, error: null, drawn: [],
      card: null, charts: null, window: null, zoomed: false, started: false,
    };
  }

  function filesNewestFirst(instrument) {
    return [...instrument.files.values()].sort((a, b) => b.start - a.start);
  }

  // ---- reading a file's bytes into rows

  // Whole lines of text read from start: the rows, the offsets of the first
  // whole line and of the end of the last one.
  function wholeLines(instrument, text, start, fromFileStart) {
    const first = fromFileStart ? 0 : text.indexOf("\n") + 1;
    const end = text.lastIndexOf("\n") + 1;
    const rows = [];
    const day = {};
    if (end > first) {
      const lines = text.slice(first, end - 1).split("\n");
      for (const line of lines) {
        const parsed = R.parseLine(line, day);
        if (!parsed) continue;
        if (!instrument.positions) instrument.positions = R.numericPositions(parsed.record);
        rows.push(R.rowOf(parsed.t, parsed.record, instrument.positions));
        if (!instrument.last || parsed.t >= instrument.last.t) instrument.last = parsed;
      }
    }
    return {rows: rows, lo: start + first, hi: start + end};
  }

  // The last bytes of a file: the whole file when it lies within the goal,
  // else what the instrument's pace says the time back to the goal takes.
  async function readTail(instrument, file, goal) {
    let range = "bytes=0-";
    if (file.start < goal) {
      const need = instrument.bytesPerMs
        ? Math.ceil((Math.min(Date.now(), file.end) - goal) * instrument.bytesPerMs * 1.05) + 2048
        : FIRST_READ;
      range = "bytes=-" + need;
    }
    const got = await readBytes(file.url, range);
    if (got.start === null) return {file: file, lo: 0, hi: 0, rows: [], trimmed: false};
    // Read from its start, a file begins with a whole line.
    const lines = wholeLines(instrument, got.text, got.start, got.start === 0);
    const segment = {file: file, lo: lines.lo, hi: lines.hi, rows: lines.rows, trimmed: false};
    pace(instrument, segment);
    return segment;
  }

  // More of a segment's file before what it holds, about back to the goal.
  async function readBack(instrument, segment, goal) {
    let need = FIRST_READ;
    const earliest = segment.rows.length ? segment.rows[0][0] : null;
    if (earliest !== null && instrument.bytesPerMs) {
      need = Math.ceil((earliest - goal) * instrument.bytesPerMs * 1.05) + 2048;
    } else {
      need = Math.max(FIRST_READ, 2 * (segment.hi - segment.lo));
    }
    const lo = segment.lo;
    need = Math.max(need, 4096);
    for (;;) {
      const start = Math.max(0, lo - need);
      const got = await readBytes(segment.file.url, "bytes=" + start + "-" + (lo - 1));
      // Another read of this segment came first: this one's bytes are its.
      if (segment.lo !== lo) return;
      const lines = wholeLines(instrument, got.text, start, start === 0);
      if (lines.lo < lo) {
        segment.rows = lines.rows.concat(segment.rows);
        segment.lo = lines.lo;
        pace(instrument, segment);
        return;
      }
      need *= 4;  // a line longer than what was read
    }
  }

  // The bytes a millisecond of records takes, from the largest read so far.
  function pace(instrument, segment) {
    const rows = segment.rows;
    if (rows.length < 2) return;
    const span = rows[rows.length - 1][0] - rows[0][0];
    if (span > 0 && (!instrument.paceSpan || span >= instrument.paceSpan)) {
      instrument.paceSpan = span;
      instrument.bytesPerMs = (segment.hi - segment.lo) / span;
    }
  }

  // What was added to a segment's file since it was last read; true if any.
  async function readForward(instrument, segment) {
    const hi = segment.hi;
    const got = await readBytes(segment.file.url, "bytes=" + hi + "-");
    if (segment.hi !== hi) return false;  // another read of this segment came first
    if (got.start === null) {
      // Shorter than what was read: the file was replaced, its segment goes.
      if (got.total < segment.hi) {
        instrument.segments.delete(segment.file.name);
        instrument.replaced = true;
      }
      return false;
    }
    const lines = wholeLines(instrument, got.text, got.start, true);
    segment.rows = segment.rows.concat(lines.rows);
    segment.hi = lines.hi;
    return lines.rows.length > 0;
  }

  // ---- loading a range, following the files that grow

  function goalReached(segment, goal) {
    return segment.lo === 0 || (segment.rows.length && segment.rows[0][0] <= goal);
  }

  async function loadBack(instrument, goal, generation) {
    for (const file of filesNewestFirst(instrument)) {
      if (file.end <= goal || generation !== page.generation) break;
      let segment = instrument.segments.get(file.name);
      if (segment && segment.trimmed) segment = null;
      if (!segment) {
        segment = await readTail(instrument, file, goal);
        instrument.segments.set(file.name, segment);
      }
      while (!goalReached(segment, goal) && generation === page.generation) {
        await readBack(instrument, segment, goal);
      }
      if (segment.lo > 0) break;
    }
  }

  async function readFieldNames(instrument) {
    instrument.namesRead = true;
    if (!instrument.hasNames) return;
    const url = RECORDS + instrument.prefix + encodeURIComponent(instrument.name + FIELD_NAMES);
    instrument.names = R.parseFieldNames(await (await get(url)).text());
  }

  async function loadRange(instrument, generation) {
    instrument.complete = false;
    instrument.drawn = [];
    instrument.busy = true;
    try {
      if (!instrument.namesRead) await readFieldNames(instrument);
      const now = Date.now();
      instrument.from = now - RANGES[page.range];
      for (const span of STAGES) {
        const goal = Math.max(instrument.from, now - span);
        await loadBack(instrument, goal, generation);
        if (generation !== page.generation) return;
        draw(instrument);
        instrument.drawn.push({goal: goal, at: performance.now()});
        if (goal === instrument.from) break;
      }
      instrument.complete = true;
      instrument.error = null;
    } catch (error) {
      instrument.error = error.message;
    } finally {
      instrument.busy = false;
      showStatus(instrument);
    }
  }

  // The files that may still grow: the one whose period holds now, any later
  // one (from a clock that was set ahead for a while), and an earlier one till
  // an hour past its end. Each is read from where it was left, a new one from
  // its start; true if records came.
  async function readLiveFiles(instrument) {
    let more = false;
    for (const file of filesNewestFirst(instrument)) {
      if (file.end <= Date.now() - R.HOUR) break;
      if (!instrument.segments.has(file.name)) {
        instrument.segments.set(file.name, {file: file, lo: 0, hi: 0, rows: [], trimmed: false});
      }
      more = (await readForward(instrument, instrument.segments.get(file.name))) || more;
    }
    return more;
  }

  // How often the files that may grow are read: half a period, between 1 and 10 s.
  function pollInterval(instrument) {
    return Math.min(10000, Math.max(1000, (instrument.period || 2000) / 2));
  }

  async function poll(instrument) {
    if (!instrument.segments.size || instrument.busy || !instrument.complete) return;
    instrument.busy = true;
    try {
      instrument.replaced = false;
      const more = await readLiveFiles(instrument);
      if (instrument.replaced) {
        // A file shorter than what was read was replaced: read as on a new range.
        await loadRange(instrument, page.generation);
      } else if (more) {
        draw(instrument);
      }
      showStatus(instrument);
      instrument.error = null;
    } catch (error) {
      instrument.error = error.message;
    } finally {
      instrument.busy = false;
    }
  }

  function tick() {
    const now = Date.now();
    let relist = now - page.listedAt > LIST_EVERY_MS;
    for (const instrument of page.instruments.values()) {
      if (now >= instrument.nextPoll) {
        instrument.nextPoll = now + pollInterval(instrument);
        poll(instrument);
      }
      // A new day's or month's file is due: look for it (at most every 5 s).
      const newest = filesNewestFirst(instrument)[0];
      if (newest && now >= newest.end && now - page.listedAt > 5000) relist = true;
      showStatus(instrument);
    }
    if (relist) listInstruments().catch(error => showError(error.message));
  }

  // ---- drawing

  function chartRows(instrument) {
    const segments = [...instrument.segments.values()].sort((a, b) => a.file.start - b.file.start);
    let rows = [];
    for (const segment of segments) {
      // Rows long out of the range are let go; the file is read again if needed.
      const keep = segment.rows.findIndex(row => row[0] >= instrument.from);
      if (keep < 0 && segment.file.end <= instrument.from) {
        instrument.segments.delete(segment.file.name);
        continue;
      }
      if (keep > 1000 && keep > segment.rows.length / 2) {
        segment.rows = segment.rows.slice(keep);
        segment.trimmed = true;
      }
      rows = rows.concat(segment.rows);
    }
    rows = rows.filter(row => row[0] >= instrument.from);
    // A clock stepped back files records out of order.
    for (let i = 1; i < rows.length; i++) {
      if (rows[i][0] < rows[i - 1][0]) {
        rows.sort((a, b) => a[0] - b[0]);
        break;
      }
    }
    return rows;
  }

  function labels(instrument) {
    return ["hora", ...instrument.positions.map(p => instrument.names[p] || "campo " + p)];
  }

  // One chart per numeric field, on the same time axis: fields of any size
  // side by side, each on a scale of its own.
  function draw(instrument) {
    const rows = chartRows(instrument);
    instrument.records = rows.length;
    instrument.period = R.periodOf(rows) || instrument.period;
    const card = instrument.card;
    const empty = !rows.length || !instrument.positions || !instrument.positions.length;
    card.querySelector(".empty").hidden = !empty;
    card.querySelector(".fields").hidden = empty;
    if (empty) return;
    const data = R.withGaps(rows, instrument.period);
    const window = [instrument.from, Math.max(Date.now(), rows[rows.length - 1][0])];
    if (!instrument.charts) {
      instrument.charts = labels(instrument).slice(1).map((label, i) =>
        newChart(instrument, label, i, fieldData(data, i, window, instrument.card), window));
    } else {
      instrument.charts.forEach((chart, i) => {
        const options = {file: fieldData(data, i, window, instrument.card)};
        if (!instrument.zoomed) options.dateWindow = window;
        chart.updateOptions(options);
      });
    }
    instrument.window = window;
    showValues(instrument);
  }

  // A field's points: every record's, or, past EXACT_UP_TO records, the
  // lowest and the highest of each pixel column's records in their order:
  // the same picture from far fewer points. Gaps stay gaps.
  function fieldData(data, i, window, card) {
    const k = i + 1;
    if (data.length <= EXACT_UP_TO) return data.map(row => [row[0], row[k]]);
    const columns = Math.max(100, card.querySelector(".fields").clientWidth);
    const width = (window[1] - window[0]) / columns;
    const points = [];
    let column = null;
    let low = null;
    let high = null;
    const flush = () => {
      if (low === high) {
        if (low) points.push([low[0], low[k]]);
      } else {
        const [first, second] = low[0] < high[0] ? [low, high] : [high, low];
        points.push([first[0], first[k]], [second[0], second[k]]);
      }
      low = high = null;
    };
    for (const row of data) {
      const value = row[k];
      if (value === null) {
        flush();
        points.push([row[0], null]);
        continue;
      }
      const at = Math.floor((row[0] - window[0]) / width);
      if (at !== column) {
        flush();
        column = at;
      }
      if (!low || value < low[k]) low = row;
      if (!high || value > high[k]) high = row;
    }
    flush();
    return points;
  }

  function newChart(instrument, label, i, data, window) {
    const field = document.getElementById("field").content.firstElementChild.cloneNode(true);
    field.querySelector(".field-name").style.color = COLORS[i % COLORS.length];
    instrument.card.querySelector(".fields").append(field);
    return new Dygraph(field.querySelector(".chart"), data, {
      labels: ["hora", label],
      colors: [COLORS[i % COLORS.length]],
      dateWindow: window,
      connectSeparatedPoints: false,
      drawGapEdgePoints: true,
      legend: "follow",
      axes: {x: {ticker: Dygraph.dateTicker, axisLabelFormatter: Dygraph.dateAxisLabelFormatter,
                  valueFormatter: localTime},
             y: {axisLabelWidth: 60}},
      // A zoom in one chart is the zoom of all; a double click undoes it.
      zoomCallback: (minimum, maximum) => {
        const zoomed = instrument.charts[i].isZoomed("x");
        instrument.zoomed = zoomed;
        instrument.charts.forEach((chart, k) => {
          if (k === i) return;
          chart.updateOptions({dateWindow: zoomed ? [minimum, maximum] : instrument.window});
        });
      },
    });
  }

  // ---- text

  function two(n) {
    return String(n).padStart(2, "0");
  }

  function localTime(ms) {
    const d = new Date(ms);
    return d.getFullYear() + "-" + two(d.getMonth() + 1) + "-" + two(d.getDate()) + " " +
      two(d.getHours()) + ":" + two(d.getMinutes()) + ":" + two(d.getSeconds());
  }

  function zoneName() {
    const offset = -new Date().getTimezoneOffset();
    const sign = offset < 0 ? "-" : "+";
    return "UTC" + sign + two(Math.floor(Math.abs(offset) / 60)) + ":" + two(Math.abs(offset) % 60);
  }

  function age(ms) {
    const s = Math.max(0, Math.round(ms / 1000));
    if (s < 120) return s + " s";
    if (s < 7200) return Math.round(s / 60) + " min";
    if (s < 172800) return Math.round(s / 3600) + " h";
    return Math.round(s / 86400) + " dias";
  }

  function isSilent(instrument) {
    return Boolean(instrument.last && instrument.period &&
                   Date.now() - instrument.last.t > SILENT_PERIODS * instrument.period);
  }

  function showStatus(instrument) {
    const card = instrument.card;
    if (!card) return;
    const last = instrument.last;
    const silent = isSilent(instrument);
    card.classList.toggle("silent", silent);
    card.classList.toggle("unread", !last);
    const status = card.querySelector(".status");
    if (!last) {
      status.textContent = instrument.complete || instrument.error ? "sin registros" : "leyendo...";
    } else {
      status.textContent = (silent ? "EN SILENCIO: " : "") + "ultimo registro " +
        localTime(last.t) + ", hace " + age(Date.now() - last.t) +
        (instrument.period ? "; un registro cada " + age(instrument.period) : "");
    }
    card.querySelector(".error").textContent =
      instrument.error ? "No se pudo leer: " + instrument.error : "";
  }

  // The latest values, each above its field's chart, and the latest record.
  function showValues(instrument) {
    const last = instrument.last;
    if (!last) return;
    const row = R.rowOf(last.t, last.record, instrument.positions);
    const names = instrument.card.querySelectorAll(".field-name");
    labels(instrument).slice(1).forEach((label, i) => {
      names[i].textContent = label + ": " + (row[i + 1] === null ? "-" : row[i + 1]);
    });
    instrument.card.querySelector(".record").textContent = last.record;
  }

  function showError(text) {
    document.getElementById("error").textContent = text ? "No se pudo leer la lista: " + text : "";
  }

  function placeCards() {
    const list = document.getElementById("instruments");
    const keys = [...page.instruments.keys()].sort();
    for (const key of keys) {
      const instrument = page.instruments.get(key);
      if (!instrument.card) {
        const card = document.getElementById("card").content.firstElementChild.cloneNode(true);
        card.dataset.key = key;
        card.querySelector(".name").textContent = instrument.board
          ? instrument.board + " / " + instrument.name : instrument.name;
        instrument.card = card;
      }
      list.append(instrument.card);
    }
    document.getElementById("none").hidden = keys.length > 0;
  }

  function chooseRange(range) {
    page.range = range;
    page.generation++;
    history.replaceState(null, "", "#" + range);
    for (const button of document.querySelectorAll("#ranges button")) {
      button.classList.toggle("chosen", button.dataset.range === range);
    }
    for (const instrument of page.instruments.values()) {
      instrument.zoomed = false;
      if (instrument.started) loadRange(instrument, page.generation);
    }
  }

  // What a test or a benchmark reads of the page.
  window.torvexView = {
    page: page,
    charts: key => page.instruments.get(key).charts || [],
    status: () => [...page.instruments.values()].map(i => ({
      key: i.key, range: page.range, from: i.from, complete: i.complete,
      last: i.last && i.last.t, records: i.records, silent: isSilent(i), period: i.period,
      error: i.error,
      drawn: i.drawn})),
  };

  document.getElementById("zone").textContent = zoneName();
  for (const button of document.querySelectorAll("#ranges button")) {
    button.addEventListener("click", () => chooseRange(button.dataset.range));
    button.classList.toggle("chosen", button.dataset.range === page.range);
  }
  listInstruments().catch(error => showError(error.message));
  setInterval(tick, 1000);
})();
