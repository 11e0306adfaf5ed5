"use strict";
// The records page. It finds the instruments in nginx's JSON listings of the
// records folder (a board's files, or on the fleet's central host one folder
// per board), reads the last bytes of each instrument's newest files for the
// summary, and charts an instrument's range only once its card comes into
// view. Afterwards it lists each folder again at the pace of its live
// instruments (once a minute when none is) and reads a file only when the
// listing shows it grew, only the bytes it grew by.
(() => {
  const R = TorvexRecords;
  const C = TorvexCharts;
  const RECORDS = "records/";
  const RANGES = {hora: R.HOUR, dia: R.DAY, mes: 31 * R.DAY};
  const RANGE_WORDS = {hora: "última hora", dia: "último día", mes: "último mes"};
  // Each range is drawn once its last hour, then its last day, is in.
  const STAGES = [R.HOUR, R.DAY, 31 * R.DAY];
  const TAIL = 4096;               // bytes from a file's end for its last records
  const TAIL_MOST = 1 << 20;       // how far back a last record is looked for
  const GROWTH_WHOLE = 65536;      // growth read whole for the summary; past it, its tail
  const FIRST_READ = 16384;        // bytes from a file's end before its pace is known
  const SILENT_PERIODS = 3;
  const LONGEST_PERIOD = 600000;   // -s 600: the period until the stamps tell it
  const FLEET_DELAY = 20000;       // how late a board's records reach the central host
  const FUTURE_SLACK = 60000;      // a stamp further ahead of the server's clock is future
  const IDLE_LIST = 60000;         // a folder with no live instrument is listed this often
  const LIVE_LIST = [500, 60000];  // otherwise at half its quickest period, within these
  const FLEET_LIST_LEAST = 5000;   // a board's copies grow at most every few seconds
  const BOARDS_LIST = 600000;      // the central host's list of boards
  const CHARTED_MOST = 6;          // instruments whose charts and rows are kept
  const FETCHES_AT_ONCE = 6;
  const LISTING_MOST = 16 << 20;
  const CAMPOS_MOST = 65536;
  const SLICE_MS = 30;             // the longest stretch of work between yields
  const SHOW_EVERY_MS = 200;       // reads shown together, so that the page keeps reading

  const page = {
    range: RANGES[location.hash.slice(1)] ? location.hash.slice(1) : "dia",
    generation: 0,
    boards: new Map(),       // "" (a board's own folder) or BOARD: folder
    instruments: new Map(),  // "NAME" or "BOARD/NAME": instrument
    central: false,
    offset: 0,               // the server's clock minus this browser's
    sort: {column: "estado", up: true},
    filter: "",
    summaryAt: null,         // ms from the navigation to every last record read
    requests: 0,
    bytesFetched: 0,
  };

  // ---- requests

  const waiting = [];
  let running = 0;

  // fetch, at most FETCHES_AT_ONCE at a time; an error answer throws.
  async function get(url, range) {
    if (running >= FETCHES_AT_ONCE) await new Promise(go => waiting.push(go));
    running++;
    try {
      page.requests++;
      const headers = range ? {Range: range} : {};
      const response = await fetch(url, {headers: headers, cache: "no-store"});
      noteServerTime(response);
      if (!response.ok) throw new Error("HTTP " + response.status + " en " + decodeURI(url));
      return response;
    } finally {
      running--;
      if (waiting.length) waiting.shift()();
    }
  }

  // The server's clock decides what is silent and what lies in the future,
  // whatever this browser's clock says; within 2 s they count as one.
  function noteServerTime(response) {
    const date = Date.parse(response.headers.get("Date") || "");
    if (Number.isNaN(date)) return;
    const offset = date + 500 - Date.now();
    page.offset = Math.abs(offset) > 2000 ? offset : 0;
  }

  function now() {
    return Date.now() + page.offset;
  }

  // {start, bytes, total} of the part of url that range names ("bytes=A-",
  // "bytes=A-B" or "bytes=-N"), from a 206 or cut out of a whole file (200).
  async function readBytes(url, range) {
    const response = await get(url, range);
    const bytes = new Uint8Array(await response.arrayBuffer());
    page.bytesFetched += bytes.length;
    if (response.status === 206) {
      const found = /bytes (\d+)-\d+\/(\d+)/.exec(response.headers.get("Content-Range") || "");
      if (!found) throw new Error("respuesta parcial sin Content-Range en " + decodeURI(url));
      return {start: Number(found[1]), bytes: bytes, total: Number(found[2])};
    }
    const [, first, last] = /bytes=(\d*)-(\d*)/.exec(range);
    const start = first === "" ? Math.max(0, bytes.length - Number(last)) : Number(first);
    const end = first !== "" && last !== "" ? Number(last) + 1 : bytes.length;
    return {start: start, bytes: bytes.subarray(start, end), total: bytes.length};
  }

  // Lets the page answer between stretches of work.
  let sliceStart = performance.now();
  async function breathe() {
    if (performance.now() - sliceStart < SLICE_MS) return;
    await (window.scheduler && scheduler.yield ? scheduler.yield()
      : new Promise(go => setTimeout(go, 0)));
    sliceStart = performance.now();
  }

  // ---- the folders

  function newBoard(name) {
    return {name: name, url: RECORDS + (name ? encodeURIComponent(name) + "/" : ""),
            timer: null, listed: false, checkedAt: 0, error: null};
  }

  async function listing(url) {
    const text = await (await get(url)).text();
    if (text.length > LISTING_MOST) throw new Error("lista demasiado larga en " + decodeURI(url));
    let entries = null;
    try {
      entries = JSON.parse(text);
    } catch (notJson) {
      entries = null;
    }
    if (!Array.isArray(entries)) throw new Error("lista no válida en " + decodeURI(url));
    return entries;
  }

  // The top of the records folder: files (a board's own folder) or one
  // folder per board (the central host's store).
  async function listTop() {
    const top = page.boards.get("") || newBoard("");
    page.boards.set("", top);
    const asked = now();
    try {
      const entries = await listing(RECORDS);
      const folders = entries.filter(e => e.type === "directory" && typeof e.name === "string");
      page.central = folders.length > 0;
      for (const folder of folders) {
        if (!page.boards.has(folder.name)) page.boards.set(folder.name, newBoard(folder.name));
      }
      for (const [name, board] of page.boards) {
        if (name && !folders.some(f => f.name === name)) {
          clearTimeout(board.timer);
          dropBoard(board);
          page.boards.delete(name);
        }
      }
      top.error = null;
      await Promise.all([applyListing(top, entries, asked),
                         ...[...page.boards.values()].filter(b => b.name && !b.listed)
                           .map(listBoard)]);
    } catch (error) {
      top.error = error.message;
    } finally {
      top.timer = setTimeout(listTop, listPace(top));
    }
  }

  async function listBoard(board) {
    board.listed = true;
    const asked = now();
    try {
      const entries = await listing(board.url);
      board.error = null;
      await applyListing(board, entries, asked);
    } catch (error) {
      board.error = error.message;
    } finally {
      if (page.boards.get(board.name) === board) {
        board.timer = setTimeout(() => listBoard(board), listPace(board));
      }
    }
  }

  function keyOf(board, name) {
    return board.name ? board.name + "/" + name : name;
  }

  // The instruments and files of a folder, as a listing shows them; what
  // grew is read.
  async function applyListing(board, entries, asked) {
    const seen = new Map();  // key: Set of the file names listed
    for (const entry of entries) {
      if (entry.type !== "file" || typeof entry.name !== "string") continue;
      const kind = R.fileKind(entry.name);
      if (!kind) continue;
      const key = keyOf(board, kind.instrument);
      let instrument = page.instruments.get(key);
      if (!instrument) {
        instrument = newInstrument(key, board, kind.instrument);
        page.instruments.set(key, instrument);
      }
      if (!seen.has(key)) seen.set(key, new Set());
      seen.get(key).add(entry.name);
      const size = Number(entry.size) || 0;
      if (kind.kind === "campos") {
        const listed = size + "/" + entry.mtime;
        if (!instrument.campos || instrument.campos.listed !== listed) {
          instrument.campos = {url: board.url + encodeURIComponent(entry.name), listed: listed,
                               size: size, due: true};
        }
        continue;
      }
      let file = instrument.files.get(entry.name);
      if (!file) {
        file = {name: entry.name, url: board.url + encodeURIComponent(entry.name),
                kind: kind.kind, start: kind.start, end: kind.end, listed: 0, seen: 0, hi: 0};
        instrument.files.set(entry.name, file);
      }
      file.listed = size;
      file.mtime = Date.parse(entry.mtime) || 0;
    }
    for (const instrument of [...page.instruments.values()]) {
      if (instrument.board !== board) continue;
      const names = seen.get(instrument.key);
      if (!names) {
        dropInstrument(instrument);
        continue;
      }
      for (const name of [...instrument.files.keys()]) {
        if (!names.has(name)) {
          instrument.files.delete(name);
          if (instrument.chart) instrument.chart.segments.delete(name);
        }
      }
      if (instrument.campos && ![...names].some(n => n.endsWith("-campos.txt"))) {
        instrument.campos = null;
        instrument.limits = {names: {}, min: {}, max: {}};
      }
    }
    placeInstruments();
    await Promise.all([...page.instruments.values()].filter(i => i.board === board).map(follow));
    // Everything the folder held when it was listed is read.
    board.checkedAt = asked;
  }

  function listPace(board) {
    if (!board.name && page.central) return BOARDS_LIST;
    let quickest = Infinity;
    for (const instrument of page.instruments.values()) {
      if (instrument.board !== board || !instrument.last || isSilent(instrument)) continue;
      quickest = Math.min(quickest, instrument.period || LONGEST_PERIOD);
    }
    if (quickest === Infinity) return IDLE_LIST;
    const least = page.central ? FLEET_LIST_LEAST : LIVE_LIST[0];
    return Math.min(LIVE_LIST[1], Math.max(least, quickest / 2));
  }

  // ---- an instrument

  function newInstrument(key, board, name) {
    return {
      key: key, board: board, name: name,
      files: new Map(),   // file name: {name, url, kind, start, end, listed, seen, hi, mtime}
      campos: null, limits: {names: {}, min: {}, max: {}},
      read: false, lastRead: false, busy: false, error: null,
      last: null,         // {t, record, values, shaped}: the latest record not in the future
      future: null,       // the latest record stamped ahead of the server's clock
      flaw: null,         // the latest line of the newest files that is no record
      times: [],          // the latest stamps, for the period
      period: null, shape: null, positions: [],
      chart: null,        // once its card came into view: see loadRange
      card: null, row: null, inView: false, leftView: 0,
    };
  }

  function dropInstrument(instrument) {
    page.instruments.delete(instrument.key);
    forgetChart(instrument);
    if (instrument.card) {
      cardsSeen.unobserve(instrument.card);
      instrument.card.remove();
    }
    if (instrument.row) {
      rowsSeen.unobserve(instrument.row);
      instrument.row.remove();
    }
  }

  function dropBoard(board) {
    for (const instrument of [...page.instruments.values()]) {
      if (instrument.board === board) dropInstrument(instrument);
    }
  }

  // The files of the newest period that holds a time not in the future:
  // the records file and the service's beside it.
  function newestFiles(instrument) {
    const files = [...instrument.files.values()];
    const present = files.filter(f => f.start <= now() + FUTURE_SLACK);
    const newest = Math.max(...present.map(f => f.start));
    return {now: present.filter(f => f.start === newest),
            ahead: files.filter(f => f.start > now() + FUTURE_SLACK)};
  }

  // What the listing says changed, read: the field names, the newest files'
  // last records the first time, then the bytes each file grew by; after
  // what an earlier listing asked, if that is still being read.
  function follow(instrument) {
    const after = instrument.following || Promise.resolve();
    const mine = after.then(() => followListed(instrument));
    instrument.following = mine;
    mine.then(() => { if (instrument.following === mine) instrument.following = null; });
    return mine;
  }

  async function followListed(instrument) {
    instrument.busy = true;
    try {
      if (instrument.campos && instrument.campos.due) await readCampos(instrument);
      let reload = false;
      for (const file of instrument.files.values()) {
        if (file.listed < file.seen) {
          // Shorter than what was read: another file now, read again.
          Object.assign(file, {seen: 0, hi: 0});
          reload = true;
        }
      }
      if (reload || !instrument.lastRead) {
        // The first time, again after a file was replaced or a read failed.
        if (reload) forgetChart(instrument);
        await readLastRecords(instrument);
      } else {
        for (const file of instrument.files.values()) {
          if (file.hi > 0 && file.listed > file.seen) await readGrowth(instrument, file);
        }
        // A new period's file, or the service's: its records from its start.
        for (const file of newestFiles(instrument).now) {
          if (file.hi === 0 && file.listed > 0) await readGrowth(instrument, file);
        }
      }
      instrument.error = null;
    } catch (error) {
      instrument.error = error.message;
      instrument.read = true;  // for the summary: read, and failed
    } finally {
      instrument.busy = false;
    }
    if (instrument.inView) chartInView(instrument);
    shown.add(instrument);
    if (shown.size === 1) setTimeout(showChanged, SHOW_EVERY_MS);
  }

  async function readCampos(instrument) {
    instrument.campos.due = false;
    if (instrument.campos.size === 0) {
      instrument.limits = {names: {}, min: {}, max: {}};
      return;
    }
    const got = await readBytes(instrument.campos.url, "bytes=0-" + (CAMPOS_MOST - 1));
    instrument.limits = R.parseCampos(got.bytes);
    if (instrument.chart && instrument.chart.set.charts) forgetCharts(instrument);
  }

  // The newest files' last records: their tails, further back (up to
  // TAIL_MOST) while none is a record of the past; files of a period ahead
  // of the clock only for the future records they hold.
  async function readLastRecords(instrument) {
    Object.assign(instrument, {last: null, future: null, flaw: null, times: [], shape: null});
    const files = newestFiles(instrument);
    for (const file of files.ahead) {
      noteLines(instrument, (await readEnd(instrument, file, TAIL)).lines, file);
    }
    for (const file of files.now) {
      let {lines, lo: back} = await readEnd(instrument, file, TAIL);
      let step = 4 * TAIL;
      let inside = null;  // the end of a line longer than what was read
      const isPast = l => l.record !== null && l.t <= now() + FUTURE_SLACK;
      while (back > 0 && file.hi - back < TAIL_MOST && !lines.some(isPast)) {
        const got = await readBytes(file.url, "bytes=" + Math.max(0, back - step) + "-" +
                                    (back - 1));
        const first = firstLine(got);
        step = Math.min(16 * step, TAIL_MOST);
        if (first === 0 && got.start > 0) {
          // All of it inside one line, longer than any record: passed over.
          if (inside === null) inside = back;
          back = got.start;
          continue;
        }
        const before = R.readLines(got.bytes, first, got.bytes.length);
        if (inside !== null) headOf(before, got, inside - 1);
        inside = null;
        lines = before.map(l => shifted(l, got.start)).concat(lines);
        back = got.start + first;
      }
      noteLines(instrument, lines, file);
    }
    instrument.read = instrument.lastRead = true;
  }

  // The last `most` bytes of a file (its whole when shorter) as whole lines,
  // and where the first of them begins; from there on the file is followed.
  async function readEnd(instrument, file, most) {
    if (file.listed === 0) return {lines: [], lo: 0};
    const got = await readBytes(file.url, file.listed > most ? "bytes=-" + most : "bytes=0-");
    const bytes = got.bytes;
    const first = got.start === 0 ? 0 : bytes.indexOf(10) + 1;
    const end = bytes.lastIndexOf(10) + 1;
    file.seen = got.start + bytes.length;
    if (end <= first) {
      file.hi = got.start + end;
      return {lines: [], lo: file.hi};
    }
    file.hi = got.start + end;
    return {lines: R.readLines(bytes, first, end).map(l => shifted(l, got.start)),
            lo: got.start + first};
  }

  // The last of lines read back is the start of a line that goes on to
  // its LF at `end`, past what was read: no record, shown with its length.
  function headOf(lines, got, end) {
    const head = lines[lines.length - 1];
    Object.assign(head, {t: NaN, record: null, shown: R.shownText(
      got.bytes, head.at, got.bytes.length, 300, end - got.start - head.at)});
  }

  // Where the first whole line of bytes read back from a line's start
  // begins: past the first LF but the one that ends them; 0 from the file's
  // start, or when they lie inside one line.
  function firstLine(got) {
    return got.start === 0 ? 0 : got.bytes.subarray(0, got.bytes.length - 1).indexOf(10) + 1;
  }

  function shifted(line, by) {
    line.at += by;
    line.end += by;
    return line;
  }

  // The bytes a file grew by: whole when the chart needs them or they are
  // few, else only the last of them, for the summary.
  async function readGrowth(instrument, file) {
    const segment = instrument.chart && instrument.chart.segments.get(file.name);
    if (!segment && file.listed - file.hi > GROWTH_WHOLE) {
      noteLines(instrument, (await readEnd(instrument, file, TAIL)).lines, file);
      return;
    }
    const from = file.hi;
    const got = await readBytes(file.url, "bytes=" + from + "-");
    if (file.hi !== from) return;  // read meanwhile
    const end = got.bytes.lastIndexOf(10) + 1;
    file.seen = got.start + got.bytes.length;
    if (end === 0) return;
    const lines = R.readLines(got.bytes, 0, end).map(l => shifted(l, got.start));
    file.hi = got.start + end;
    if (file.start >= Math.max(...newestFiles(instrument).now.map(f => f.start))) {
      noteLines(instrument, lines, file);
    }
    if (segment) {
      const rows = rowsOf(instrument, lines, segment);
      segment.rows = segment.rows.concat(rows);
      if (rows.length && instrument.chart.set.charts) draw(instrument);
    }
  }

  // The last record, future records, lines that are no records and the
  // period, from lines of the newest files.
  function noteLines(instrument, lines, file) {
    if (instrument.shape === null) instrument.shape = shapeOf(lines);
    const present = now() + FUTURE_SLACK;
    let latest = null;
    for (const line of lines) {
      if (Number.isNaN(line.t)) {
        instrument.flaw = {file: file.name, text: line.shown};
        continue;
      }
      if (line.t > present) {
        if (!instrument.future || line.t > instrument.future.t) instrument.future = line;
        continue;
      }
      noteTime(instrument, line.t);
      if (!latest || line.t >= latest.t) latest = line;
    }
    if (latest && (!instrument.last || latest.t >= instrument.last.t)) {
      const values = latest.record === null ? null : R.fieldValues(latest.record);
      instrument.last = {t: latest.t, record: latest.record, values: values,
                         shaped: values !== null && values.length === instrument.shape};
    }
    instrument.period = R.periodFrom(instrument.times) || instrument.period;
    if (!instrument.positions.length && instrument.last && instrument.last.shaped) {
      instrument.positions = [];
      instrument.last.values.forEach((v, i) => { if (v !== null) instrument.positions.push(i + 1); });
    }
  }

  // The stamps, in order, of the latest records; the service's file beside
  // the records file may bring earlier ones later.
  function noteTime(instrument, t) {
    const times = instrument.times;
    let i = times.length;
    while (i > 0 && times[i - 1] > t) i--;
    times.splice(i, 0, t);
    if (times.length > 65) times.shift();
  }

  // The number of fields most of the records hold: a record with more or
  // fewer is of the wrong shape (a field lost, or a separator too many).
  function shapeOf(lines) {
    const counts = new Map();
    for (const line of lines) {
      if (line.record === null) continue;
      const count = R.fieldValues(line.record).length;
      counts.set(count, (counts.get(count) || 0) + 1);
    }
    let shape = null;
    for (const [count, n] of counts) if (shape === null || n > counts.get(shape)) shape = count;
    return shape;
  }

  // Silent: no record for three periods (and the time a board's copies
  // take to reach the central host) when its folder was last looked at, so
  // that a page slow to read marks nothing silent by mistake.
  function isSilent(instrument) {
    if (!instrument.last) return false;
    const allowed = SILENT_PERIODS * (instrument.period || LONGEST_PERIOD) +
                    (instrument.board.name ? FLEET_DELAY : 0);
    return Math.min(now(), instrument.board.checkedAt) - instrument.last.t > allowed;
  }

  // The positions of the last record's fields beyond their limits.
  function outOfLimits(instrument) {
    const last = instrument.last;
    const limits = instrument.limits;
    if (!last || !last.shaped) return [];
    return instrument.positions.filter(p => {
      const value = last.values[p - 1];
      return value !== null && (value < limits.min[p] || value > limits.max[p]);
    });
  }

  // ---- the charts of an instrument in view

  // Rows [t, the value at each position] of lines; lines that are no
  // record, not UTF-8, of the wrong shape or ahead of the clock are counted
  // in the segment and left out.
  function rowsOf(instrument, lines, segment) {
    const rows = [];
    const present = now() + FUTURE_SLACK;
    for (const line of lines) {
      if (Number.isNaN(line.t)) {
        segment.skipped.lines++;
      } else if (line.record === null) {
        segment.skipped.encoding++;
      } else if (line.t > present) {
        segment.skipped.future++;
      } else {
        const values = R.fieldValues(line.record);
        if (values.length !== instrument.shape) {
          segment.skipped.shape++;
          continue;
        }
        const row = [line.t];
        for (const p of instrument.positions) row.push(values[p - 1]);
        rows.push(row);
      }
    }
    return rows;
  }

  function newSegment(file, lo) {
    return {file: file, lo: lo, rows: [], skipBy: 0,
            skipped: {lines: 0, encoding: 0, shape: 0, future: 0}};
  }

  // Rows before a segment's first, about back to the goal at the pace of the
  // records read so far (a slice at a time, so that the page keeps answering).
  async function readBack(instrument, segment, goal) {
    const chart = instrument.chart;
    let need = FIRST_READ;
    const earliest = segment.rows.length ? segment.rows[0][0] : null;
    if (earliest !== null && chart.bytesPerMs) {
      need = Math.ceil((earliest - goal) * chart.bytesPerMs * 1.05) + 2048;
    }
    need = Math.max(need, 4096, segment.skipBy);
    const lo = segment.lo;
    const start = Math.max(0, lo - need);
    const got = await readBytes(segment.file.url, "bytes=" + start + "-" + (lo - 1));
    if (segment.lo !== lo || instrument.chart !== chart) return;
    const first = firstLine(got);
    if (first === 0 && start > 0) {
      // All of it inside one line, longer than any record: passed over, in
      // longer steps; counted once its start is read.
      if (!segment.skipBy) segment.skipFrom = lo;
      segment.lo = start;
      segment.skipBy = Math.min(4 * need, TAIL_MOST);
      return;
    }
    const rows = [];
    const step = 20000;  // lines a slice
    const lines = R.readLines(got.bytes, first, got.bytes.length);
    if (segment.skipBy) headOf(lines, got, segment.skipFrom - 1);
    segment.skipBy = 0;
    for (let i = 0; i < lines.length; i += step) {
      rows.push(...rowsOf(instrument, lines.slice(i, i + step), segment));
      await breathe();
    }
    segment.rows = rows.concat(segment.rows);
    segment.lo = start + first;
    const span = segment.rows.length > 1 ? segment.rows[segment.rows.length - 1][0] -
                                           segment.rows[0][0] : 0;
    if (span > 0) chart.bytesPerMs = (segment.file.hi - segment.lo) / span;
  }

  function goalReached(segment, goal) {
    return segment.lo === 0 || (segment.rows.length > 0 && segment.rows[0][0] <= goal);
  }

  // The files back to the goal, a period's records file and service file
  // together, newest first.
  async function loadBack(instrument, goal) {
    const chart = instrument.chart;
    const files = [...instrument.files.values()].sort((a, b) => b.start - a.start);
    for (const file of files) {
      if (file.end <= goal) break;
      if (instrument.chart !== chart) return;
      let segment = chart.segments.get(file.name);
      if (!segment && file.hi === 0) {
        // A file not read yet (an earlier period's): its end, about back to the goal.
        const need = file.start >= goal ? Infinity : chart.bytesPerMs
          ? Math.ceil((Math.min(now(), file.end) - goal) * chart.bytesPerMs * 1.05) + 2048
          : FIRST_READ;
        const end = await readEnd(instrument, file, need);
        segment = newSegment(file, end.lo);
        segment.rows = rowsOf(instrument, end.lines, segment);
        chart.segments.set(file.name, segment);
      } else if (!segment) {
        segment = newSegment(file, file.hi);
        chart.segments.set(file.name, segment);
      }
      while (!goalReached(segment, goal) && instrument.chart === chart) {
        await readBack(instrument, segment, goal);
      }
    }
  }

  // Reads and draws the range of an instrument come into view.
  async function loadRange(instrument) {
    const chart = {generation: page.generation, segments: new Map(), set: {}, from: 0,
                   complete: false, drawn: [], bytesPerMs: null, readFrom: performance.now()};
    instrument.chart = chart;
    charted.delete(instrument);
    charted.add(instrument);
    forgetOthers();
    const start = now();
    chart.from = start - RANGES[page.range];
    try {
      for (const span of STAGES) {
        const goal = Math.max(chart.from, start - span);
        await loadBack(instrument, goal);
        if (instrument.chart !== chart) return;
        draw(instrument);
        chart.drawn.push({goal: goal, at: performance.now()});
        if (goal === chart.from) break;
      }
      chart.complete = true;
    } catch (error) {
      if (instrument.chart === chart) instrument.error = error.message;
    }
    showInstrument(instrument);
  }

  // The rows in the range, from every segment in time order; rows long out
  // of the range are let go as it moves on.
  function chartRows(instrument) {
    const chart = instrument.chart;
    const segments = [...chart.segments.values()].sort((a, b) => a.file.start - b.file.start);
    let rows = [];
    for (const segment of segments) {
      const keep = segment.rows.findIndex(row => row[0] >= chart.from);
      if (keep < 0 && segment.file.end <= chart.from) {
        chart.segments.delete(segment.file.name);
        continue;
      }
      if (keep > 1000 && keep > segment.rows.length / 2) segment.rows = segment.rows.slice(keep);
      rows = rows.concat(segment.rows);
    }
    rows = rows.filter(row => row[0] >= chart.from);
    // The service's file beside the records file, or a clock stepped back,
    // puts records out of order: they are shown in time order.
    for (let i = 1; i < rows.length; i++) {
      if (rows[i][0] < rows[i - 1][0]) {
        rows.sort((a, b) => a[0] - b[0]);
        break;
      }
    }
    return rows;
  }

  function fieldLabel(instrument, position) {
    const name = instrument.limits.names[position];
    return name ? name.slice(0, 60) : "campo " + position;
  }

  function draw(instrument) {
    const chart = instrument.chart;
    const card = instrument.card;
    placeFields(instrument);
    chart.from = Math.max(chart.from, now() - RANGES[page.range]);
    const rows = chartRows(instrument);
    chart.records = rows.length;
    const skipped = {lines: 0, encoding: 0, shape: 0, future: 0};
    for (const segment of chart.segments.values()) {
      for (const k in skipped) skipped[k] += segment.skipped[k];
    }
    chart.skipped = skipped;
    const period = R.periodFrom(rows.slice(-65).map(r => r[0])) || instrument.period;
    const fields = instrument.positions.map((p, i) => ({
      index: i, label: fieldLabel(instrument, p),
      low: instrument.limits.min[p], high: instrument.limits.max[p]}));
    const empty = !rows.length || !fields.length;
    card.querySelector(".empty").hidden = !empty;
    card.querySelector(".empty").textContent = !fields.length
      ? "Ningún campo de sus registros es un número: no hay nada que dibujar."
      : "Sin registros en este intervalo.";
    card.querySelector(".fields").hidden = empty;
    if (empty) return;
    const window = [chart.from, Math.max(now(), rows[rows.length - 1][0])];
    C.draw(chart.set, [...card.querySelectorAll(".chart")], fields, R.withGaps(rows, period),
           window);
  }

  // ---- cards coming into view, and the charts kept

  const charted = new Set();  // instruments with charts, the least recently seen first

  const cardsSeen = new IntersectionObserver(entries => {
    for (const entry of entries) {
      const instrument = page.instruments.get(entry.target.dataset.key);
      if (!instrument) continue;
      instrument.inView = entry.isIntersecting;
      if (entry.isIntersecting) {
        showInstrument(instrument);
        chartInView(instrument);
      } else {
        instrument.leftView = Date.now();
      }
    }
    forgetOthers();
  }, {rootMargin: "200px 0px"});

  function chartInView(instrument) {
    if (!instrument.read || instrument.busy) return;
    if (!instrument.chart || instrument.chart.generation !== page.generation) {
      loadRange(instrument);
    } else {
      charted.delete(instrument);
      charted.add(instrument);
    }
  }

  function forgetCharts(instrument) {
    if (!instrument.chart) return;
    C.destroy(instrument.chart.set);
  }

  function forgetChart(instrument) {
    forgetCharts(instrument);
    instrument.chart = null;
    charted.delete(instrument);
  }

  // The charts of cards out of view go (their canvases are most of the
  // page's memory) and are drawn again from their rows on return; past
  // CHARTED_MOST instruments, the rows of those out of view longest go too:
  // memory stays bounded however long the page is open.
  function forgetOthers() {
    const out = [...charted].filter(i => !i.inView).sort((a, b) => a.leftView - b.leftView);
    for (const instrument of out) forgetCharts(instrument);
    while (charted.size > CHARTED_MOST && out.length) forgetChart(out.shift());
  }

  // ---- the download of a range

  // The records of the instrument from `from` to `to` as the files hold them,
  // lines cut only at the range's ends: a period's records file and the
  // service's beside it merged in time order, the periods one after another.
  async function rangeBytes(instrument, from, to) {
    const files = [...instrument.files.values()].filter(f => f.start < to && f.end > from)
      .sort((a, b) => a.start - b.start || (a.kind === "servicio") - (b.kind === "servicio"));
    const parts = [];
    for (const start of [...new Set(files.map(f => f.start))]) {
      const pieces = [];
      for (const file of files.filter(f => f.start === start && f.listed > 0)) {
        const segment = instrument.chart && instrument.chart.segments.get(file.name);
        const lo = segment && segment.rows.length && segment.rows[0][0] <= from ? segment.lo : 0;
        const got = await readBytes(file.url, "bytes=" + lo + "-");
        pieces.push(await linesInRange(got.bytes, from, to));
      }
      if (pieces.length) parts.push(pieces.length === 1 ? pieces[0].bytes : merged(pieces));
    }
    return parts;
  }

  // The bytes from the first record stamped at or after `from` to the end of
  // the last stamped before `to` (whatever lines lie between), and its
  // records' units, for a merge: a record with the lines that follow it.
  async function linesInRange(bytes, from, to) {
    const units = [];
    const day = {};
    let first = -1;
    let last = -1;
    for (let at = 0, n = 1; ; n++) {
      const lf = bytes.indexOf(10, at);
      if (lf < 0) break;  // a line not ended yet
      const t = R.lineTime(bytes, at, lf, day);
      if (t >= from && t < to) {
        if (first < 0) first = at;
        last = lf + 1;
        units.push({t: t, at: at, end: lf + 1});
      } else if (Number.isNaN(t) && units.length) {
        units[units.length - 1].end = lf + 1;
      }
      at = lf + 1;
      if (n % 20000 === 0) await breathe();
    }
    if (first < 0) return {bytes: new Uint8Array(0), units: []};
    for (const unit of units) unit.bytes = bytes.subarray(unit.at, Math.min(unit.end, last));
    return {bytes: bytes.subarray(first, last), units: units};
  }

  function merged(pieces) {
    const units = pieces.flatMap(p => p.units);
    units.sort((a, b) => a.t - b.t);
    return new Blob(units.map(u => u.bytes));
  }

  function stampForName(ms) {
    return new Date(ms).toISOString().slice(0, 16).replace(":", "");
  }

  async function download(instrument, link) {
    const chart = instrument.chart;
    const window = chart && chart.set.charts ? chart.set.charts[0].xAxisRange()
      : [now() - RANGES[page.range], now()];
    const [from, to] = [Math.floor(window[0]), Math.ceil(window[1]) + 1];
    link.textContent = "preparando…";
    try {
      const parts = await rangeBytes(instrument, from, to);
      const blob = new Blob(parts, {type: "text/csv"});
      const name = (instrument.board.name ? instrument.board.name + "_" : "") + instrument.name +
                   "_" + stampForName(from) + "Z_" + stampForName(to) + "Z.csv";
      const save = document.createElement("a");
      save.href = URL.createObjectURL(blob);
      save.download = name.replace(/[\\/:*?"<>|]/g, "_");
      document.body.append(save);
      save.click();
      save.remove();
      setTimeout(() => URL.revokeObjectURL(save.href), 60000);
      page.downloads.push({key: instrument.key, name: save.download, from: from, to: to,
                           bytes: blob.size});
      link.textContent = "Descargar CSV";
    } catch (error) {
      link.textContent = "Descargar CSV";
      instrument.error = "no se pudo descargar: " + error.message;
      showInstrument(instrument);
    }
  }
  page.downloads = [];

  // ---- text

  function age(ms) {
    const s = Math.max(0, Math.round(ms / 1000));
    if (s < 120) return s + " s";
    if (s < 7200) return Math.round(s / 60) + " min";
    if (s < 172800) return Math.round(s / 3600) + " h";
    return Math.round(s / 86400) + " días";
  }

  const numbers = new Intl.NumberFormat("es-ES", {maximumFractionDigits: 6, useGrouping: false});
  function number(value) {
    return numbers.format(value);
  }

  // State words and the rank that sorts the summary: what needs a look first.
  function stateOf(instrument) {
    if (!instrument.read) return {word: "leyendo…", rank: 3};
    if (!instrument.last) {
      return {word: instrument.error ? "error de lectura" : "sin registros", rank: 0};
    }
    const words = [];
    if (isSilent(instrument)) words.push("EN SILENCIO");
    if (outOfLimits(instrument).length) words.push("FUERA DE LÍMITES");
    if (instrument.future) words.push("FECHA FUTURA");
    if (instrument.error) words.push("error de lectura");
    return words.length ? {word: words.join(", "), rank: words[0] === "error de lectura" ? 1 : 0}
      : {word: "al día", rank: 2};
  }

  function lastValues(instrument) {
    const last = instrument.last;
    if (!last) return "";
    if (last.record === null) return "registro que no es UTF-8";
    if (!last.shaped) {
      return "registro de otra forma: " + last.values.length + " campos en vez de " +
             instrument.shape;
    }
    const out = outOfLimits(instrument);
    const shown = instrument.positions.map(p => {
      const mark = out.includes(p) ? " (fuera de límites)" : "";
      return fieldLabel(instrument, p) + " " + number(last.values[p - 1]) + mark;
    });
    return shown.length ? shown.join(" · ") : "ningún campo numérico";
  }

  // What changed is shown once a frame, not once a read.
  const shown = new Set();
  function showChanged() {
    for (const instrument of shown) {
      if (instrument.positions.length && instrument.card) placeFields(instrument);
      showInstrument(instrument);
    }
    shown.clear();
    noteSummary();
    resort();
  }

  function setText(element, text) {
    if (element.textContent !== text) element.textContent = text;
  }

  function showInstrument(instrument) {
    const card = instrument.card;
    const state = stateOf(instrument);
    if (instrument.row) showRow(instrument, state);
    if (!card) return;
    const last = instrument.last;
    card.classList.toggle("problem", state.rank === 0);
    card.classList.toggle("unread", !last);
    let status = state.word;
    if (last) {
      status = (state.rank === 2 ? "" : state.word + ": ") + "último registro " +
        C.localTime(last.t) + ", hace " + age(now() - last.t) +
        (instrument.period ? "; uno cada " + age(instrument.period) : "");
    }
    setText(card.querySelector(".status"), status);
    const notes = [];
    if (instrument.future) {
      notes.push("Registros con fecha futura (" + C.localTime(instrument.future.t) +
                 "): el reloj que los fechó iba adelantado; no cuentan como último registro.");
    }
    if (instrument.flaw) {
      notes.push("Una línea que no es un registro en " + instrument.flaw.file + ": " +
                 (instrument.flaw.text || ""));
    }
    const chart = instrument.chart;
    if (chart && chart.skipped) {
      const s = chart.skipped;
      const parts = [];
      if (s.lines) parts.push(s.lines + " líneas que no son registros");
      if (s.shape) parts.push(s.shape + " registros de otra forma");
      if (s.encoding) parts.push(s.encoding + " registros que no son UTF-8");
      if (s.future) parts.push(s.future + " registros con fecha futura");
      if (parts.length) notes.push("Sin dibujar en este intervalo: " + parts.join(", ") + ".");
    }
    setText(card.querySelector(".notes"), notes.join("\n"));
    setText(card.querySelector(".error"),
            instrument.error ? "No se pudo leer: " + instrument.error : "");
    setText(card.querySelector(".record"), last ? recordText(instrument) : "");
    const names = card.querySelectorAll(".field-name");
    instrument.positions.forEach((p, i) => {
      if (!names[i]) return;
      const value = last && last.shaped ? last.values[p - 1] : null;
      setText(names[i], fieldLabel(instrument, p) + ": " + (value === null ? "-" : number(value)));
    });
  }

  // The last record as written, cut when long.
  function recordText(instrument) {
    const last = instrument.last;
    if (last.record === null) return "(no es UTF-8)";
    return last.record.length > 300 ? last.record.slice(0, 300) + "… (cortado)" : last.record;
  }

  // ---- the summary and the cards

  function showRow(instrument, state) {
    const row = instrument.row;
    const cells = row.cells;
    if (row.classList.contains("problem") !== (state.rank === 0)) {
      row.classList.toggle("problem", state.rank === 0);
    }
    setText(cells[2].firstChild, state.word);
    // The values' text made again only when the last record or the limits changed.
    if (instrument.valuesOf !== instrument.last || instrument.valuesBy !== instrument.limits) {
      instrument.valuesOf = instrument.last;
      instrument.valuesBy = instrument.limits;
      setText(cells[3], lastValues(instrument));
    }
    setText(cells[4], instrument.last ? age(now() - instrument.last.t) : "");
  }

  // The summary's lines in view: only theirs are shown again each second.
  const rowsSeen = new IntersectionObserver(entries => {
    for (const entry of entries) {
      const instrument = page.instruments.get(entry.target.dataset.row);
      if (!instrument) continue;
      instrument.rowInView = entry.isIntersecting;
      if (entry.isIntersecting) showRow(instrument, stateOf(instrument));
    }
  });

  function fold(text) {
    return text.normalize("NFD").replace(/[\u0300-\u036f]/g, "").toLowerCase();
  }

  const SORTS = {
    placa: (a, b) => a.board.name.localeCompare(b.board.name, "es") ||
                     a.name.localeCompare(b.name, "es"),
    instrumento: (a, b) => a.name.localeCompare(b.name, "es") ||
                           a.board.name.localeCompare(b.board.name, "es"),
    estado: (a, b) => ranks.get(a) - ranks.get(b) || SORTS.placa(a, b),
    hace: (a, b) => (a.last ? a.last.t : -Infinity) - (b.last ? b.last.t : -Infinity) ||
                    SORTS.placa(a, b),
  };

  // The summary in the order chosen (what needs a look first, by default),
  // the filter applied to it and to the cards.
  let ranks = new Map();  // instrument: its state's rank, while the summary is sorted

  function placeRows() {
    const body = document.querySelector("#summary tbody");
    ranks = new Map([...page.instruments.values()].map(i => [i, stateOf(i).rank]));
    const order = [...page.instruments.values()].sort(SORTS[page.sort.column]);
    if (!page.sort.up) order.reverse();
    const wanted = fold(page.filter.trim());
    let shown = 0;
    order.forEach((instrument, i) => {
      const match = !wanted || fold(instrument.key).includes(wanted);
      if (instrument.row.hidden === match) instrument.row.hidden = !match;
      if (instrument.card && instrument.card.hidden === match) instrument.card.hidden = !match;
      shown += match;
      if (body.children[i] !== instrument.row) body.insertBefore(instrument.row, body.children[i]);
    });
    setText(document.getElementById("count"), page.instruments.size
      ? shown + " de " + page.instruments.size + " instrumentos" : "");
  }

  function newRow(instrument) {
    const row = document.getElementById("row").content.firstElementChild.cloneNode(true);
    row.dataset.row = instrument.key;
    rowsSeen.observe(row);
    row.cells[0].textContent = instrument.board.name;
    const link = row.cells[1].firstElementChild;
    link.textContent = instrument.name;
    link.href = "#" + encodeURIComponent("i:" + instrument.key);
    link.addEventListener("click", event => {
      event.preventDefault();
      if (instrument.card) instrument.card.scrollIntoView({block: "start"});
    });
    return row;
  }

  function newCard(instrument) {
    const card = document.getElementById("card").content.firstElementChild.cloneNode(true);
    card.dataset.key = instrument.key;
    card.querySelector(".name").textContent = instrument.board.name
      ? instrument.board.name + " / " + instrument.name : instrument.name;
    const link = card.querySelector(".download");
    link.addEventListener("click", event => {
      event.preventDefault();
      download(instrument, link);
    });
    return card;
  }

  // A box per numeric field, sized before its chart is drawn, so that the
  // page does not jump as charts come.
  function placeFields(instrument) {
    const fields = instrument.card.querySelector(".fields");
    if (fields.childElementCount === instrument.positions.length) return;
    forgetCharts(instrument);
    fields.replaceChildren();
    for (let i = 0; i < instrument.positions.length; i++) {
      fields.append(document.getElementById("field").content.firstElementChild.cloneNode(true));
    }
  }

  // The summary's lines at once; the cards once the summary is read, a
  // slice at a time, so that making them neither slows the reads the
  // summary waits for nor blocks the page.
  function placeInstruments() {
    const body = document.querySelector("#summary tbody");
    const keys = [...page.instruments.keys()].sort((a, b) => a.localeCompare(b, "es"));
    for (const key of keys) {
      const instrument = page.instruments.get(key);
      if (!instrument.row) {
        instrument.row = newRow(instrument);
        body.append(instrument.row);
      }
    }
    document.getElementById("none").hidden = keys.length > 0;
    document.body.classList.toggle("central", page.central);
    placeRows();
    if (page.summaryAt !== null) placeCards(keys);
  }

  let placing = Promise.resolve();
  function placeCards(keys) {
    placing = placing.then(async () => {
      const cards = document.getElementById("instruments");
      let before = null;  // the card before, in the order of the keys
      for (const key of keys) {
        const instrument = page.instruments.get(key);
        if (!instrument) continue;
        if (!instrument.card) {
          instrument.card = newCard(instrument);
          cardsSeen.observe(instrument.card);
          showInstrument(instrument);
          if (instrument.positions.length) placeFields(instrument);
          if (before && before.isConnected) before.after(instrument.card);
          else cards.prepend(instrument.card);
          await breathe();
        }
        before = instrument.card;
      }
    });
  }

  function noteSummary() {
    if (page.summaryAt !== null || !page.instruments.size) return;
    for (const instrument of page.instruments.values()) if (!instrument.read) return;
    page.summaryAt = performance.now();
    placeInstruments();
  }

  function showErrors() {
    const failed = [...page.boards.values()].filter(b => b.error)
      .map(b => (b.name ? b.name + ": " : "") + b.error);
    setText(document.getElementById("error"),
            failed.length ? "No se pudo leer la lista: " + failed.join("; ") : "");
  }

  // ---- the page's clock

  let lastOrder = "";

  // Each second: the ages in the summary, the cards in view, the charts.
  function tick() {
    for (const instrument of page.instruments.values()) {
      if (!instrument.inView) {
        if (instrument.rowInView) showRow(instrument, stateOf(instrument));
        continue;
      }
      showInstrument(instrument);
      const chart = instrument.chart;
      if (!chart || chart.generation !== page.generation) {
        chartInView(instrument);
      } else if (chart.complete && (!chart.set.charts ||
                 now() - RANGES[page.range] - chart.from > RANGES[page.range] / 200)) {
        // Drawn again as the range moves on with the clock, or anew.
        draw(instrument);
      }
    }
    resort();
    showErrors();
  }

  // The summary sorted again when a state changed (or, sorted by age, a last record).
  function resort() {
    const byAge = page.sort.column === "hace";
    const order = [...page.instruments.values()]
      .map(i => i.key + stateOf(i).rank + (byAge && i.last ? i.last.t : "")).join();
    if (order !== lastOrder) {
      lastOrder = order;
      placeRows();
    }
  }

  function chooseRange(range) {
    page.range = range;
    page.generation++;
    history.replaceState(null, "", "#" + range);
    for (const button of document.querySelectorAll("#ranges button")) {
      button.classList.toggle("chosen", button.dataset.range === range);
    }
    setText(document.getElementById("range-word"), RANGE_WORDS[range]);
    for (const instrument of page.instruments.values()) {
      if (instrument.chart) forgetChart(instrument);
      if (instrument.inView) chartInView(instrument);
    }
  }

  function chooseSort(column) {
    page.sort = {column: column, up: page.sort.column === column ? !page.sort.up : true};
    for (const header of document.querySelectorAll("#summary th[data-sort]")) {
      const chosen = header.dataset.sort === page.sort.column;
      header.setAttribute("aria-sort", chosen ? (page.sort.up ? "ascending" : "descending")
        : "none");
    }
    placeRows();
  }

  // What a test or a benchmark reads of the page.
  window.torvexView = {
    page: page,
    records: R,
    charts: key => (page.instruments.get(key).chart || {set: {}}).set.charts || [],
    summary: () => [...document.querySelectorAll("#summary tbody tr")].filter(r => !r.hidden)
      .map(r => [...r.cells].map(c => c.textContent)),
    status: () => [...page.instruments.values()].map(i => ({
      key: i.key, range: page.range, read: i.read, last: i.last && i.last.t,
      silent: isSilent(i), period: i.period, error: i.error, future: i.future && i.future.t,
      out: outOfLimits(i), positions: i.positions,
      from: i.chart && i.chart.from, complete: Boolean(i.chart && i.chart.complete),
      charted: Boolean(i.chart && i.chart.set.charts),
      records: i.chart && i.chart.records, drawn: i.chart ? i.chart.drawn : [],
      skipped: i.chart && i.chart.skipped})),
  };

  document.getElementById("zone").textContent = (() => {
    const offset = -new Date().getTimezoneOffset();
    const sign = offset < 0 ? "-" : "+";
    return "UTC" + sign + C.two(Math.floor(Math.abs(offset) / 60)) + ":" +
           C.two(Math.abs(offset) % 60);
  })();
  for (const button of document.querySelectorAll("#ranges button")) {
    button.addEventListener("click", () => chooseRange(button.dataset.range));
    button.classList.toggle("chosen", button.dataset.range === page.range);
  }
  setText(document.getElementById("range-word"), RANGE_WORDS[page.range]);
  for (const header of document.querySelectorAll("#summary th[data-sort]")) {
    header.addEventListener("click", () => chooseSort(header.dataset.sort));
  }
  document.getElementById("filter").addEventListener("input", event => {
    page.filter = event.target.value;
    placeRows();
  });
  listTop();
  setInterval(tick, 1000);
})();
