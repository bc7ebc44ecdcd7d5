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
  // (A banner stays until the host lets it go: the trace says when.)
  const SHOWN_FOR = { hud: 1.5, feedback: 0.6, sound: 1, wake: 1, cc: 2 };

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
  // `text` shortened with an ellipsis to `width` px at `size` px type.
  function fit(text, width, size) {
    const w = (x) => (textWidth(x) * size) / 10;
    if (w(text) <= width) return text;
    let shown = text;
    while (shown.length > 1 && w(`${shown}…`) > width) shown = shown.slice(0, -1);
    return `${shown}…`;
  }

  // --- The model: what the records say about every moment of the run. ---

  // The alpha an animation shows at `t` (from its start on).
  function valueOf(a, t) {
    if (a.dur <= 0) return a.to;
    const p = Math.min(1, Math.max(0, (t - a.start) / a.dur));
    return a.from + (a.to - a.from) * ease(p);
  }

  // The index of the last item of `list` (sorted by `key`) at or before
  // `t`, or -1.
  function lastAtOrBefore(list, t, key) {
    let lo = 0;
    let hi = list.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (key(list[mid]) <= t + 1e-9) lo = mid + 1;
      else hi = mid;
    }
    return lo - 1;
  }
  const byT = (x) => x.t;
  // The first index from `lo` to `hi` at which `before` no longer holds
  // (it holds for a prefix of the range), or `hi`.
  function partition(list, lo, hi, before) {
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (before(list[mid], mid)) lo = mid + 1;
      else hi = mid;
    }
    return lo;
  }

  // The largest key over every power-of-two range of indexes: the next
  // index whose key passes a bound is found in time logarithmic in the
  // number of keys, whatever lies between.
  class MaxTree {
    constructor(keys) {
      let size = 1;
      while (size < keys.length) size *= 2;
      this.size = size;
      this.max = new Float64Array(2 * size).fill(-Infinity);
      for (let i = 0; i < keys.length; ++i) this.max[size + i] = keys[i];
      for (let i = size - 1; i >= 1; --i) this.max[i] = Math.max(this.max[2 * i], this.max[2 * i + 1]);
    }

    // The first index from `from` to `to` whose key is at least `least`
    // and for which `holds(index)`, or `to`. (`least` only rules ranges
    // out: `holds` has the last word.)
    first(from, to, least, holds) {
      const visit = (node, lo, hi) => {
        if (hi <= from || lo >= to || this.max[node] < least) return to;
        if (hi - lo === 1) return holds(lo) ? lo : to;
        const mid = (lo + hi) >> 1;
        const left = visit(2 * node, lo, mid);
        return left < to ? left : visit(2 * node + 1, mid, hi);
      };
      return visit(1, 0, this.size);
    }
  }
  // A series of values ({t, value} at each change) with, for each step, how
  // long it lasts (a step of no length counts as long: it is never merged).
  function stepsOf(series) {
    const keys = series.map((s, i) => (i + 1 < series.length && series[i + 1].t !== s.t ? series[i + 1].t - s.t : Infinity));
    return { series, tree: new MaxTree(keys) };
  }

  // Applies a JSON merge patch (RFC 7396) to `target`, which it changes
  // (objects of the patch are copied, never shared); returns the result.
  function mergePatch(target, patch) {
    if (patch === null || typeof patch !== 'object' || Array.isArray(patch)) return patch;
    if (target === null || typeof target !== 'object' || Array.isArray(target)) target = {};
    for (const [k, v] of Object.entries(patch)) {
      if (v === null) delete target[k];
      else target[k] = mergePatch(target[k], v);
    }
    return target;
  }
  const clone = (x) => (x === undefined ? x : JSON.parse(JSON.stringify(x)));

  // Folds a state record into a base {t, state, front, process} (the live
  // page drops its oldest records as the server does).
  function fold(base, record) {
    base.state = mergePatch(base.state || {}, record.changed || {});
    if ('front' in record) base.front = record.front;
    if (record.process) base.process = { t: record.t, kind: record.process };
    base.t = record.t;
    return base;
  }

  // The lanes that draw events of several kinds (besides posts).
  const LANE_OF = {
    write: 'prefs', 'pane-alert': 'prefs', 'pane-refused': 'prefs', sound: 'sounds', 'sound-skipped': 'sounds', feedback: 'sounds',
    darwin: 'others', snapshot: 'others', redraw: 'others', 'bundle-error': 'others',
  };
  const PERCEIVED = new Set(['alpha', 'banner', 'banner-gone', 'sound', 'sound-skipped', 'feedback', 'wake', 'hud', 'redraw']);
  const CHECKPOINT = 256; // states between two kept whole states

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
      const base = d.stateBase || { t: 0, state: {}, front: null };
      // Processes started: only the boots and restarts that were carried
      // out (their state record says so), not every line that asked.
      this.boots = [];
      if (base.process) this.boots.push({ t: base.process.t, kind: base.process.kind });
      // One pass over the states: whole states kept every CHECKPOINT
      // records, and the series the lanes draw.
      this.checkpoints = [];
      this.ringer = []; // {t, muted} at each change
      this.toggle = [];
      this.front = [];
      const cur = { state: clone(base.state) || {}, front: base.front === undefined ? null : base.front };
      const seen = { muted: undefined, selected: undefined, front: undefined };
      const note = (list, key, t, value) => {
        if (seen[key] === value) return;
        seen[key] = value;
        list.push({ t, value });
      };
      this.realertAt = new Map(); // state index -> the new notification's re-alert count
      let realerts = cur.state.realerts ? cur.state.realerts.count : 0;
      for (let i = 0; i < this.states.length; ++i) {
        const r = this.states[i];
        if (r.process) this.boots.push({ t: r.t, kind: r.process });
        cur.state = mergePatch(cur.state, r.changed || {});
        if ('front' in r) cur.front = r.front;
        if (i % CHECKPOINT === 0) this.checkpoints.push({ index: i, state: clone(cur.state), front: cur.front });
        const s = cur.state;
        note(this.ringer, 'muted', r.t, s.ringer ? (s.ringer.muted === undefined ? null : s.ringer.muted) : null);
        // The toggle: on, off or not loaded; during a period, the local
        // time it ends (the library keeps it, Control Center loaded or not).
        const period = s.togglePeriod && s.togglePeriod.end ? s.togglePeriod.end : null;
        note(this.toggle, 'selected', r.t, period ? `until ${period.slice(11, 16)}` : s.module ? (s.module.selected === undefined ? null : s.module.selected) : null);
        note(this.front, 'front', r.t, cur.front);
        const count = s.realerts ? s.realerts.count : 0;
        if (count > realerts) this.realertAt.set(i, s.realerts.last);
        realerts = count;
      }
      this.cache = { index: -2, value: null };

      // Notifications that arrived, and what empties the list.
      this.notes = [];
      this.clears = this.boots.map((b) => b.t);
      for (let ci = 0; ci < this.commands.length; ++ci) {
        const c = this.commands[ci];
        const verb = words(c.text)[0];
        if (verb !== 'notify' && verb !== 'clear') continue;
        // The command's own state record, from its start until the next
        // command starts (none when it was refused).
        const until = ci + 1 < this.commands.length ? this.commands[ci + 1].t : Infinity;
        let found = -1;
        for (let k = lastAtOrBefore(this.states, c.t - 2e-9, byT) + 1; k < this.states.length && this.states[k].t <= until + 1e-9; ++k)
          if (this.states[k].line === c.line) {
            found = k;
            break;
          }
        if (found < 0) continue;
        if (verb === 'clear') this.clears.push(c.t);
        else this.notes.push({ t: c.t, app: c.app !== undefined ? c.app : words(c.text)[1], realerts: this.realertAt.has(found) ? this.realertAt.get(found) : null });
      }
      this.clears.sort((a, b) => a - b);

      // Events by kind, in time order, and the events of each lane that
      // draws several kinds.
      this.byKind = {};
      this.lanes = { prefs: [], sounds: [], others: [] };
      for (const e of this.events) {
        (this.byKind[e.event] || (this.byKind[e.event] = [])).push(e);
        const lane = LANE_OF[e.event];
        if (lane) this.lanes[lane].push(e);
        else if (e.event === 'post' && shortName(e.name) === 'prefsReloaded') this.lanes.prefs.push(e);
      }
      // The posts of each name: where a name first comes in a run of posts.
      this.postsNamed = new Map();
      this.eventsOf('post').forEach((e, i) => {
        const name = shortName(e.name);
        if (!this.postsNamed.has(name)) this.postsNamed.set(name, []);
        this.postsNamed.get(name).push(i);
      });
      this.realerting = this.notes.filter((n) => n.realerts !== null);
      // Commands whose expectation failed, counted up to each command.
      this.failedLines = new Set(this.expectations.filter((e) => !e.held).map((e) => `${e.file}:${e.line}`));
      this.failedBefore = new Int32Array(this.commands.length + 1);
      if (this.failedLines.size)
        this.commands.forEach((c, i) => (this.failedBefore[i + 1] = this.failedBefore[i] + (this.failedLines.has(`${c.file}:${c.line}`) ? 1 : 0)));
      this.commandsBy = new Map(); // first words -> the commands that start with them
      this.setsClock = this.commands.some((c) => /^device (clock|timezone)\b/.test(c.text || ''));
      // Whether quiet hours hold ({t, value}), from the instant the hold
      // changed (the quiet-hours event); a process starts without.
      this.hours = this.boots
        .map((b) => ({ t: b.t, value: false, reset: true }))
        .concat(this.eventsOf('quiet-hours').map((e) => ({ t: e.t, value: e.hold === true })))
        .sort((a, b) => a.t - b.t || (b.reset ? 1 : 0) - (a.reset ? 1 : 0));
      const bootTimes = this.boots.map((b) => b.t).sort((a, b) => a - b);
      this.bootTimes = bootTimes;
      const nextBoot = (t) => {
        const i = lastAtOrBefore(bootTimes, t, (x) => x);
        return i + 1 < bootTimes.length ? bootTimes[i + 1] : Infinity;
      };
      // A banner stays until the host lets it go (banner-gone), or its
      // process ends.
      this.banners = [];
      const open = new Map();
      for (const e of this.events) {
        if (e.event === 'banner') {
          const b = { t: e.t, end: nextBoot(e.t), app: e.app, shown: e.shown !== false, event: e, index: this.banners.length };
          this.banners.push(b);
          if (!open.has(e.app)) open.set(e.app, []);
          open.get(e.app).push(b);
        } else if (e.event === 'banner-gone') {
          const waiting = open.get(e.app);
          const b = waiting && waiting.shift();
          if (b) b.end = Math.min(b.end, e.t);
        }
      }
      // The banners of each kind, with the latest end so far: bars that
      // touch are drawn as one, and where one stops is found from where the
      // next banner comes after every end so far.
      this.bannerBars = {};
      for (const shown of [true, false]) {
        const list = this.banners.filter((b) => b.shown === shown);
        const latest = new Float64Array(list.length);
        list.forEach((b, i) => (latest[i] = Math.max(i ? latest[i - 1] : -Infinity, b.end)));
        const tree = new MaxTree(list.map((b, i) => (i ? b.t - latest[i - 1] : Infinity)));
        this.bannerBars[shown ? 'shown' : 'hidden'] = { list, latest, tree };
      }
      // The ringer display shows the position the switch was moved to: when
      // was that asked for?
      for (const h of this.eventsOf('hud')) {
        const muted = !!h.arg;
        let i = lastAtOrBefore(this.ringer, h.t, byT);
        while (i >= 0 && this.ringer[i].value !== muted) --i;
        h.asked = i >= 0 ? this.ringer[i].t : null;
      }

      // The two views' alpha: a new process starts with both opaque.
      this.views = { list: [], icons: [] };
      const resets = this.boots.map((b) => ({ t: b.t, reset: true }));
      const alphas = this.eventsOf('alpha');
      const merged = resets.concat(alphas).sort((a, b) => a.t - b.t || (b.reset ? 1 : 0) - (a.reset ? 1 : 0));
      for (const view of ['list', 'icons']) {
        const anims = this.views[view];
        let last = null;
        for (const e of merged) {
          let a = null;
          if (e.reset) a = { start: e.t, from: 1, to: 1, dur: 0, reset: true };
          else if (e.view === view) a = { start: e.t, from: last ? valueOf(last, e.t) : 1, to: e.value, dur: e.duration || 0 };
          if (a) {
            anims.push(a);
            last = a;
          }
        }
      }

      // Where each view's alpha changes, and the steps of the lanes.
      this.alphaMarks = {};
      for (const view of ['list', 'icons']) this.alphaMarks[view] = this.views[view].filter((a) => !a.reset).map((a) => ({ t: a.start, a }));
      this.stepsOf = { ringer: stepsOf(this.ringer), toggle: stepsOf(this.toggle), front: stepsOf(this.front), hours: stepsOf(this.hours) };

      // The first moment a person perceives something: the end of the first
      // fade, or the first banner, sound, tap or display.
      this.firstPerceived = null;
      for (const e of this.events) {
        if (!PERCEIVED.has(e.event)) continue;
        this.firstPerceived = e.t + (e.event === 'alpha' && e.duration > 0 ? e.duration : 0);
        break;
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
      const i = lastAtOrBefore(anims, t, (a) => a.start);
      return i >= 0 ? valueOf(anims[i], t) : null;
    }

    // Runs of points of the alpha curve from t0 to t1 (a new process starts
    // a new run): ramps sampled, jumps vertical. Where changes are denser
    // than `columns` over the span, the curve is sampled once per column.
    alphaCurve(view, t0, t1, columns) {
      const anims = this.views[view];
      const first = Math.max(0, lastAtOrBefore(anims, t0, (a) => a.start));
      const last = lastAtOrBefore(anims, t1, (a) => a.start);
      const runs = [];
      if (last < 0) return runs;
      const starts = this.bootTimes.slice(partition(this.bootTimes, 0, this.bootTimes.length, (b) => b <= t0), partition(this.bootTimes, 0, this.bootTimes.length, (b) => b <= t1));
      if (last - first > columns / 4) {
        // Dense: one point per column, a new run at each process start.
        let points = [];
        let boot = 0;
        for (let c = 0; c <= columns; ++c) {
          const t = t0 + ((t1 - t0) * c) / columns;
          while (boot < starts.length && starts[boot] <= t) {
            if (points.length) runs.push(points);
            points = [];
            ++boot;
          }
          const a = this.alphaAt(view, t);
          if (a !== null) points.push([t, a]);
        }
        if (points.length) runs.push(points);
        return runs;
      }
      let points = [];
      for (let i = first; i <= last; ++i) {
        const a = anims[i];
        const next = i + 1 < anims.length ? Math.min(anims[i + 1].start, t1) : t1;
        const from = Math.max(a.start, t0);
        if (a.reset && points.length && a.start > t0) {
          runs.push(points); // a new process: a new curve
          points = [];
        }
        points.push([from, a.start >= t0 ? a.from : valueOf(a, from)]);
        if (a.dur > 0) {
          const stop = Math.min(a.start + a.dur, next);
          const steps = 24;
          for (let k = 1; k <= steps; ++k) {
            const t = a.start + ((stop - a.start) * k) / steps;
            if (t > from) points.push([t, valueOf(a, t)]);
          }
        } else if (a.start >= t0) {
          points.push([a.start, a.to]);
        }
        points.push([next, valueOf(a, next)]);
      }
      if (points.length) runs.push(points);
      return runs;
    }

    // The device's local time at `t` ("2025-01-06 22:00:00 +01:00"), where
    // the run set the clock or the zone; null otherwise. From the clock of
    // the state recorded last, moved on by the run's time since.
    localTimeAt(t) {
      if (!this.setsClock) return null;
      const s = this.stateAt(t);
      const clock = s && s.state.clock;
      if (!clock || typeof clock.base !== 'number' || typeof clock.zone !== 'string') return null;
      try {
        const parts = {};
        const format = new Intl.DateTimeFormat('en-GB', {
          timeZone: clock.zone, hourCycle: 'h23', year: 'numeric', month: '2-digit', day: '2-digit',
          hour: '2-digit', minute: '2-digit', second: '2-digit', timeZoneName: 'longOffset',
        });
        for (const p of format.formatToParts(new Date(Math.floor((clock.base + t) * 1000)))) parts[p.type] = p.value;
        const offset = parts.timeZoneName === 'GMT' ? '+00:00' : parts.timeZoneName.replace('GMT', '');
        return `${parts.year}-${parts.month}-${parts.day} ${parts.hour}:${parts.minute}:${parts.second} ${offset}`;
      } catch (e) {
        return null; // a zone this browser does not know
      }
    }

    // The state recorded last at or before `t`: {t, line, state, front}.
    stateAt(t) {
      const i = lastAtOrBefore(this.states, t, byT);
      if (i === this.cache.index) return this.cache.value;
      let value = null;
      const base = this.data.stateBase;
      if (i < 0) {
        if (base && base.state && Object.keys(base.state).length) value = { t: base.t, line: null, state: base.state, front: base.front };
      } else {
        const cp = this.checkpoints[Math.floor(i / CHECKPOINT)];
        let state = clone(cp.state);
        let front = cp.front;
        for (let k = cp.index + 1; k <= i; ++k) {
          state = mergePatch(state, this.states[k].changed || {});
          if ('front' in this.states[k]) front = this.states[k].front;
        }
        value = { t: this.states[i].t, line: this.states[i].line, state, front };
      }
      this.cache = { index: i, value };
      return value;
    }

    eventsOf(kind) {
      return this.byKind[kind] || [];
    }

    // Where the items of `list` (sorted by t) from t0 to t1 start and
    // end: [i, j).
    range(list, t0, t1) {
      const i = lastAtOrBefore(list, t0 - 2e-9, byT) + 1; // the first at or after t0
      return [i, Math.max(i, lastAtOrBefore(list, t1, byT) + 1)];
    }

    // Notifications in the list at `t`: since the process started or the
    // list was cleared.
    listAt(t) {
      const c = lastAtOrBefore(this.clears, t, (x) => x);
      const since = c >= 0 ? this.clears[c] : -Infinity;
      const j = lastAtOrBefore(this.notes, t, byT);
      const out = [];
      for (let i = j; i >= 0 && this.notes[i].t >= since && out.length < 3; --i) out.push(this.notes[i]);
      return out;
    }

    // The banner on screen at `t`, if any: the latest that came and has not
    // gone.
    bannerAt(t) {
      const i = lastAtOrBefore(this.banners, t, byT);
      for (let k = i; k >= 0 && k > i - 64; --k) if (this.banners[k].end > t + 1e-9) return this.banners[k];
      return null;
    }

    latest(kind, t, within) {
      const list = this.eventsOf(kind);
      const i = lastAtOrBefore(list, t, byT);
      return i >= 0 && list[i].t >= t - within ? list[i] : null;
    }

    // The latest command with this first word (or two), carried out or
    // not.
    latestCommand(verb, t, within) {
      if (!this.commandsBy.has(verb)) {
        const first = words(verb)[0];
        this.commandsBy.set(verb, this.commands.filter((c) => {
          if (!c.text.includes(first)) return false;
          const w = words(c.text);
          return w[0] === verb || `${w[0]} ${w[1]}` === verb;
        }));
      }
      const list = this.commandsBy.get(verb);
      const i = lastAtOrBefore(list, t, byT);
      return i >= 0 && list[i].t >= t - within ? list[i] : null;
    }

    // The latest of several kinds.
    latestOf(kinds, t, within) {
      let found = null;
      for (const k of kinds) {
        const e = this.latest(k, t, within);
        if (e && (!found || e.t >= found.t)) found = e;
      }
      return found;
    }
  }

  // --- The timeline. ---

  const LABEL = 200; // width of the lane labels
  const MIN_WIDTH = 640; // narrower boxes scroll the timeline inside them
  const BUCKET = 8; // px: marks closer than this are drawn as one
  const LANES = [
    { id: 'commands', group: 'causes', label: 'Scenario commands', h: 30 },
    { id: 'switch', group: 'causes', label: 'Ring/silent switch', h: 20 },
    { id: 'toggle', group: 'causes', label: 'Control Center toggle', h: 20 },
    { id: 'front', group: 'causes', label: 'App in front', h: 20 },
    { id: 'hours', group: 'causes', label: 'Quiet hours', h: 20 },
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

  // The width of a label as the page draws it (10 px type).
  let measurer = null;
  function textWidth(text) {
    if (!measurer) {
      measurer = document.createElement('canvas').getContext('2d');
      measurer.font = '10px system-ui, sans-serif';
    }
    return measurer.measureText(text).width;
  }

  class Timeline {
    constructor(container, model, options) {
      this.container = container;
      this.model = model;
      this.options = options || {};
      this.onPick = null;
    }

    draw(t0, t1) {
      this.t0 = t0;
      this.t1 = t1;
      const width = Math.max(MIN_WIDTH, Math.floor(this.container.clientWidth) || 900);
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
      this.axis(svg, x, 18, t0, t1, plot, (t) => this.model.localTimeAt(t));
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
        this.free = -Infinity; // where the next label of this lane may start
        this[`lane_${lane.id}`](g, x, y, lane.h, t0, t1);
        y += lane.h + 6;
      }
      // Where a process started: a line across the lanes.
      for (const b of this.model.boots) {
        if (b.t < t0 || b.t > t1) continue;
        el('line', { x1: x(b.t), x2: x(b.t), y1: 24, y2: height - 12, class: `process-line ${b.kind}`, 'data-t': b.t }, svg);
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

    axis(svg, x, y, t0, t1, plot, localAt) {
      const span = t1 - t0 || 1;
      const target = plot / (localAt(t0) ? 130 : 80); // wider labels with the local time
      const raw = span / target;
      const pow = Math.pow(10, Math.floor(Math.log10(raw)));
      const step = [1, 2, 5, 10].map((k) => k * pow).find((s) => s >= raw) || raw;
      const g = el('g', { class: 'axis' }, svg);
      el('text', { x: LABEL - 8, y, 'text-anchor': 'end', class: 'axis-unit' }, g, 'time (s)');
      for (let t = Math.ceil(t0 / step) * step; t <= t1 + 1e-9; t += step) {
        el('line', { x1: x(t), x2: x(t), y1: y + 4, y2: y + 10 }, g);
        const local = localAt(t);
        // Seconds, and the local time of day where the run set the clock.
        const label = el('text', { x: x(t), y, 'text-anchor': 'middle' }, g, String(Math.round(t * 1000) / 1000) + (local ? ` · ${local.slice(11, 16)}` : ''));
        if (local) title(label, `${fmt(t)} s: ${local}`);
      }
    }

    // A label at `lx` where it does not run into the lane's last one, nor
    // past `until` (the next mark), shortened to fit or left out.
    label(node, lx, ly, text, cls, until) {
      if (!text || lx < this.free) return null;
      // A label stays inside its lane.
      const limit = Math.min(LABEL + this.plotWidth, until === undefined ? Infinity : until);
      if (textWidth(`${text.slice(0, 2)}…`) > limit - lx) return null;
      let shown = text;
      if (lx + textWidth(shown) > limit) {
        while (shown.length > 1 && lx + textWidth(`${shown}…`) > limit) shown = shown.slice(0, -1);
        shown = `${shown}…`;
      }
      this.free = lx + textWidth(shown) + 6;
      return el('text', { x: lx, y: ly, class: cls || 'mark-label' }, node, shown);
    }

    // Items close together drawn as one: the groups of list[i..j) (sorted
    // by t), each within BUCKET px of its first, as ranges [from, to). Each
    // group's end is found by binary search: the work depends on the
    // groups drawn, not on the items.
    groups(list, i, j) {
      const out = [];
      while (i < j) {
        const x0 = this.x(list[i].t);
        const end = partition(list, i + 1, j, (it) => this.x(it.t) - x0 < BUCKET);
        out.push([i, end]);
        i = end;
      }
      return out;
    }

    mark(g, cls, t, y, h, shape, label, tip, count, until) {
      const cx = this.x(t);
      const cy = y + h / 2;
      const node = el('g', { class: `mark ${cls}`, 'data-t': t }, g);
      if (count > 1) node.setAttribute('data-count', count);
      const r = Math.min(7, h / 2 - 2);
      if (shape === 'square') el('rect', { x: cx - r, y: cy - r, width: 2 * r, height: 2 * r }, node);
      else if (shape === 'hollow') {
        el('rect', { x: cx - r, y: cy - r, width: 2 * r, height: 2 * r, class: 'hollow' }, node);
        el('line', { x1: cx - r, y1: cy + r, x2: cx + r, y2: cy - r, class: 'strike' }, node);
      } else if (shape === 'hollow-circle') {
        el('circle', { cx, cy, r, class: 'hollow' }, node);
        el('line', { x1: cx - r * 0.7, y1: cy + r * 0.7, x2: cx + r * 0.7, y2: cy - r * 0.7, class: 'strike' }, node);
      } else if (shape === 'diamond')
        el('path', { d: `M${cx},${cy - r} L${cx + r},${cy} L${cx},${cy + r} L${cx - r},${cy} Z` }, node);
      else if (shape === 'triangle')
        el('path', { d: `M${cx},${cy - r} L${cx + r},${cy + r} L${cx - r},${cy + r} Z` }, node);
      else el('circle', { cx, cy, r }, node);
      this.label(node, cx + r + 3, cy + 4, count > 1 ? `${label} ×${count}` : label, undefined, until);
      title(node, tip);
      return node;
    }

    // One mark per group of items close together (list[i..j), from t0 to
    // t1 unless given); `describe(item)` gives [cls, shape, label, tip].
    marks(g, y, h, list, describe, i, j) {
      if (i === undefined) [i, j] = this.model.range(list, this.t0, this.t1);
      const groups = this.groups(list, i, j);
      groups.forEach(([from, to], k) => {
        const last = list[to - 1];
        const n = to - from;
        const [cls, shape, label, tip] = describe(last);
        // A label ends before the next mark's shape.
        const until = k + 1 < groups.length ? this.x(list[groups[k + 1][1] - 1].t) - 9 : undefined;
        const more = n > 1 ? `\n…and ${n - 1} more from ${fmt(list[from].t)} s (zoom in with a shorter run to tell them apart)` : '';
        const tips = n > 1 && n <= 6 ? list.slice(from, to).map((it) => describe(it)[3]).join('\n') : tip + more;
        this.mark(g, cls, last.t, y, h, shape, label, tips, n, until);
      });
    }

    // The steps of a series ({series, tree}: see stepsOf) from t0 to t1,
    // each from its change to the next (the last to t1). Steps narrower
    // than 2 px in a row are drawn as one grey stretch, found through the
    // steps' lengths: the work depends on what is drawn.
    stepLane(g, y, h, steps, classOf, text) {
      const { series, tree } = steps;
      const n = series.length;
      const end = (i) => (i + 1 < n ? series[i + 1].t : this.t1);
      const narrow = (i) => {
        const t0 = series[i].t;
        const t1 = end(i);
        return this.x(Math.min(t1, this.t1)) - this.x(Math.max(t0, this.t0)) < 2 && t1 !== t0;
      };
      const least = ((2 * (this.t1 - this.t0)) / this.plotWidth) * 0.999 - 1e-9;
      // The first step that ends at or after t0; none starts after t1.
      let i = partition(series, 0, n, (s, k) => end(k) < this.t0);
      const stop = partition(series, i, n, (s) => s.t <= this.t1);
      while (i < stop) {
        if (narrow(i)) {
          const k = tree.first(i + 1, stop, least, (k) => !narrow(k));
          const mixed = { x0: this.x(Math.max(series[i].t, this.t0)), x1: this.x(Math.min(end(k - 1), this.t1)), t0: series[i].t, t1: end(k - 1), n: k - i };
          const seg = el('g', { class: 'segment mixed', 'data-t0': mixed.t0, 'data-t1': mixed.t1 }, g);
          el('rect', { x: mixed.x0, y: y + 3, width: Math.max(1, mixed.x1 - mixed.x0), height: h - 6 }, seg);
          title(seg, `${mixed.n} changes from ${fmt(mixed.t0)} s to ${fmt(mixed.t1)} s`);
          i = k;
          continue;
        }
        const s = { t0: series[i].t, t1: end(i), value: series[i].value };
        ++i;
        const x0 = this.x(Math.max(s.t0, this.t0));
        const x1 = this.x(Math.min(s.t1, this.t1));
        const cls = classOf(s.value);
        if (!cls) continue;
        const seg = el('g', { class: `segment ${cls}`, 'data-t0': s.t0, 'data-t1': s.t1 }, g);
        el('rect', { x: x0, y: y + 3, width: Math.max(1, x1 - x0), height: h - 6 }, seg);
        const label = text(s.value);
        // The label stays inside its segment, shortened or left out.
        if (label) {
          let shown = label;
          while (shown.length > 1 && textWidth(shown) + 8 > x1 - x0) shown = shown.length > 2 ? `${shown.slice(0, -2)}…` : '';
          if (shown && textWidth(shown) + 8 <= x1 - x0) el('text', { x: x0 + 4, y: y + h / 2 + 4, class: 'segment-label' }, seg, shown);
        }
        title(seg, `${label} from ${fmt(s.t0)} s to ${fmt(s.t1)} s`);
      }
    }

    lane_commands(g, x, y, h) {
      const m = this.model;
      const failedLines = m.failedLines;
      const commands = m.commands;
      // Commands at the same moment share one tick and one label, which
      // ends before the next tick.
      const groups = this.groups(commands, ...m.range(commands, this.t0, this.t1));
      groups.forEach(([from, to], i) => {
        const first = commands[from];
        const n = to - from;
        const cx = x(first.t);
        const failed = m.failedBefore[to] > m.failedBefore[from];
        const node = el('g', { class: `mark command${failed ? ' failed' : ''}`, 'data-t': first.t, 'data-lines': commands.slice(from, Math.min(to, from + 50)).map((c) => c.line).join(' ') }, g);
        el('line', { x1: cx, x2: cx, y1: y + 2, y2: y + h - 2 }, node);
        if (failed) el('circle', { cx, cy: y + h - 7, r: 5, class: 'failed-dot' }, node);
        const shown = n > 12 ? commands.slice(from, from + 6).concat(commands.slice(to - 6, to)) : commands.slice(from, to);
        title(node, shown.map((c) => `${c.file}:${c.line}  ${c.text}  (t = ${fmt(c.t)} s)${failedLines.has(`${c.file}:${c.line}`) ? '  - expectation failed' : ''}`).join('\n') +
          (n > shown.length ? `\n(${n} commands here in all)` : ''));
        let label = commands.slice(from, Math.min(to, from + 4)).map((c) => c.text).join(' · ') + (n > 4 ? ` · …(${n})` : '');
        if (label.length > 40) label = `${label.slice(0, 39)}…`;
        this.label(node, cx + 3, y + 11, label, 'command-label', i + 1 < groups.length ? x(commands[groups[i + 1][0]].t) - 3 : undefined);
      });
      // The processes started: the boots and restarts carried out.
      this.free = -Infinity;
      for (const b of m.boots) {
        if (b.t < this.t0 || b.t > this.t1) continue;
        const node = el('g', { class: `mark process ${b.kind}`, 'data-t': b.t, 'data-kind': b.kind }, g);
        el('path', { d: `M${x(b.t)},${y + h - 2} l4,-7 l-8,0 Z` }, node);
        this.label(node, x(b.t) + 5, y + h - 3, b.kind === 'restart' ? 'restart' : 'boot', 'process-label');
        title(node, `${fmt(b.t)} s: ${b.kind === 'restart' ? 'the process restarted (a new process, both views opaque)' : 'the process booted'}`);
      }
    }

    lane_switch(g, x, y, h, t0, t1) {
      this.stepLane(g, y, h, this.model.stepsOf.ringer, (v) => (v === true ? 'silent' : v === false ? 'ring' : null), (v) => (v ? 'silent' : 'ring'));
    }

    lane_toggle(g, x, y, h, t0, t1) {
      this.stepLane(g, y, h, this.model.stepsOf.toggle, (v) => (v === true ? 'toggle-on' : typeof v === 'string' ? 'toggle-on toggle-period' : null), (v) => (v === true ? 'on' : `on ${v}`));
    }

    lane_front(g, x, y, h, t0, t1) {
      this.stepLane(g, y, h, this.model.stepsOf.front, (v) => (v ? 'front' : null), (v) => v);
    }

    lane_hours(g, x, y, h, t0, t1) {
      this.stepLane(g, y, h, this.model.stepsOf.hours, (v) => (v === true ? 'hours-held' : null), () => 'held');
    }

    lane_prefs(g, x, y, h) {
      const m = this.model;
      this.marks(g, y, h, m.lanes.prefs, (e) => {
        if (e.event === 'pane-alert') return ['pane-alert', 'square', '!', `${fmt(e.t)} s: the Settings pane showed an alert: ${e.alert}`];
        if (e.event === 'pane-refused') return ['pane-refused', 'circle', '', `${fmt(e.t)} s: the Settings pane refused ${e.key || e.list}: ${e.reason}`];
        if (e.event === 'write') {
          const name = String(e.path).split('/').pop();
          return [`write${e.ok ? '' : ' failed'}`, 'square', '', `${fmt(e.t)} s: ${name} written${e.ok ? '' : ' (failed)'}`];
        }
        return ['reload', 'circle', '', `${fmt(e.t)} s: settings reloaded`];
      });
    }

    curve(g, view, y, h) {
      const x = this.x;
      const yOf = (a) => y + 4 + (1 - a) * (h - 8);
      el('line', { x1: LABEL, x2: LABEL + this.plotWidth, y1: yOf(0), y2: yOf(0), class: 'baseline' }, g);
      el('text', { x: LABEL + 2, y: yOf(1) + 8, class: 'curve-scale' }, g, '1');
      el('text', { x: LABEL + 2, y: yOf(0) - 2, class: 'curve-scale' }, g, '0');
      for (const run of this.model.alphaCurve(view, this.t0, this.t1, Math.ceil(this.plotWidth))) {
        if (run.length < 2) continue;
        const points = run.map(([t, a]) => `${x(t).toFixed(2)},${yOf(a).toFixed(2)}`).join(' ');
        el('polyline', { points, class: `curve curve-${view}`, 'data-y0': yOf(0), 'data-y1': yOf(1) }, g);
      }
      // Each change starts where the curve stood.
      const items = this.model.alphaMarks[view];
      for (const [from, to] of this.groups(items, ...this.model.range(items, this.t0, this.t1))) {
        const a = items[from].a;
        const node = el('g', { class: 'mark alpha', 'data-t': a.start }, g);
        el('circle', { cx: x(a.start), cy: yOf(a.from), r: 2.5 }, node);
        title(node, `${fmt(a.start)} s: alpha from ${a.from.toFixed(2)} to ${a.to} ${a.dur > 0 ? `over ${a.dur} s` : 'at once'}${to - from > 1 ? ` (and ${to - from - 1} more changes until ${fmt(items[to - 1].t)} s)` : ''}`);
      }
    }

    lane_list(g, x, y, h) {
      this.curve(g, 'list', y, h);
    }

    lane_icons(g, x, y, h) {
      this.curve(g, 'icons', y, h);
    }

    lane_banners(g, x, y, h) {
      const m = this.model;
      const { t0, t1 } = this;
      // How long each stayed: a bar from its coming to its going (bars that
      // touch on the screen drawn as one), each kind's bars in turn: a bar
      // stops where a banner comes more than 1 px after every end so far.
      const bars = [];
      const least = ((t1 - t0) / this.plotWidth) * 0.999 - 1e-9;
      for (const cls of ['shown', 'hidden']) {
        const { list, latest, tree } = m.bannerBars[cls];
        // The banners still there at t0 or coming by t1.
        let i = partition(list, 0, list.length, (b, k) => latest[k] < t0);
        const stop = partition(list, i, list.length, (b) => b.t <= t1);
        const apart = (k) => list[k].t >= t0 && x(list[k].t) > x(Math.min(latest[k - 1], t1)) + 1;
        while (i < stop) {
          const k = tree.first(i + 1, stop, least, apart);
          // Drawn as the banner that stops it comes (the last ones at the
          // end), as the banners go by in time.
          bars.push({ cls, x0: x(Math.max(list[i].t, t0)), x1: x(Math.min(latest[k - 1], t1)), t0: list[i].t, t1: latest[k - 1], at: k < stop ? list[k].index : Infinity });
          i = k;
        }
      }
      bars.sort((a, b) => a.at - b.at || (a.cls === 'shown' ? -1 : 1));
      for (const bar of bars)
        if (bar.x1 - bar.x0 >= 1)
          el('rect', { x: bar.x0, y: y + h - 5, width: bar.x1 - bar.x0, height: 3, class: `banner-span ${bar.cls}`, 'data-t0': bar.t0, 'data-t1': bar.t1 }, g);
      const until = (b) => (b.end === Infinity ? 'still there at the end' : `until ${fmt(b.end)} s`);
      const first = partition(m.banners, 0, m.banners.length, (b) => b.t < t0);
      this.marks(g, y, h, m.banners, (b) => [`banner ${b.shown ? 'shown' : 'hidden'}`, b.shown ? 'square' : 'hollow',
        b.shown ? b.app : `${b.app} (hidden)`, `${fmt(b.t)} s: banner from ${b.app} ${b.shown ? 'shown' : 'kept hidden'}, ${until(b)}`], first, partition(m.banners, first, m.banners.length, (b) => b.t <= t1));
    }

    lane_sounds(g, x, y, h) {
      const m = this.model;
      this.marks(g, y, h, m.lanes.sounds, (e) => {
        if (e.event === 'sound') return ['sound', 'circle', `sound ${e.sound}`, `${fmt(e.t)} s: notification sound "${e.sound}" played`];
        if (e.event === 'sound-skipped')
          return ['sound skipped', 'hollow-circle', `no sound`, `${fmt(e.t)} s: notification sound "${e.sound}" not played (${e.reason || 'skipped'})`];
        const haptic = e.kind === 'haptic';
        return [`feedback ${e.kind}`, haptic ? 'diamond' : 'triangle', `${e.kind} ${e.id}`,
          `${fmt(e.t)} s: ${haptic ? 'haptic tap' : `${e.kind} sound`} id ${e.id}${haptic ? (e.prepared ? ' (prepared)' : ' (not prepared)') : ''}`];
      });
    }

    lane_hud(g, x, y, h) {
      const m = this.model;
      this.marks(g, y, h, m.eventsOf('hud'), (e) => {
        const what = e.arg ? 'silent' : 'ring';
        const asked = e.asked === null || e.asked === undefined ? '' : ` (switch moved at ${fmt(e.asked)} s)`;
        return ['hud', 'square', `shows ${what}${asked ? `, asked ${fmt(e.asked)} s` : ''}`, `${fmt(e.t)} s: ringer display shows ${what}${asked}`];
      });
    }

    lane_wakes(g, x, y, h) {
      const m = this.model;
      this.marks(g, y, h, m.eventsOf('wake'), (e) => ['wake', 'circle', e.app, `${fmt(e.t)} s: the display turned on for ${e.app}`]);
    }

    lane_realerts(g, x, y, h) {
      const m = this.model;
      this.marks(g, y, h, m.realerting, (n) => {
        const some = n.realerts > 0;
        return [`realert${some ? '' : ' none'}`, some ? 'square' : 'hollow', some ? `×${n.realerts}` : '', `${fmt(n.t)} s: ${n.app} may alert again ${n.realerts} time(s)`];
      });
    }

    lane_events(g, x, y, h) {
      const m = this.model;
      const posts = m.eventsOf('post');
      const others = m.lanes.others;
      const [p0, p1] = m.range(posts, this.t0, this.t1);
      const [o0, o1] = m.range(others, this.t0, this.t1);
      // Where the lane's next tick or mark stands after `at`: a label ends
      // before it.
      const after = (at) => {
        const p = partition(posts, p0, p1, (e) => x(e.t) <= at);
        const o = partition(others, o0, o1, (e) => x(e.t) <= at);
        const next = Math.min(p < p1 ? x(posts[p].t) : Infinity, o < o1 ? x(others[o].t) : Infinity);
        return next === Infinity ? undefined : next;
      };
      // The first six names posted in posts[from..to), in the order they
      // first come: from each name's own posts where the run is long.
      const namesIn = (from, to) => {
        const names = [];
        if (to - from <= 64) {
          for (let k = from; k < to && names.length < 6; ++k) if (!names.includes(shortName(posts[k].name))) names.push(shortName(posts[k].name));
          return names;
        }
        const firsts = [];
        for (const [name, at] of m.postsNamed) {
          const k = at[partition(at, 0, at.length, (i) => i < from)];
          if (k !== undefined && k < to) firsts.push([k, name]);
        }
        return firsts.sort((a, b) => a[0] - b[0]).slice(0, 6).map(([, name]) => name);
      };
      for (const [from, to] of this.groups(posts, p0, p1)) {
        const e = posts[from];
        const n = to - from;
        const names = namesIn(from, to);
        const node = el('g', { class: 'mark post', 'data-t': e.t, 'data-name': shortName(e.name) }, g);
        if (n > 1) node.setAttribute('data-count', n);
        el('line', { x1: x(e.t), x2: x(e.t), y1: y + 2, y2: y + h - 2 }, node);
        title(node, n <= 6 ? posts.slice(from, to).map((p) => `${fmt(p.t)} s: ${shortName(p.name)} posted`).join('\n') : `${n} posts from ${fmt(e.t)} s: ${names.join(', ')}…`);
        const next = after(x(posts[to - 1].t) + 0.5);
        this.label(g, x(e.t) + 3, y + h - 5, names.join(', '), 'post-label', next === undefined ? undefined : next - 8);
      }
      for (const [from, to] of this.groups(others, o0, o1)) {
        const e = others[from];
        const what = e.event === 'darwin' ? `${e.name} (cross-process)` : e.event === 'snapshot' ? `suspend snapshot of ${e.app}`
          : e.event === 'redraw' ? `toggle redrawn (${e.selected ? 'on' : 'off'})` : `bundle not loaded: ${e.bundle}`;
        const node = el('g', { class: `mark other ${e.event}`, 'data-t': e.t }, g);
        el('circle', { cx: x(e.t), cy: y + h / 2, r: 2.5 }, node);
        title(node, `${fmt(e.t)} s: ${what}${to - from > 1 ? ` (and ${to - from - 1} more)` : ''}`);
      }
    }
  }

  // --- The phone at one moment. ---

  function drawPhone(container, model, t) {
    const s = model.stateAt(t);
    const state = s ? s.state : {};
    const booted = model.bootTimes.length > 0 && model.bootTimes[0] <= t + 1e-9;
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
    const local = model.localTimeAt(t);
    el('text', { x: 30, y: 38, class: 'status', id: 'phone-clock' }, svg, local ? `${local.slice(11, 16)} · ${fmt(t)} s` : `${fmt(t)} s`);
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
    // The banner slot at the top: a banner stays until the host lets it go.
    const banner = model.bannerAt(t);
    const bg = el('g', { id: 'phone-banner', 'data-state': banner ? (banner.shown ? 'shown' : 'hidden') : 'none', 'data-app': banner ? banner.app : '' }, svg);
    if (banner) {
      el('rect', { x: 28, y: 48, width: 184, height: 38, rx: 8, class: banner.shown ? 'banner shown' : 'banner hidden' }, bg);
      el('text', { x: 36, y: 64, class: 'banner-app' }, bg, fit(banner.app, 170, 11));
      el('text', { x: 36, y: 78, class: 'banner-text' }, bg, banner.shown ? 'banner shown' : 'banner kept hidden');
    }
    // The notification list.
    const lg = el('g', { id: 'phone-list', opacity: listAlpha === null ? 1 : listAlpha.toFixed(3), 'data-alpha': listAlpha }, svg);
    el('text', { x: 30, y: 106, class: 'area-label' }, lg, 'Notifications');
    const items = model.listAt(t);
    items.forEach((n, i) => {
      el('rect', { x: 28, y: 114 + i * 36, width: 184, height: 30, rx: 7, class: 'card' }, lg);
      el('text', { x: 36, y: 133 + i * 36, class: 'card-text', 'data-app': n.app }, lg, fit(n.app, 170, 11));
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
      el('text', { x: 120, y: 406, 'text-anchor': 'middle', class: 'front-label', 'data-app': s.front }, svg, fit(`in front: ${s.front}`, 170, 10));
    }
    // Control Center, just opened: its toggle as the module draws it.
    const ccOpen = model.latestCommand('cc open', t, SHOWN_FOR.cc);
    if (ccOpen) {
      const pg = el('g', { id: 'phone-cc', 'data-state': toggle ? 'on' : 'off' }, svg);
      el('rect', { x: 28, y: 120, width: 184, height: 110, rx: 14, class: 'cc-panel' }, pg);
      el('text', { x: 40, y: 140, class: 'cc-title' }, pg, 'Control Center');
      el('circle', { cx: 120, cy: 185, r: 26, class: toggle ? 'cc-toggle on' : 'cc-toggle off' }, pg);
      el('text', { x: 120, y: 191, 'text-anchor': 'middle', class: 'cc-glyph' }, pg, 'Q');
    }
    // What was just played or shown. The ringer display says which
    // position it shows and when the switch was moved there: Quelline
    // defers it, so it may come after the switch moved on.
    const hud = model.latest('hud', t, SHOWN_FOR.hud);
    if (hud) {
      const hg = el('g', { id: 'phone-hud', 'data-state': hud.arg ? 'silent' : 'ring' }, svg);
      el('rect', { x: 56, y: 164, width: 128, height: 52, rx: 10, class: 'hud' }, hg);
      el('text', { x: 120, y: 184, 'text-anchor': 'middle', class: 'hud-caption' }, hg, 'Ringer display:');
      el('text', { x: 120, y: 199, 'text-anchor': 'middle', class: 'hud-text' }, hg, hud.arg ? 'Silent mode' : 'Ring');
      if (hud.asked !== null && hud.asked !== undefined)
        el('text', { x: 120, y: 211, 'text-anchor': 'middle', class: 'hud-caption' }, hg, `switch moved at ${fmt(hud.asked)} s`);
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
    const sound = model.latestOf(['sound', 'sound-skipped'], t, SHOWN_FOR.sound);
    if (sound) {
      const played = sound.event === 'sound';
      el('text', { id: 'phone-sound', x: 120, y: 452, 'text-anchor': 'middle', class: `sound-text${played ? '' : ' skipped'}`, 'data-state': played ? 'played' : 'skipped' }, svg,
        fit(played ? `sound: ${sound.sound}` : `no sound (${sound.reason || 'skipped'})`, 200, 10));
    }
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

  // The Settings app's Quelline pane at `t`, as it showed after its last
  // command: its groups, each row's control and whether it can be used, the
  // footers, and the last alert. `act(command)`, when given (the live
  // phone), makes the controls usable: each change is a settings command,
  // carried out by the Settings process.
  function drawPane(container, model, t, act) {
    const s = model.stateAt(t);
    const pane = s && s.state ? s.state.pane : null;
    const box = document.createElement('div');
    box.className = 'pane';
    const note = (text) => {
      const p = document.createElement('p');
      p.className = 'hint';
      p.textContent = text;
      box.appendChild(p);
    };
    if (!pane || !pane.open) {
      note(pane ? 'The Settings app runs; the Quelline pane is not open.' : 'The Settings app has not been opened.');
      if (act) {
        const open = document.createElement('button');
        open.type = 'button';
        open.id = 'pane-open';
        open.textContent = 'Open Settings → Quelline';
        open.addEventListener('click', () => act('settings open'));
        box.appendChild(open);
      }
      container.replaceChildren(box);
      return;
    }
    const head = document.createElement('h4');
    head.textContent = pane.title || 'Quelline';
    box.appendChild(head);
    for (const group of pane.groups || []) {
      const section = document.createElement('fieldset');
      section.className = 'pane-group';
      if (group.title) {
        const legend = document.createElement('legend');
        legend.textContent = group.title;
        section.appendChild(legend);
      }
      for (const row of group.rows || []) {
        const line = document.createElement('div');
        line.className = `pane-row${row.enabled ? '' : ' disabled'}`;
        line.dataset.key = row.key || row.id;
        const label = document.createElement('label');
        label.textContent = row.label;
        line.appendChild(label);
        const usable = Boolean(act && row.enabled);
        if (row.cell === 'switch') {
          const input = document.createElement('input');
          input.type = 'checkbox';
          input.checked = row.value === true;
          input.disabled = !usable;
          input.setAttribute('aria-label', row.label);
          input.addEventListener('change', () => act(`settings set ${row.key} ${input.checked}`));
          label.prepend(input);
        } else if (row.cell === 'slider') {
          const input = document.createElement('input');
          input.type = 'range';
          input.min = String(row.min);
          input.max = String(row.max);
          input.step = '1';
          input.value = String(row.value);
          input.disabled = !usable;
          input.setAttribute('aria-label', row.label);
          const shown = document.createElement('span');
          shown.className = 'pane-value';
          shown.textContent = String(row.value);
          input.addEventListener('input', () => (shown.textContent = input.value));
          input.addEventListener('change', () => act(`settings set ${row.key} ${input.value}`));
          line.append(input, shown);
        } else if (row.cell === 'choice') {
          // A list of choices (a clock time: the day's times every 15
          // minutes); picking one sets the key.
          const select = document.createElement('select');
          for (const choice of row.choices || []) {
            const option = document.createElement('option');
            option.value = String(choice.value);
            option.textContent = typeof choice.title === 'string' ? choice.title : String(choice.value);
            select.appendChild(option);
          }
          select.value = String(row.value);
          select.disabled = !usable;
          select.setAttribute('aria-label', row.label);
          select.addEventListener('change', () => act(`settings set ${row.key} ${select.value}`));
          line.appendChild(select);
        } else if (row.cell !== 'link') {
          // A control this page does not draw: its value, as text.
          const shown = document.createElement('span');
          shown.className = 'pane-value';
          shown.textContent = JSON.stringify(row.value);
          line.appendChild(shown);
        } else {
          // An app-list row: the editor is pushed; here, an app is checked
          // or unchecked in it.
          const mark = document.createElement('span');
          mark.className = 'pane-link';
          mark.textContent = '›';
          line.appendChild(mark);
          if (usable) {
            const form = document.createElement('form');
            const app = document.createElement('input');
            app.size = 16;
            app.value = 'com.example.game';
            app.setAttribute('aria-label', `bundle identifier for ${row.label}`);
            const add = document.createElement('button');
            add.textContent = 'check';
            const remove = document.createElement('button');
            remove.textContent = 'uncheck';
            form.append(app, add, remove);
            form.addEventListener('submit', (ev) => {
              ev.preventDefault();
              const action = ev.submitter === remove ? 'remove' : 'add';
              act(`settings apps ${row.list} ${action} ${JSON.stringify(app.value.trim())}`);
            });
            line.appendChild(form);
          }
        }
        section.appendChild(line);
      }
      if (group.footer) {
        const footer = document.createElement('p');
        footer.className = 'pane-footer';
        footer.textContent = group.footer;
        section.appendChild(footer);
      }
      box.appendChild(section);
    }
    // The alert showing now: it goes once a later change succeeds.
    const last = pane.alert;
    if (last && last.message) {
      const alert = document.createElement('div');
      alert.className = 'pane-alert';
      alert.setAttribute('role', 'alert');
      alert.textContent = `${last.title ? `${last.title}: ` : ''}${last.message}`;
      box.appendChild(alert);
    }
    container.replaceChildren(box);
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

  return { Model, Timeline, drawPhone, drawSettings, drawPane, drawVerdict, fmt, fold };
})();
