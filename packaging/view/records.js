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
  // The UTC time the request went out, then the record.
  const STAMP = /^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3}),/;
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

  // The fields of a record: split at commas before its first "%" (after the
  // first character), at ";" after it, where "," is the decimal mark. The
  // field that holds the "%" keeps it. Returns {fields, commaFrom}: fields
  // from commaFrom on have a decimal comma.
  function splitFields(record) {
    const percent = record.indexOf("%", 1);
    if (percent < 0) return {fields: record.split(","), commaFrom: Infinity};
    const before = record.slice(0, percent).split(",");
    const after = record.slice(percent).split(";");
    before[before.length - 1] += after[0];
    return {fields: before.concat(after.slice(1)), commaFrom: before.length};
  }

  // The number a field holds (a trailing "%" allowed), or null.
  function fieldNumber(field, decimalComma) {
    let text = field.trim();
    if (text.endsWith("%")) text = text.slice(0, -1).trimEnd();
    if (decimalComma) {
      if (text.indexOf(".") >= 0) return null;
      text = text.replace(",", ".");
    }
    return NUMBER.test(text) ? Number(text) : null;
  }

  // {t (UTC ms), record} of one line, or null when it carries no stamp.
  function parseLine(line) {
    const m = STAMP.exec(line);
    if (!m) return null;
    const t = Date.UTC(Number(m[1]), Number(m[2]) - 1, Number(m[3]), Number(m[4]),
                       Number(m[5]), Number(m[6]), Number(m[7]));
    let record = line.slice(m[0].length);
    if (record.endsWith("\r")) record = record.slice(0, -1);  // CR LF from Windows
    return {t: t, record: record};
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

  // A chart row: [t, the number at each position or null].
  function rowOf(t, record, positions) {
    const split = splitFields(record);
    const row = [t];
    for (const position of positions) {
      const field = split.fields[position - 1];
      row.push(field === undefined ? null
                                   : fieldNumber(field, position - 1 >= split.commaFrom));
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
