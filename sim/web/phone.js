// Draws a run of the modeled phone: the timeline lanes (causes above, what a
// person perceives in the middle, the events below) and the phone at one
// moment. The report calls it once with the whole run; the live page calls
// it again as records stream in.
'use strict';

const Phone = (() => {
  const SVG = 'http://www.w3.org/2000/svg';
  const PREFIX = 'com.veltrasse.quelline/';

  // Every fade of this system uses the platform's default curve: it eases
  // in and out. An alpha set at once has duration 0.
  const ease = (x) => x * x * (3 - 2 * x);
  // How long a mark stays on the phone drawing after it happened.
  const SHOWN_FOR = { banner: 3, hud: 1.5, feedback: 0.6, sound: 1, wake: 1 };

  function el(tag, attrs, parent, text) {
    const node = document.createElementNS(SVG, tag);
    for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
    if (text !== undefined) node.textContent = text;
    if (parent) parent.appendChild(node);
    return node;
  }
  function title(node, text) {
    el('title', {}, node, text);
    return node;
  }
  const fmt = (t) => (Math.round(t * 1000) / 1000).toFixed(3);
  const shortName = (name) => (name && name.startsWith(PREFIX) ? name.slice(PREFIX.length) : name);
  const words = (text) => text.trim().split(/\s+/);

  // --- The model: what the records say about every moment of the run. ---

  // The alpha an animation shows at `t` (from its start on).
  function valueOf(a, t) {
    if (a.dur <= 0) return a.to;
    const p = Math.min(1, Math.max(0, (t - a.start) / a.dur));
    return a.from + (a.to - a.from) * ease(p);
  }

  class Model {
    constructor(data) {
      this.data = data;
      this.rebuild();
    }

    rebuild() {
      const d = this.data;
      this.commands = d.commands || [];
      this.events = d.events || [];
      this.states = d.states || [];
      this.expectations = d.expectations || [];
      this.views = { list: [], icons: [] };
      this.boots = [];
      for (const c of this.commands) {
        const verb = words(c.text)[0];
        if (verb === 'boot' || verb === 'restart') this.boots.push(c.t);
      }
      // A new process starts with both views opaque.
      const resets = this.boots.map((t) => ({ t, reset: true }));
      const alphas = this.events.filter((e) => e.event === 'alpha');
      const merged = resets.concat(alphas).sort((a, b) => a.t - b.t || (b.reset ? 1 : 0) - (a.reset ? 1 : 0));
      for (const view of ['list', 'icons']) {
        const anims = this.views[view];
        for (const e of merged) {
          if (e.reset) {
            anims.push({ start: e.t, from: 1, to: 1, dur: 0 });
          } else if (e.view === view) {
            const from = this.alphaAt(view, e.t);
            anims.push({ start: e.t, from: from === null ? 1 : from, to: e.value, dur: e.duration || 0 });
          }
        }
      }
    }

    end() {
      let end = this.data.end || 0;
      for (const list of [this.commands, this.events, this.states])
        if (list.length) end = Math.max(end, list[list.length - 1].t);
      return end;
    }

    // The alpha a person sees on `view` at `t`, null before the process.
    alphaAt(view, t) {
      const anims = this.views[view];
      let a = null;
      for (const x of anims) {
        if (x.start <= t) a = x;
        else break;
      }
      return a ? valueOf(a, t) : null;
    }

    // Points of the alpha curve from t0 to t1: ramps sampled, jumps vertical.
    alphaCurve(view, t0, t1) {
      const anims = this.views[view];
      const runs = [];
      let points = [];
      for (let i = 0; i < anims.length; ++i) {
        const a = anims[i];
        const next = i + 1 < anims.length ? anims[i + 1].start : t1;
        if (a.from === 1 && a.to === 1 && a.dur === 0 && points.length && this.boots.includes(a.start)) {
          runs.push(points); // a new process: a new curve
          points = [];
        }
        points.push([a.start, a.from]);
        if (a.dur > 0) {
          const stop = Math.min(a.start + a.dur, next);
          const steps = 24;
          for (let k = 1; k <= steps; ++k) {
            const t = a.start + ((stop - a.start) * k) / steps;
            const p = Math.min(1, (t - a.start) / a.dur);
            points.push([t, a.from + (a.to - a.from) * ease(p)]);
          }
        } else {
          points.push([a.start, a.to]);
        }
        points.push([next, valueOf(a, next)]);
      }
      if (points.length) runs.push(points);
      return runs.map((r) => r.filter(([t]) => t >= t0 - 1e-9 && t <= t1 + 1e-9));
    }

    // The state recorded last at or before `t` (after the command then).
    stateAt(t) {
      let s = null;
      for (const x of this.states) {
        if (x.t <= t + 1e-9) s = x;
        else break;
      }
      return s;
    }

    // Piecewise-constant values drawn from the states: [{t0, t1, value}].
    steps(pick, t1) {
      const out = [];
      for (let i = 0; i < this.states.length; ++i) {
        const s = this.states[i];
        const value = pick(s);
        const last = out[out.length - 1];
        if (last && last.value === value) continue;
        if (last) last.t1 = s.t;
        out.push({ t0: s.t, t1, value });
      }
      return out;
    }

    eventsOf(kind) {
      return this.events.filter((e) => e.event === kind);
    }

    // Notifications that arrived, each with the re-alert count the host got.
    notifications() {
      const out = [];
      for (const c of this.commands) {
        const w = words(c.text);
        if (w[0] !== 'notify') continue;
        const s = this.states.find((x) => x.line === c.line && x.t >= c.t - 1e-9 && x.t <= c.t + 1e-9);
        const realerts = s && s.state && Array.isArray(s.state.realerts) ? s.state.realerts : [];
        out.push({ t: c.t, app: w[1], realerts: realerts.length ? realerts[realerts.length - 1] : null });
      }
      return out;
    }

    // Notifications in the list at `t`: since the process started or the
    // list was cleared.
    listAt(t) {
      let since = -Infinity;
      for (const c of this.commands) {
        if (c.t > t + 1e-9) break;
        const verb = words(c.text)[0];
        if (verb === 'boot' || verb === 'restart' || verb === 'clear') since = c.t;
      }
      return this.notifications().filter((n) => n.t >= since && n.t <= t + 1e-9);
    }

    latest(kind, t, within) {
      let found = null;
      for (const e of this.events) {
        if (e.t > t + 1e-9) break;
        if (e.event === kind && e.t >= t - within) found = e;
      }
      return found;
    }
  }

  // --- The timeline. ---

  const LABEL = 200; // width of the lane labels
  const LANES = [
    { id: 'commands', group: 'causes', label: 'Scenario commands', h: 30 },
    { id: 'switch', group: 'causes', label: 'Ring/silent switch', h: 20 },
    { id: 'toggle', group: 'causes', label: 'Control Center toggle', h: 20 },
    { id: 'front', group: 'causes', label: 'App in front', h: 20 },
    { id: 'prefs', group: 'causes', label: 'Preference file', h: 20 },
    { id: 'list', group: 'effects', label: 'Notification list (alpha)', h: 56, curve: true },
    { id: 'icons', group: 'effects', label: 'Home-screen icons (alpha)', h: 56, curve: true },
    { id: 'banners', group: 'effects', label: 'Banners', h: 22 },
    { id: 'sounds', group: 'effects', label: 'Sounds and haptic taps', h: 22 },
    { id: 'hud', group: 'effects', label: 'Ringer display', h: 20 },
    { id: 'wakes', group: 'effects', label: 'Screen wakes', h: 20 },
    { id: 'realerts', group: 'effects', label: 'Re-alerts', h: 20 },
    { id: 'events', group: 'events', label: 'Events posted', h: 18 },
  ];

  class Timeline {
    constructor(container, model, options) {
      this.container = container;
      this.model = model;
      this.options = options || {};
      this.onPick = null;
    }

    draw(t0, t1) {
      const m = this.model;
      this.t0 = t0;
      this.t1 = t1;
      const width = Math.max(640, Math.floor(this.container.getBoundingClientRect().width) || 900);
      const plot = width - LABEL - 16;
      const x = (t) => LABEL + ((t - t0) / (t1 - t0 || 1)) * plot;
      this.x = x;
      this.plotWidth = plot;
      let height = 28;
      for (const lane of LANES) height += lane.h + 6;
      height += 14;
      const svg = el('svg', {
        id: 'timeline-svg', width, height, viewBox: `0 0 ${width} ${height}`, role: 'img',
        'aria-label': 'Timeline of the run', 'data-t0': t0, 'data-t1': t1,
        'data-x0': LABEL, 'data-x1': LABEL + plot,
      });
      this.axis(svg, x, 18, t0, t1, plot);
      let y = 28;
      let group = null;
      for (const lane of LANES) {
        if (lane.group !== group) {
          group = lane.group;
          if (y > 28) el('line', { x1: 0, x2: width, y1: y - 3, y2: y - 3, class: 'separator' }, svg);
        }
        const g = el('g', { class: `lane lane-${lane.id}`, 'data-lane': lane.id, 'data-y': y, 'data-h': lane.h }, svg);
        el('rect', { x: LABEL, y, width: plot, height: lane.h, class: `lane-bg ${lane.group}` }, g);
        el('text', { x: LABEL - 8, y: y + lane.h / 2 + 4, class: 'lane-label', 'text-anchor': 'end' }, g, lane.label);
        this[`lane_${lane.id}`](g, x, y, lane.h, t0, t1);
        y += lane.h + 6;
      }
      this.cursor = el('line', { id: 'cursor', x1: 0, x2: 0, y1: 22, y2: height - 12, class: 'cursor' }, svg);
      svg.addEventListener('pointermove', (ev) => this.pick(svg, ev));
      svg.addEventListener('pointerdown', (ev) => this.pick(svg, ev));
      this.container.replaceChildren(svg);
      this.svg = svg;
    }

    pick(svg, ev) {
      const box = svg.getBoundingClientRect();
      const px = ev.clientX - box.left;
      if (px < LABEL || !this.onPick) return;
      const t = this.t0 + ((px - LABEL) / this.plotWidth) * (this.t1 - this.t0);
      this.onPick(Math.max(this.t0, Math.min(this.t1, t)));
    }

    setCursor(t) {
      if (!this.cursor) return;
      const visible = t >= this.t0 && t <= this.t1;
      this.cursor.setAttribute('x1', this.x(t));
      this.cursor.setAttribute('x2', this.x(t));
      this.cursor.setAttribute('visibility', visible ? 'visible' : 'hidden');
    }

    axis(svg, x, y, t0, t1, plot) {
      const span = t1 - t0 || 1;
      const target = plot / 80;
      const raw = span / target;
      const pow = Math.pow(10, Math.floor(Math.log10(raw)));
      const step = [1, 2, 5, 10].map((k) => k * pow).find((s) => s >= raw) || raw;
      const g = el('g', { class: 'axis' }, svg);
      el('text', { x: LABEL - 8, y, 'text-anchor': 'end', class: 'axis-unit' }, g, 'time (s)');
      for (let t = Math.ceil(t0 / step) * step; t <= t1 + 1e-9; t += step) {
        el('line', { x1: x(t), x2: x(t), y1: y + 4, y2: y + 10 }, g);
        el('text', { x: x(t), y, 'text-anchor': 'middle' }, g, String(Math.round(t * 1000) / 1000));
      }
    }

    mark(g, cls, t, y, h, shape, label, tip) {
      const cx = this.x(t);
      const cy = y + h / 2;
      const node = el('g', { class: `mark ${cls}`, 'data-t': t }, g);
      const r = Math.min(7, h / 2 - 2);
      if (shape === 'square') el('rect', { x: cx - r, y: cy - r, width: 2 * r, height: 2 * r }, node);
      else if (shape === 'hollow') {
        el('rect', { x: cx - r, y: cy - r, width: 2 * r, height: 2 * r, class: 'hollow' }, node);
        el('line', { x1: cx - r, y1: cy + r, x2: cx + r, y2: cy - r, class: 'strike' }, node);
      } else if (shape === 'diamond')
        el('path', { d: `M${cx},${cy - r} L${cx + r},${cy} L${cx},${cy + r} L${cx - r},${cy} Z` }, node);
      else if (shape === 'triangle')
        el('path', { d: `M${cx},${cy - r} L${cx + r},${cy + r} L${cx - r},${cy + r} Z` }, node);
      else el('circle', { cx, cy, r }, node);
      if (label) el('text', { x: cx + r + 3, y: cy + 4, class: 'mark-label' }, node, label);
      title(node, tip);
      return node;
    }

    stepLane(g, y, h, segments, cls, text) {
      for (const s of segments) {
        if (s.value === null || s.value === undefined || s.value === false) continue;
        const x0 = this.x(Math.max(s.t0, this.t0));
        const x1 = this.x(Math.min(s.t1, this.t1));
        if (x1 <= x0 && s.t1 !== s.t0) continue;
        const seg = el('g', { class: `segment ${cls}`, 'data-t0': s.t0, 'data-t1': s.t1 }, g);
        el('rect', { x: x0, y: y + 3, width: Math.max(1, x1 - x0), height: h - 6 }, seg);
        const label = text(s.value);
        if (label && x1 - x0 > 30) el('text', { x: x0 + 4, y: y + h / 2 + 4, class: 'segment-label' }, seg, label);
        title(seg, `${label} from ${fmt(s.t0)} s to ${fmt(s.t1)} s`);
      }
    }

    lane_commands(g, x, y, h) {
      const m = this.model;
      const failedLines = new Set(m.expectations.filter((e) => !e.held).map((e) => `${e.file}:${e.line}`));
      // Commands at the same moment share one tick and one label.
      const groups = [];
      for (const c of m.commands) {
        if (c.t < this.t0 - 1e-9 || c.t > this.t1 + 1e-9) continue;
        const last = groups[groups.length - 1];
        if (last && x(c.t) - x(last[0].t) < 3) last.push(c);
        else groups.push([c]);
      }
      let free = -Infinity;
      for (const group of groups) {
        const cx = x(group[0].t);
        const failed = group.some((c) => failedLines.has(`${c.file}:${c.line}`));
        const node = el('g', { class: `mark command${failed ? ' failed' : ''}`, 'data-t': group[0].t, 'data-lines': group.map((c) => c.line).join(' ') }, g);
        el('line', { x1: cx, x2: cx, y1: y + 2, y2: y + h - 2 }, node);
        if (failed) el('circle', { cx, cy: y + h - 7, r: 5, class: 'failed-dot' }, node);
        title(node, group.map((c) => `${c.file}:${c.line}  ${c.text}  (t = ${fmt(c.t)} s)${failedLines.has(`${c.file}:${c.line}`) ? '  - expectation failed' : ''}`).join('\n'));
        if (cx < free) continue;
        let label = group.map((c) => c.text).join(' · ');
        if (label.length > 40) label = `${label.slice(0, 39)}…`;
        el('text', { x: cx + 3, y: y + 11, class: 'command-label' }, node, label);
        free = cx + 5.5 * label.length + 10;
      }
    }

    lane_switch(g, x, y, h, t0, t1) {
      const segs = this.model.steps((s) => (s.state.ringer ? (s.state.ringer.muted ? 'silent' : 'ring') : null), t1);
      this.stepLane(g, y, h, segs.filter((s) => s.value === 'silent'), 'silent', () => 'silent');
      this.stepLane(g, y, h, segs.filter((s) => s.value === 'ring'), 'ring', () => 'ring');
    }

    lane_toggle(g, x, y, h, t0, t1) {
      const segs = this.model.steps((s) => (s.state.module ? s.state.module.selected : null), t1);
      this.stepLane(g, y, h, segs.filter((s) => s.value === true), 'toggle-on', () => 'on');
    }

    lane_front(g, x, y, h, t0, t1) {
      const segs = this.model.steps((s) => s.front, t1);
      this.stepLane(g, y, h, segs, 'front', (v) => v);
    }

    lane_prefs(g, x, y, h) {
      for (const e of this.model.events) {
        if (e.t < this.t0 || e.t > this.t1) continue;
        if (e.event === 'write') {
          const name = String(e.path).split('/').pop();
          this.mark(g, `write${e.ok ? '' : ' failed'}`, e.t, y, h, 'square', '', `${fmt(e.t)} s: ${name} written${e.ok ? '' : ' (failed)'}`);
        } else if (e.event === 'post' && shortName(e.name) === 'prefsReloaded') {
          this.mark(g, 'reload', e.t, y, h, 'circle', '', `${fmt(e.t)} s: settings reloaded`);
        }
      }
    }

    curve(g, view, y, h) {
      const x = this.x;
      const yOf = (a) => y + 4 + (1 - a) * (h - 8);
      el('line', { x1: LABEL, x2: LABEL + this.plotWidth, y1: yOf(0), y2: yOf(0), class: 'baseline' }, g);
      el('text', { x: LABEL + 2, y: yOf(1) + 8, class: 'curve-scale' }, g, '1');
      el('text', { x: LABEL + 2, y: yOf(0) - 2, class: 'curve-scale' }, g, '0');
      for (const run of this.model.alphaCurve(view, this.t0, this.t1)) {
        if (run.length < 2) continue;
        const points = run.map(([t, a]) => `${x(t).toFixed(2)},${yOf(a).toFixed(2)}`).join(' ');
        el('polyline', { points, class: `curve curve-${view}`, 'data-y0': yOf(0), 'data-y1': yOf(1) }, g);
      }
      // Each change starts where the curve stood.
      for (const a of this.model.views[view]) {
        if (a.start < this.t0 || a.start > this.t1 || this.model.boots.includes(a.start) && a.from === 1 && a.to === 1) continue;
        const node = el('g', { class: 'mark alpha', 'data-t': a.start }, g);
        el('circle', { cx: x(a.start), cy: yOf(a.from), r: 2.5 }, node);
        title(node, `${fmt(a.start)} s: alpha from ${a.from.toFixed(2)} to ${a.to} ${a.dur > 0 ? `over ${a.dur} s` : 'at once'}`);
      }
    }

    lane_list(g, x, y, h) {
      this.curve(g, 'list', y, h);
    }

    lane_icons(g, x, y, h) {
      this.curve(g, 'icons', y, h);
    }

    lane_banners(g, x, y, h) {
      for (const e of this.model.eventsOf('banner')) {
        if (e.t < this.t0 || e.t > this.t1) continue;
        const shown = e.shown !== false;
        this.mark(g, `banner ${shown ? 'shown' : 'hidden'}`, e.t, y, h, shown ? 'square' : 'hollow', shown ? e.app : `${e.app} (hidden)`,
          `${fmt(e.t)} s: banner from ${e.app} ${shown ? 'shown' : 'hidden'}`);
      }
    }

    lane_sounds(g, x, y, h) {
      for (const e of this.model.events) {
        if (e.t < this.t0 || e.t > this.t1) continue;
        if (e.event === 'sound')
          this.mark(g, 'sound', e.t, y, h, 'circle', `sound ${e.sound}`, `${fmt(e.t)} s: notification sound "${e.sound}" played`);
        else if (e.event === 'feedback') {
          const haptic = e.kind === 'haptic';
          this.mark(g, `feedback ${e.kind}`, e.t, y, h, haptic ? 'diamond' : 'triangle', `${e.kind} ${e.id}`,
            `${fmt(e.t)} s: ${haptic ? 'haptic tap' : `${e.kind} sound`} id ${e.id}${haptic ? (e.prepared ? ' (prepared)' : ' (not prepared)') : ''}`);
        }
      }
    }

    lane_hud(g, x, y, h) {
      for (const e of this.model.eventsOf('hud')) {
        if (e.t < this.t0 || e.t > this.t1) continue;
        this.mark(g, 'hud', e.t, y, h, 'square', e.arg ? 'silent' : 'ring', `${fmt(e.t)} s: ringer display shows (${e.arg ? 'silent' : 'ring'})`);
      }
    }

    lane_wakes(g, x, y, h) {
      for (const e of this.model.eventsOf('wake')) {
        if (e.t < this.t0 || e.t > this.t1) continue;
        this.mark(g, 'wake', e.t, y, h, 'circle', e.app, `${fmt(e.t)} s: the display turned on for ${e.app}`);
      }
    }

    lane_realerts(g, x, y, h) {
      for (const n of this.model.notifications()) {
        if (n.t < this.t0 || n.t > this.t1 || n.realerts === null) continue;
        const some = n.realerts > 0;
        this.mark(g, `realert${some ? '' : ' none'}`, n.t, y, h, some ? 'square' : 'hollow', some ? `×${n.realerts}` : '',
          `${fmt(n.t)} s: ${n.app} may alert again ${n.realerts} time(s)`);
      }
    }

    lane_events(g, x, y, h) {
      for (const e of this.model.events) {
        if (e.t < this.t0 || e.t > this.t1) continue;
        if (e.event === 'post') {
          const node = el('g', { class: 'mark post', 'data-t': e.t, 'data-name': shortName(e.name) }, g);
          el('line', { x1: x(e.t), x2: x(e.t), y1: y + 2, y2: y + h - 2 }, node);
          title(node, `${fmt(e.t)} s: ${shortName(e.name)} posted`);
        } else if (e.event === 'darwin' || e.event === 'snapshot' || e.event === 'redraw' || e.event === 'bundle-error') {
          const what = e.event === 'darwin' ? `${e.name} (cross-process)` : e.event === 'snapshot' ? `suspend snapshot of ${e.app}`
            : e.event === 'redraw' ? `toggle redrawn (${e.selected ? 'on' : 'off'})` : `bundle not loaded: ${e.bundle}`;
          const node = el('g', { class: `mark other ${e.event}`, 'data-t': e.t }, g);
          el('circle', { cx: x(e.t), cy: y + h / 2, r: 2.5 }, node);
          title(node, `${fmt(e.t)} s: ${what}`);
        }
      }
      // Labels of the posts where there is room; posts at one moment share one.
      let free = -Infinity;
      let pending = null;
      const flush = () => {
        if (!pending || pending.x < free) return;
        const label = pending.names.join(', ');
        el('text', { x: pending.x + 3, y: y + h - 5, class: 'post-label' }, g, label);
        free = pending.x + 5.5 * label.length + 8;
      };
      for (const node of g.querySelectorAll('.mark.post')) {
        const px = x(Number(node.getAttribute('data-t')));
        const name = node.getAttribute('data-name');
        if (pending && px - pending.x < 3) {
          if (!pending.names.includes(name)) pending.names.push(name);
          continue;
        }
        flush();
        pending = { x: px, names: [name] };
      }
      flush();
    }
  }

  // --- The phone at one moment. ---

  function drawPhone(container, model, t) {
    const s = model.stateAt(t);
    const state = s ? s.state : {};
    const booted = model.boots.some((b) => b <= t + 1e-9);
    const listAlpha = model.alphaAt('list', t);
    const iconsAlpha = model.alphaAt('icons', t);
    const silent = !!(state.ringer && state.ringer.muted);
    const toggle = state.module ? state.module.selected : null;
    const svg = el('svg', { id: 'phone-svg', viewBox: '0 0 240 460', width: 240, height: 460, role: 'img', 'aria-label': `The phone at ${fmt(t)} s` });
    el('rect', { x: 10, y: 4, width: 220, height: 452, rx: 30, class: 'phone-body' }, svg);
    // The ring/silent switch on the left edge: orange when silent.
    const sw = el('g', { id: 'phone-switch', class: silent ? 'silent' : 'ring', 'data-state': silent ? 'silent' : 'ring' }, svg);
    el('rect', { x: 2, y: 70, width: 10, height: 26, rx: 3, class: 'switch-body' }, sw);
    el('rect', { x: 4, y: silent ? 84 : 72, width: 6, height: 10, rx: 2, class: 'switch-knob' }, sw);
    title(sw, `Ring/silent switch: ${silent ? 'silent' : 'ring'}`);
    el('rect', { x: 20, y: 20, width: 200, height: 420, rx: 20, class: booted ? 'screen' : 'screen off' }, svg);
    el('text', { x: 30, y: 38, class: 'status' }, svg, `${fmt(t)} s`);
    if (silent) el('text', { x: 104, y: 38, class: 'status silent-label' }, svg, 'silent');
    // Control Center's toggle, as its button shows in the corner.
    const cc = el('g', { id: 'phone-toggle', 'data-state': toggle === null ? 'absent' : toggle ? 'on' : 'off' }, svg);
    el('circle', { cx: 200, cy: 34, r: 9, class: toggle ? 'toggle on' : toggle === null ? 'toggle absent' : 'toggle off' }, cc);
    el('text', { x: 200, y: 38, 'text-anchor': 'middle', class: 'toggle-glyph' }, cc, 'Q');
    title(cc, toggle === null ? 'Control Center toggle: not loaded' : `Control Center toggle: ${toggle ? 'on' : 'off'}`);
    if (!booted) {
      el('text', { x: 120, y: 230, 'text-anchor': 'middle', class: 'off-label' }, svg, 'not started');
      container.replaceChildren(svg);
      return;
    }
    // The banner slot at the top.
    const banner = model.latest('banner', t, SHOWN_FOR.banner);
    const bg = el('g', { id: 'phone-banner', 'data-state': banner ? (banner.shown ? 'shown' : 'hidden') : 'none' }, svg);
    if (banner) {
      el('rect', { x: 28, y: 48, width: 184, height: 38, rx: 8, class: banner.shown ? 'banner shown' : 'banner hidden' }, bg);
      el('text', { x: 36, y: 64, class: 'banner-app' }, bg, banner.app);
      el('text', { x: 36, y: 78, class: 'banner-text' }, bg, banner.shown ? 'banner shown' : 'banner kept hidden');
    }
    // The notification list.
    const lg = el('g', { id: 'phone-list', opacity: listAlpha === null ? 1 : listAlpha.toFixed(3), 'data-alpha': listAlpha }, svg);
    el('text', { x: 30, y: 106, class: 'area-label' }, lg, 'Notifications');
    const items = model.listAt(t).slice(-3).reverse();
    items.forEach((n, i) => {
      el('rect', { x: 28, y: 114 + i * 36, width: 184, height: 30, rx: 7, class: 'card' }, lg);
      el('text', { x: 36, y: 133 + i * 36, class: 'card-text' }, lg, n.app);
    });
    if (!items.length) el('text', { x: 30, y: 132, class: 'empty' }, lg, 'no notifications');
    el('text', { x: 212, y: 106, 'text-anchor': 'end', class: 'alpha-label' }, svg, `alpha ${listAlpha === null ? '-' : listAlpha.toFixed(2)}`);
    // The home screen's icons and dock.
    const ig = el('g', { id: 'phone-icons', opacity: iconsAlpha === null ? 1 : iconsAlpha.toFixed(3), 'data-alpha': iconsAlpha }, svg);
    for (let r = 0; r < 3; ++r)
      for (let c = 0; c < 4; ++c) el('rect', { x: 36 + c * 44, y: 236 + r * 46, width: 32, height: 32, rx: 8, class: `icon icon-${(r * 4 + c) % 5}` }, ig);
    el('text', { x: 212, y: 228, 'text-anchor': 'end', class: 'alpha-label' }, svg, `icons ${iconsAlpha === null ? '-' : iconsAlpha.toFixed(2)}`);
    el('rect', { x: 30, y: 380, width: 180, height: 44, rx: 12, class: 'dock' }, svg);
    if (s && s.front) {
      el('rect', { x: 30, y: 384, width: 180, height: 36, rx: 8, class: 'front-app' }, svg);
      el('text', { x: 120, y: 406, 'text-anchor': 'middle', class: 'front-label' }, svg, `in front: ${s.front}`);
    }
    // What was just played or shown.
    const hud = model.latest('hud', t, SHOWN_FOR.hud);
    if (hud) {
      const hg = el('g', { id: 'phone-hud' }, svg);
      el('rect', { x: 70, y: 170, width: 100, height: 40, rx: 10, class: 'hud' }, hg);
      el('text', { x: 120, y: 195, 'text-anchor': 'middle', class: 'hud-text' }, hg, hud.arg ? 'Silent mode' : 'Ringer');
    }
    const feedback = model.latest('feedback', t, SHOWN_FOR.feedback);
    if (feedback) {
      const fg = el('g', { id: 'phone-feedback', class: 'feedback' }, svg);
      for (const dx of [-1, 1]) {
        const x0 = dx < 0 ? 6 : 234;
        el('path', { d: `M${x0},200 l${dx * 4},8 l${-dx * 4},8 l${dx * 4},8 l${-dx * 4},8` }, fg);
      }
      el('text', { x: 120, y: 452, 'text-anchor': 'middle', class: 'feedback-text' }, fg, feedback.kind === 'haptic' ? 'haptic tap' : `${feedback.kind} sound ${feedback.id}`);
    }
    const sound = model.latest('sound', t, SHOWN_FOR.sound);
    if (sound) el('text', { id: 'phone-sound', x: 120, y: 452, 'text-anchor': 'middle', class: 'sound-text' }, svg, `sound: ${sound.sound}`);
    const wake = model.latest('wake', t, SHOWN_FOR.wake);
    if (wake) el('rect', { id: 'phone-wake', x: 20, y: 20, width: 200, height: 420, rx: 20, class: 'wake' }, svg);
    container.replaceChildren(svg);
  }

  // The settings in force at `t`, as the library last read them.
  function drawSettings(container, model, t) {
    const s = model.stateAt(t);
    const settings = s && s.state ? s.state.settings : null;
    const table = document.createElement('table');
    table.className = 'settings';
    const head = table.createTHead().insertRow();
    for (const h of ['setting', 'value']) {
      const th = document.createElement('th');
      th.textContent = h;
      head.appendChild(th);
    }
    const body = table.createTBody();
    if (!settings) {
      const row = body.insertRow();
      const cell = row.insertCell();
      cell.colSpan = 2;
      cell.textContent = model.data.vanilla ? 'none: the host runs without Quelline' : 'not read yet';
    } else {
      for (const [k, v] of Object.entries(settings)) {
        const row = body.insertRow();
        row.insertCell().textContent = k;
        row.insertCell().textContent = JSON.stringify(v);
      }
    }
    container.replaceChildren(table);
  }

  function drawVerdict(container, data) {
    container.replaceChildren();
    const v = data.verdict;
    const p = document.createElement('p');
    const failed = (data.expectations || []).filter((e) => !e.held);
    const errors = (v && v.errors) || data.errors || [];
    const ok = v ? v.status === 0 : !failed.length && !errors.length;
    p.className = `verdict ${ok ? 'ok' : 'failed'}`;
    const n = (data.expectations || []).length;
    if (v && v.status === 0) p.textContent = n ? `Every expectation held (${n}).` : 'The run ended normally (no expectations).';
    else if (v && v.status === 1) p.textContent = `${failed.length} of ${n} expectation${n === 1 ? '' : 's'} failed:`;
    else if (v) p.textContent = `The run stopped: ${v.text}.`;
    else p.textContent = failed.length ? `${failed.length} expectation(s) failed so far:` : `${n} expectation(s) held so far.`;
    container.appendChild(p);
    if (failed.length || errors.length) {
      const ul = document.createElement('ul');
      ul.className = 'failures';
      for (const e of failed) {
        const li = document.createElement('li');
        li.textContent = `${e.file}:${e.line} at ${fmt(e.t)} s: ${e.path}: expected ${JSON.stringify(e.expected)}, actual ${JSON.stringify(e.actual)}`;
        ul.appendChild(li);
      }
      for (const m of errors) {
        const li = document.createElement('li');
        li.textContent = m;
        ul.appendChild(li);
      }
      container.appendChild(ul);
    }
  }

  return { Model, Timeline, drawPhone, drawSettings, drawVerdict, fmt };
})();
