"use strict";
// The records files as the loggers write them: their names, their stamped
// lines, the fields of a record and the field names and limits beside them.
// The same rules as the C++ core that writes them, checked against the same
// examples (tests/examples/records.txt). No page state here.
const TorvexRecords = (() => {
  const HOUR = 3600e3;
  const DAY = 24 * HOUR;
  const MAX_NAME_BYTES = 32;
  // The stamp, a comma, the longest reply (2047 bytes) and a CR: without the LF.
  const MAX_LINE_BYTES = 2072;
  // "YYYY-MM-DDTHH:MM:SS.mmm," and where its "-", "T", ":", "." and "," stand.
  const STAMP_LENGTH = 24;
  const STAMP_MARKS = [[4, 45], [7, 45], [10, 84], [13, 58], [16, 58], [19, 46], [23, 44]];
  const NUMBER = /^[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?$/;
  // A line of NAME-campos.txt: "4=Temperatura C", "4 min=2,5", "4 max = 8".
  // A line of NAME-campos.txt: blanks are spaces, tabs and carriage returns.
  const CAMPO_LINE = /^[ \t\r]*(\d{1,4})[ \t\r]*(?:([mM][iI][nN]|[mM][aA][xX])[ \t\r]*)?=[ \t\r]*(.*?)[ \t\r]*$/s;
  const CAMPO_LINE_BYTES = 256;
  const CAMPO_NAME_BYTES = 64;
  const CAMPO_MAX_POSITION = 2048;
  const CONTROL = /[\u0000-\u001f\u007f-\u009f]/;
  const STRICT_UTF8 = new TextDecoder("utf-8", {fatal: true});
  const LIMIT = /^[+-]?(?:\d+(?:[.,]\d*)?|[.,]\d+)$/;
  const FIELD_NAMES_ENDING = "-campos.txt";
  const SERVICE_ENDING = ".servicio.csv";
  const utf8 = new TextDecoder("utf-8", {fatal: true, ignoreBOM: true});
  const lossy = new TextDecoder("utf-8", {ignoreBOM: true});

  // ---- names

  // The UTF-8 bytes of a logger's name, or -1 when a character is not
  // admitted: ASCII letters, digits, space, ".", "_", "-", and the accented
  // Latin letters U+00C0 to U+024F but for the signs U+00D7 and U+00F7.
  function nameBytes(name) {
    let bytes = 0;
    for (let i = 0; i < name.length; i++) {
      const c = name.charCodeAt(i);
      if ((c >= 97 && c <= 122) || (c >= 65 && c <= 90) || (c >= 48 && c <= 57) ||
          c === 32 || c === 46 || c === 95 || c === 45) {
        bytes += 1;
      } else if (c >= 0xC0 && c <= 0x24F && c !== 0xD7 && c !== 0xF7) {
        bytes += 2;
      } else {
        return -1;
      }
    }
    return bytes;
  }

  function isRecordsName(name) {
    const bytes = nameBytes(name);
    return bytes >= 1 && bytes <= MAX_NAME_BYTES && !/^[.\- ]/.test(name) && !name.endsWith(" ");
  }

  function daysInMonth(year, month) {
    return new Date(Date.UTC(year, month, 0)).getUTCDate();
  }

  // {name, start, end (UTC ms, end excluded), daily} of "NAME-YYYY-MM-DD" or
  // "NAME-YYYY-MM", the day's form tried first, as the writer does; or null.
  function periodOf(stem) {
    for (const dateLength of [10, 7]) {
      if (stem.length < dateLength + 2) continue;
      const date = stem.slice(-dateLength);
      const m = /^(\d{4})-(\d\d)(?:-(\d\d))?$/.exec(date);
      if (!m || stem[stem.length - dateLength - 1] !== "-" || (dateLength === 10) !== !!m[3]) {
        continue;
      }
      const year = Number(m[1]);
      const month = Number(m[2]);
      if (month < 1 || month > 12) continue;
      const day = m[3] ? Number(m[3]) : 0;
      if (m[3] && (day < 1 || day > daysInMonth(year, month))) continue;
      const start = Date.UTC(year, month - 1, day || 1);
      return {name: stem.slice(0, -dateLength - 1), start: start,
              end: day ? start + DAY : Date.UTC(year, month, 1), daily: day !== 0};
    }
    return null;
  }

  // What a file of a records folder is, by its name: {kind, instrument,
  // start, end, daily}, kind "registros" (NAME-YYYY-MM.csv,
  // NAME-YYYY-MM-DD.csv), "servicio" (the same with ".servicio" before
  // ".csv", written while the main file is held) or "campos"
  // (NAME-campos.txt); null for anything else.
  function fileKind(fileName) {
    if (fileName.endsWith(FIELD_NAMES_ENDING)) {
      const name = fileName.slice(0, -FIELD_NAMES_ENDING.length);
      return isRecordsName(name) ? {kind: "campos", instrument: name} : null;
    }
    let kind = "registros";
    let stem;
    if (fileName.endsWith(SERVICE_ENDING)) {
      kind = "servicio";
      stem = fileName.slice(0, -SERVICE_ENDING.length);
    } else if (fileName.endsWith(".csv")) {
      stem = fileName.slice(0, -4);
    } else {
      return null;
    }
    const period = periodOf(stem);
    if (!period || !isRecordsName(period.name)) return null;
    return {kind: kind, instrument: period.name, start: period.start, end: period.end,
            daily: period.daily};
  }

  // ---- lines

  function digits(bytes, from, count) {
    let value = 0;
    for (let i = from; i < from + count; i++) {
      const digit = bytes[i] - 48;
      if (!(digit >= 0 && digit <= 9)) return -1;
      value = value * 10 + digit;
    }
    return value;
  }

  // The UTC time (ms) of bytes[from, to), a line without its LF, when it is
  // a record as the writer writes it: a stamp of a real date and time, a
  // comma, then the record, with no NUL, LF or CR but one CR at its end, at
  // most MAX_LINE_BYTES in all; NaN when it is not. The days of a file's
  // stamps repeat: a day's start is worked out once (day).
  function lineTime(bytes, from, to, day = {}) {
    const length = to - from;
    if (length < STAMP_LENGTH || length > MAX_LINE_BYTES) return NaN;
    for (const [at, mark] of STAMP_MARKS) if (bytes[from + at] !== mark) return NaN;
    const hour = digits(bytes, from + 11, 2);
    const minute = digits(bytes, from + 14, 2);
    const second = digits(bytes, from + 17, 2);
    const ms = digits(bytes, from + 20, 3);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0) {
      return NaN;
    }
    const date = digits(bytes, from, 4) * 10000 + digits(bytes, from + 5, 2) * 100 +
                 digits(bytes, from + 8, 2);
    if (date !== day.date) {
      const year = digits(bytes, from, 4);
      const month = digits(bytes, from + 5, 2);
      const dayOfMonth = digits(bytes, from + 8, 2);
      day.date = date;
      day.start = year >= 0 && month >= 1 && month <= 12 && dayOfMonth >= 1 &&
                  dayOfMonth <= daysInMonth(year, month)
        ? Date.UTC(year, month - 1, dayOfMonth) : NaN;
    }
    if (Number.isNaN(day.start)) return NaN;
    for (let i = from + STAMP_LENGTH; i < to; i++) {
      const c = bytes[i];
      if (c === 0 || c === 10 || (c === 13 && i + 1 !== to)) return NaN;
    }
    return day.start + ((hour * 60 + minute) * 60 + second) * 1000 + ms;
  }

  function isRecordLine(bytes, from = 0, to = bytes.length) {
    return !Number.isNaN(lineTime(bytes, from, to));
  }

  // Text to show of a line whose first bytes are bytes[from, to): at most
  // `most` of them, whatever they are, with the line's length when cut.
  function shownText(bytes, from, to, most = 300, length = to - from) {
    const text = lossy.decode(bytes.subarray(from, Math.min(to, from + most)));
    return length > most ? text + "… (" + length.toLocaleString("es-ES") + " bytes)" : text;
  }

  // The whole lines of bytes[from, to) (to just past a LF), each as
  // {t, record, at, end}: t the stamp (NaN for a line that is no record,
  // which has its text to show instead), record its text after the stamp
  // without a Windows CR, null where it is not UTF-8; at and end its bytes,
  // the LF left out.
  function readLines(bytes, from, to) {
    const lines = [];
    const day = {};
    let texts = null;
    try {
      texts = utf8.decode(bytes.subarray(from, to)).split("\n");
    } catch (notUtf8) {
      texts = null;  // each line is decoded on its own below
    }
    let i = 0;
    for (let at = from; at < to; i++) {
      let end = bytes.indexOf(10, at);
      if (end < 0 || end >= to) end = to;
      const t = lineTime(bytes, at, end, day);
      let record = null;
      if (!Number.isNaN(t)) {
        const cut = bytes[end - 1] === 13 ? 1 : 0;
        if (texts) {
          record = texts[i].slice(STAMP_LENGTH, texts[i].length - cut);
        } else {
          try {
            record = utf8.decode(bytes.subarray(at + STAMP_LENGTH, end - cut));
          } catch (notUtf8) {
            record = null;
          }
        }
      }
      const line = {t: t, record: record, at: at, end: end};
      if (Number.isNaN(t)) line.shown = shownText(bytes, at, end);
      lines.push(line);
      at = end + 1;
    }
    return lines;
  }

  // ---- fields

  // Where the field that begins at start ends. Fields are split at commas
  // before the record's first "%" (percent, after its first character), at
  // ";" after it; the field that holds the "%" keeps it.
  function fieldEnd(record, start, percent) {
    let end;
    if (percent < 0 || start > percent) {
      end = record.indexOf(percent < 0 ? "," : ";", start);
    } else {
      end = record.indexOf(",", start);
      if (end < 0 || end > percent) end = record.indexOf(";", percent);
    }
    return end < 0 ? record.length : end;
  }

  // The number a field holds (a trailing "%" allowed), or null; fields after
  // the "%" have "," as their decimal mark.
  function fieldNumber(field, decimalComma) {
    let text = field;
    if (text.charCodeAt(text.length - 1) === 37) text = text.slice(0, -1);  // "%"
    if (decimalComma) {
      if (text.indexOf(".") >= 0) return null;
      text = text.replace(",", ".");
    }
    // Number() also takes "", "0x1f", "Infinity": only a decimal number counts.
    if (!NUMBER.test(text.trim())) return null;
    const value = Number(text);
    return Number.isFinite(value) ? value : null;
  }

  // Each field's number, or null where it holds none: one entry per field
  // (the record's first field is position 1, entry 0).
  function fieldValues(record) {
    const percent = record.indexOf("%", 1);
    const values = [];
    for (let start = 0; start <= record.length;) {
      const end = fieldEnd(record, start, percent);
      values.push(fieldNumber(record.slice(start, end), percent >= 0 && start > percent));
      start = end + 1;
    }
    return values;
  }

  // ---- the field names and limits beside the records

  // What a line of NAME-campos.txt (its bytes, without the line feed) sets:
  // {kind: "name" | "min" | "max", position, value}, or null for a comment
  // or any other line. As the writer's C++ reads them: positions 1 to 2048
  // in at most 4 digits, names of 1 to 64 bytes of UTF-8 with no control
  // character, limits with "," or "." as decimal mark; lines past 256 bytes
  // say nothing.
  function campoLine(bytes) {
    if (bytes.length > CAMPO_LINE_BYTES) return null;
    let text;
    try {
      text = STRICT_UTF8.decode(bytes);
    } catch (e) {
      text = null;  // only a name could hold such bytes, and none may
    }
    const m = text === null ? null : CAMPO_LINE.exec(text);
    const position = m ? Number(m[1]) : 0;
    if (position < 1 || position > CAMPO_MAX_POSITION) return null;
    if (!m[2]) {
      const size = new TextEncoder().encode(m[3]).length;
      if (!size || size > CAMPO_NAME_BYTES || CONTROL.test(m[3])) return null;
      return {kind: "name", position: position, value: m[3]};
    }
    if (m[3].length >= 40 || !LIMIT.test(m[3])) return null;
    return {kind: m[2].toLowerCase(), position: position, value: Number(m[3].replace(",", "."))};
  }

  // {names, min, max}, each {position: value}, of NAME-campos.txt's bytes.
  function parseCampos(bytes) {
    const found = {names: {}, min: {}, max: {}};
    for (let start = 0; start < bytes.length;) {
      let end = bytes.indexOf(10, start);
      if (end < 0) end = bytes.length;
      const campo = campoLine(bytes.subarray(start, end));
      if (campo) found[campo.kind === "name" ? "names" : campo.kind][campo.position] = campo.value;
      start = end + 1;
    }
    return found;
  }

  // ---- time

  // The period from the stamps: the median spacing of the latest of them.
  function periodFrom(times) {
    const spacings = [];
    for (let i = times.length - 1; i > 0 && spacings.length < 64; i--) {
      const spacing = times[i] - times[i - 1];
      if (spacing > 0) spacings.push(spacing);
    }
    if (!spacings.length) return null;
    spacings.sort((a, b) => a - b);
    return spacings[spacings.length >> 1];
  }

  // The rows ([t, ...]) with a row of nulls wherever polls are missing, so
  // that no line is drawn across an unplug, an outage or a stop.
  function withGaps(rows, period) {
    if (!period) return rows;
    const out = [];
    const empty = rows.length ? rows[0].length - 1 : 0;
    for (let i = 0; i < rows.length; i++) {
      if (i > 0 && rows[i][0] - rows[i - 1][0] > 1.5 * period) {
        const gap = [(rows[i][0] + rows[i - 1][0]) / 2];
        for (let k = 0; k < empty; k++) gap.push(null);
        out.push(gap);
      }
      out.push(rows[i]);
    }
    return out;
  }

  return {HOUR, DAY, MAX_LINE_BYTES, isRecordsName, fileKind, lineTime, isRecordLine,
          readLines, shownText, fieldValues, campoLine, parseCampos, periodFrom, withGaps};
})();
