"use strict";
// An instrument's charts: one per numeric field on the same time axis, each
// on a scale of its own, with the field's limits drawn where
// NAME-campos.txt sets them. Zoom by dragging (or with two fingers), undo by
// a double click (or a double tap): every chart of the instrument follows.
const TorvexCharts = (() => {
  const EXACT_UP_TO = 5000;  // records a chart draws each as a point
  const COLORS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf",
                  "#8c564b", "#e377c2"];
  const LIMIT_COLOR = "#b00";

  function two(n) {
    return String(n).padStart(2, "0");
  }

  function localTime(ms) {
    const d = new Date(ms);
    return d.getFullYear() + "-" + two(d.getMonth() + 1) + "-" + two(d.getDate()) + " " +
      two(d.getHours()) + ":" + two(d.getMinutes()) + ":" + two(d.getSeconds());
  }

  // The axis' dates in Spanish: "10 dic" rather than "10 Dec".
  const MONTHS = {Jan: "ene", Feb: "feb", Mar: "mar", Apr: "abr", May: "may", Jun: "jun",
                  Jul: "jul", Aug: "ago", Sep: "sep", Oct: "oct", Nov: "nov", Dec: "dic"};
  function axisDate(date, granularity, opts) {
    return Dygraph.dateAxisLabelFormatter(date, granularity, opts)
      .replace(/\b[A-Z][a-z]{2}\b/, month => MONTHS[month] || month);
  }

  // A field's points: every record's, or, past EXACT_UP_TO records, the
  // lowest and the highest of each pixel column's records in their order:
  // the same picture from far fewer points. Gaps stay gaps.
  function fieldData(data, k, window, columns) {
    if (data.length <= EXACT_UP_TO) return data.map(row => [row[0], row[k]]);
    const width = (window[1] - window[0]) / Math.max(100, columns);
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

  // The values' range widened to take in the limits, so that a limit far
  // from the readings is still seen; null (the chart's own) without limits.
  function valueRange(points, low, high) {
    if (low === undefined && high === undefined) return null;
    let least = Infinity;
    let most = -Infinity;
    for (const [, value] of points) {
      if (value === null) continue;
      if (value < least) least = value;
      if (value > most) most = value;
    }
    for (const limit of [low, high]) {
      if (limit === undefined) continue;
      least = Math.min(least, limit);
      most = Math.max(most, limit);
    }
    const pad = (most - least) * 0.08 || Math.abs(most) * 0.08 || 1;
    return [least - pad, most + pad];
  }

  // One finger scrolls the page, as everywhere else on a phone; two zoom.
  const touchModel = Object.assign({}, Dygraph.defaultInteractionModel, {
    touchstart(event, g, context) {
      context.pinching = event.touches.length > 1;
      if (context.pinching) Dygraph.defaultInteractionModel.touchstart(event, g, context);
    },
    touchmove(event, g, context) {
      if (context.pinching && event.touches.length > 1) {
        Dygraph.defaultInteractionModel.touchmove(event, g, context);
      }
    },
    touchend(event, g, context) {
      if (context.pinching || event.touches.length === 0) {
        Dygraph.defaultInteractionModel.touchend(event, g, context);
      }
      context.pinching = event.touches.length > 1;
    },
  });

  // Every chart of a set at the same window: the zoom one of them took, or
  // back to the set's own window when it was undone.
  function follow(set, from, minimum, maximum) {
    const zoomed = set.charts[from].isZoomed("x") &&
                   (minimum > set.window[0] || maximum < set.window[1]);
    set.zoomed = zoomed;
    const window = zoomed ? [minimum, maximum] : set.window;
    // An undone zoom also undid the range that takes in the limits.
    set.charts.forEach((chart, i) => chart.updateOptions(
      {dateWindow: window, valueRange: set.ranges[i]}));
  }

  function newChart(set, box, field, data, window) {
    const color = COLORS[field.index % COLORS.length];
    const options = {
      labels: ["hora", field.label],
      colors: [color],
      dateWindow: window,
      connectSeparatedPoints: false,
      drawGapEdgePoints: true,
      legend: "follow",
      resizable: "passive",
      interactionModel: touchModel,
      axes: {x: {ticker: Dygraph.dateTicker, axisLabelFormatter: axisDate,
                  valueFormatter: localTime},
             y: {axisLabelWidth: 50}},
      underlayCallback: (context, area, g) => drawLimits(context, area, g, field),
      zoomCallback: (minimum, maximum) => follow(set, field.index, minimum, maximum),
    };
    set.ranges[field.index] = valueRange(data, field.low, field.high);
    if (set.ranges[field.index]) options.valueRange = set.ranges[field.index];
    return new Dygraph(box, data, options);
  }

  function drawLimits(context, area, g, field) {
    context.save();
    context.strokeStyle = LIMIT_COLOR;
    context.setLineDash([6, 4]);
    context.lineWidth = 1;
    for (const limit of [field.low, field.high]) {
      if (limit === undefined) continue;
      const y = Math.round(g.toDomYCoord(limit)) + 0.5;
      context.beginPath();
      context.moveTo(area.x, y);
      context.lineTo(area.x + area.w, y);
      context.stroke();
    }
    context.restore();
  }

  // Draws (or redraws) a set of charts: set = {charts, window, zoomed},
  // boxes the chart elements, fields [{index, label, low, high}], data the
  // rows [t, value...] with gaps, window the time range shown.
  function draw(set, boxes, fields, data, window) {
    const columns = boxes.length ? boxes[0].clientWidth : 0;
    set.window = window;
    if (!set.charts) {
      set.ranges = [];
      set.charts = fields.map((field, i) =>
        newChart(set, boxes[i], field, fieldData(data, i + 1, window, columns), window));
      return;
    }
    set.charts.forEach((chart, i) => {
      const points = fieldData(data, i + 1, window, columns);
      const options = {file: points};
      set.ranges[i] = valueRange(points, fields[i].low, fields[i].high);
      if (set.ranges[i]) options.valueRange = set.ranges[i];
      if (!set.zoomed) options.dateWindow = window;
      chart.updateOptions(options);
    });
  }

  function destroy(set) {
    for (const chart of set.charts || []) chart.destroy();
    set.charts = null;
    set.zoomed = false;
  }

  return {draw, destroy, localTime, two};
})();
