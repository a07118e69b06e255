// The viewer's plots: a spectrum against energy with the element lines of
// the result marked, and one element's values with their sigma across tests.
// Data comes from the JSON twin named in the section's data-src.
'use strict';

(function () {
  var errors = [];
  window.addEventListener('error', function (event) {
    errors.push(String(event.message));
    document.body.dataset.scriptErrors = errors.join(' | ');
  });

  // dygraphs writes labels and legends as HTML.
  function html(text) {
    var span = document.createElement('span');
    span.textContent = text;
    return span.innerHTML;
  }

  function failed(section, why) {
    section.dataset.ready = 'failed';
    var note = document.createElement('p');
    note.className = 'note';
    note.textContent = 'No plot: ' + why;
    section.appendChild(note);
  }

  function load(section, draw) {
    if (typeof Dygraph === 'undefined') {
      failed(section, 'the plotting library is not installed');
      return;
    }
    fetch(section.dataset.src, { credentials: 'same-origin' })
      .then(function (response) {
        if (!response.ok) throw new Error('HTTP ' + response.status);
        return response.json();
      })
      .then(function (data) { draw(section, data); section.dataset.ready = '1'; })
      .catch(function (e) { failed(section, e.message); });
  }

  function spectrum(section, s) {
    var rows = s.channels.map(function (count, channel) {
      return [s.offsetKeV + s.slopeKeV * channel, count];
    });
    var labels = section.querySelector('.line-labels');
    var marks = s.lines.map(function (line) {
      var span = document.createElement('span');
      span.className = 'line-label';
      span.dataset.element = line.element;
      span.dataset.energy = line.energyKeV;
      span.textContent = line.element + ' ' + line.line;
      labels.appendChild(span);
      return { line: line, span: span };
    });
    var plot = section.querySelector('.plot');
    var from = Math.max(0, rows.length ? rows[0][0] : 0);
    var graph = new Dygraph(plot, rows, {
      labels: ['keV', 'counts'],
      xlabel: 'Energy (keV)',
      ylabel: 'Counts',
      dateWindow: s.topEnergyKeV > from ? [from, s.topEnergyKeV] : null,
      colors: ['#1f4e99'],
      strokeWidth: 1,
      underlayCallback: function (ctx, area, g) {
        ctx.save();
        ctx.strokeStyle = 'rgba(187, 0, 0, 0.6)';
        ctx.setLineDash([4, 3]);
        marks.forEach(function (m) {
          var x = g.toDomXCoord(m.line.energyKeV);
          if (x < area.x || x > area.x + area.w) return;
          ctx.beginPath();
          ctx.moveTo(x, area.y);
          ctx.lineTo(x, area.y + area.h);
          ctx.stroke();
        });
        ctx.restore();
      },
      drawCallback: function (g) {
        var area = g.getArea();
        var top = plot.offsetTop;
        marks.forEach(function (m, i) {
          var x = g.toDomXCoord(m.line.energyKeV);
          m.span.classList.toggle('hidden', x < area.x || x > area.x + area.w);
          m.span.style.left = (plot.offsetLeft + x) + 'px';
          m.span.style.top = (top + area.y + 2 + (i % 3) * 14) + 'px';
        });
      }
    });
    section.querySelector('.logscale').addEventListener('change', function (event) {
      graph.updateOptions({ logscale: event.target.checked });
    });
  }

  function trend(section, t) {
    var rows = t.points.map(function (p) {
      return [new Date(p.dateTime.replace(' ', 'T') + 'Z'), [p.concentration, p.error]];
    });
    var name = html(t.element + ' (' + t.unit + ')');
    new Dygraph(section.querySelector('.plot'), rows, {
      labels: ['time', name],
      errorBars: true,
      sigma: 1,
      drawPoints: true,
      pointSize: 3,
      strokeWidth: 0,
      ylabel: name
    });
  }

  document.addEventListener('DOMContentLoaded', function () {
    document.querySelectorAll('section.spectrum').forEach(function (s) { load(s, spectrum); });
    document.querySelectorAll('section.trend').forEach(function (s) { load(s, trend); });
    document.querySelectorAll('button.select-all').forEach(function (button) {
      button.addEventListener('click', function () {
        var boxes = button.form.querySelectorAll('input[type=checkbox][name=id]');
        var all = Array.prototype.every.call(boxes, function (b) { return b.checked; });
        boxes.forEach(function (b) { b.checked = !all; });
      });
    });
  });
})();
