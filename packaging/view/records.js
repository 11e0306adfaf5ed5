"use strict";
// The records files as the loggers write them: their names, their stamped
// lines and the fields of a record. No page state here.
const TorvexRecords = (() => {
  const HOUR = 3600e3;
  const DAY = 24 * HOUR;
  // NAME-YYYY-MM.csv, or NAME-YYYY-MM-DD.csv when the period is under 3 s.
  // Anything else in the folder (version 1.0's NAME.csv and its rotated
  // copies, message logs, field names) is no records file of this kind.
  const FILE_NAME = /^([A-Za-z0-9_][A-Za-z0-9._-]{0,31})-(\d{4})-(\d\d)(?:-(\d\d))?\.csv$/;
  // The UTC time the request went out, then the record: "YYYY-MM-DDTHH:MM:SS.mmm,".
  const STAMP_LENGTH = 24;
  // Where "-", "T", ":", "." and "," stand, as character codes.
  const STAMP_MARKS = [[4, 45], [7, 45], [10, 84], [13, 58], [16, 58], [19, 46], [23, 44]];
  const NUMBER = /^[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?$/;
  // A field-names line beside the records: "4=Temperatura".
  const NAME_LINE = /^\s*(\d+)\s*=\s*(.*\S)\s*$/;

  // {instrument, start, end (UTC ms, end excluded), daily} or null.
  function parseFileName(name) {
    const m = FILE_NAME.exec(name);
    if (!m) return null;
    const year = Number(m[2]);
    const month = Number(m[3]);
    const day = m[4] === undefined ? 0 : Number(m[4]);
    if (month < 1 || month > 12) return null;
    const start = Date.UTC(year, month - 1, day || 1);
    if (day && (day < 1 || new Date(start).getUTCDate() !== day)) return null;
    const end = day ? start + DAY : Date.UTC(year, month, 1);
    return {instrument: m[1], start: start, end: end, daily: day !== 0};
  }

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

  // The fields of a record; those from commaFrom on, after the "%", have ","
  // as their decimal mark.
  function splitFields(record) {
    const percent = record.indexOf("%", 1);
    const fields = [];
    let commaFrom = Infinity;
    for (let start = 0; start <= record.length;) {
      if (percent >= 0 && start > percent && commaFrom === Infinity) commaFrom = fields.length;
      const end = fieldEnd(record, start, percent);
      fields.push(record.slice(start, end));
      start = end + 1;
    }
    return {fields: fields, commaFrom: commaFrom};
  }

  // The number a field holds (a trailing "%" allowed), or null.
  function fieldNumber(field, decimalComma) {
    let text = field;
    if (text.charCodeAt(text.length - 1) === 37) text = text.slice(0, -1);  // "%"
    if (decimalComma) {
      if (text.indexOf(".") >= 0) return null;
      text = text.replace(",", ".");
    }
    const value = Number(text);
    // Number() also takes "", "0x1f", "Infinity": only a decimal number counts.
    if (!Number.isFinite(value) || !NUMBER.test(text.trim())) return null;
    return value;
  }

  function digits(line, from, count) {
    let value = 0;
    for (let i = from; i < from + count; i++) {
      const digit = line.charCodeAt(i) - 48;
      if (digit < 0 || digit > 9) return -1;
      value = value * 10 + digit;
    }
    return value;
  }

  // {t (UTC ms), record} of one line, or null when it carries no stamp. The
  // stamps of a file share their days: a day's start is worked out once (day).
  function parseLine(line, day = {}) {
    if (line.length < STAMP_LENGTH) return null;
    for (const [at, mark] of STAMP_MARKS) if (line.charCodeAt(at) !== mark) return null;
    const hour = digits(line, 11, 2);
    const minute = digits(line, 14, 2);
    const second = digits(line, 17, 2);
    const ms = digits(line, 20, 3);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0) {
      return null;
    }
    const date = line.slice(0, 10);
    if (date !== day.date) {
      const year = digits(line, 0, 4);
      const month = digits(line, 5, 2);
      const dayOfMonth = digits(line, 8, 2);
      const start = Date.UTC(year, month - 1, dayOfMonth);
      const back = new Date(start);
      day.start = year >= 0 && month >= 1 && month <= 12 && back.getUTCDate() === dayOfMonth &&
                   back.getUTCMonth() === month - 1 ? start : null;
      day.date = date;
    }
    if (day.start === null) return null;
    let record = line.slice(STAMP_LENGTH);
    if (record.endsWith("\r")) record = record.slice(0, -1);  // CR LF from Windows
    return {t: day.start + ((hour * 60 + minute) * 60 + second) * 1000 + ms, record: record};
  }

  // Positions (1 for the record's first field) of the fields that hold a number.
  function numericPositions(record) {
    const split = splitFields(record);
    const positions = [];
    split.fields.forEach((field, i) => {
      if (fieldNumber(field, i >= split.commaFrom) !== null) positions.push(i + 1);
    });
    return positions;
  }

  // A chart row: [t, the number at each position (ascending) or null].
  function rowOf(t, record, positions) {
    const row = [t];
    const percent = record.indexOf("%", 1);
    let position = 1;
    let start = 0;
    for (const wanted of positions) {
      for (; position < wanted && start <= record.length; position++) {
        start = fieldEnd(record, start, percent) + 1;
      }
      if (start > record.length) {
        row.push(null);
      } else {
        const field = record.slice(start, fieldEnd(record, start, percent));
        row.push(fieldNumber(field, percent >= 0 && start > percent));
      }
    }
    return row;
  }

  // The period from the stamps: the median spacing of the latest records.
  function periodOf(rows) {
    const spacings = [];
    for (let i = rows.length - 1; i > 0 && spacings.length < 64; i--) {
      const spacing = rows[i][0] - rows[i - 1][0];
      if (spacing > 0) spacings.push(spacing);
    }
    if (!spacings.length) return null;
    spacings.sort((a, b) => a - b);
    return spacings[spacings.length >> 1];
  }

  // The rows with a row of nulls wherever polls are missing, so that no
  // line is drawn across an unplug, an outage or a stop.
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

  // {position: name} from the lines of NAME-campos.txt.
  function parseFieldNames(text) {
    const names = {};
    for (const line of text.split("\n")) {
      const m = NAME_LINE.exec(line);
      if (m && !line.trim().startsWith("#")) names[Number(m[1])] = m[2];
    }
    return names;
  }

  return {HOUR, DAY, parseFileName, splitFields, fieldNumber, parseLine, numericPositions,
          rowOf, periodOf, withGaps, parseFieldNames};
})();
