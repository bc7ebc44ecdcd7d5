// The live phone: the process's records stream in as they happen; the
// phone is drawn at the process's current time (or at a time picked on the
// slider), and the buttons, gestures and settings act on the process.
'use strict';

(() => {
  const WINDOW = 40; // seconds of timeline shown
  const KEPT = 20000; // records of each kind the page keeps
  const empty = () => ({ commands: [], events: [], states: [], stateBase: { t: 0, state: {}, front: null }, expectations: [], errors: [], end: 0 });
  const model = new Phone.Model(empty());
  let offset = null; // run time = performance.now() / 1000 + offset
  let seq = 0;
  let pinned = null; // a time picked on the slider or the timeline
  let dirty = true;
  let keys = [];

  const $ = (id) => document.getElementById(id);
  const now = () => (offset === null ? 0 : performance.now() / 1000 + offset);
  const say = (text, error) => {
    $('message').textContent = text;
    $('message').className = error ? 'error' : '';
  };

  // --- What the server streams. ---
  const apply = (m) => {
    if (m.seq <= seq) return; // the snapshot held it already
    seq = m.seq;
    const d = model.data;
    const r = m.record;
    const list = { event: d.events, command: d.commands, state: d.states, expectation: d.expectations }[m.kind];
    if (list) {
      list.push(r);
      if (list.length > KEPT) {
        // The oldest states go into the base the kept ones start from.
        if (list === d.states) for (const old of list.slice(0, list.length - KEPT)) Phone.fold(d.stateBase, old);
        list.splice(0, list.length - KEPT);
      }
    } else if (m.kind === 'error') d.errors.push(r.message);
    // Records come stamped with the process's time: keep the clock honest.
    if (typeof r.t === 'number' && r.t > now()) offset = r.t - performance.now() / 1000;
    dirty = true;
  };
  const connect = () => {
    const source = new EventSource('api/events');
    source.addEventListener('snapshot', (ev) => {
      const s = JSON.parse(ev.data);
      model.data = Object.assign(empty(), s.record);
      seq = s.seq;
      offset = s.now - performance.now() / 1000;
      dirty = true;
      $('subtitle').textContent = `${s.record.vanilla ? 'The host without Quelline (--vanilla)' : 'The host with Quelline and its Control Center toggle'}, on the real clock. Every page open on this server shows the same phone.`;
      document.body.setAttribute('data-ready', 'true');
    });
    source.addEventListener('reset', () => {
      source.close();
      connect();
    });
    source.onmessage = (ev) => apply(JSON.parse(ev.data));
    source.onerror = () => $('subtitle').textContent = 'The connection to the server dropped; retrying…';
  };

  // --- Acting on the phone. ---
  // The simulator's reason for a failed expectation: the answer's own
  // text, or else the expectation record that streamed in for it.
  const reasonOf = (answer) => {
    const text = answer.reason || answer.error || answer.message;
    if (typeof text === 'string' && text) return text;
    const e = answer.expectation || model.data.expectations.filter((x) => !x.held).pop();
    return e ? `${e.path}: expected ${JSON.stringify(e.expected)}, actual ${JSON.stringify(e.actual)}` : 'the expectation failed';
  };
  const post = async (path, body) => {
    try {
      const res = await fetch(path, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
      let answer = {};
      try {
        answer = (await res.json()) || {};
      } catch (e) {
        answer = {};
      }
      const failed = res.ok && (answer.ok === false || answer.held === false);
      if (!res.ok) say(`${res.status}: ${answer.error || res.statusText}`, true);
      else if (failed) {
        // The record of the expectation may still be on its way.
        if (!answer.reason && !answer.error && !answer.message && !answer.expectation)
          await new Promise((done) => setTimeout(done, 300));
        say(`${body.command}: ${answer.refused ? 'refused by the pane' : 'failed'}: ${reasonOf(answer)}`, true);
      } else say(body.command ? `${body.command}: done` : `${body.key}: written; reload posted`, false);
      return res.ok && !failed;
    } catch (e) {
      say(`the server did not answer: ${e}`, true);
      return false;
    }
  };
  const run = (command) => post('api/command', { command });
  for (const b of document.querySelectorAll('button[data-command]')) b.addEventListener('click', () => run(b.dataset.command));
  const quote = (text) => JSON.stringify(text.trim());
  // The fields are forms: Enter sends them as their first button does.
  $('notify-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const sound = $('notify-sound').value;
    run(`notify ${quote($('notify-app').value)}${sound ? ` ${sound}` : ''}`);
  });
  $('app-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    run(`${ev.submitter && ev.submitter.id === 'app-suspend' ? 'suspend' : 'open'} ${quote($('app').value)}`);
  });
  $('command-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    run($('command').value);
  });

  // Gestures on the drawing: the switch and the toggle flip; clicks on the
  // home screen close together are one multi-tap; a hold is a touch.
  let taps = 0;
  let tapTimer = null;
  let holdTimer = null;
  let held = false;
  const phone = $('phone');
  phone.title = "Click the screen's lower half to tap (clicks close together make one multi-tap), hold it for a touch; click the switch or the Q button to flip them.";
  const state = () => {
    const s = model.stateAt(now());
    return s ? s.state : {};
  };
  phone.addEventListener('pointerdown', (ev) => {
    const target = ev.target.closest('#phone-switch, #phone-toggle');
    if (target && target.id === 'phone-switch') return run(state().ringer && state().ringer.muted ? 'switch ring' : 'switch silent');
    if (target && target.id === 'phone-toggle') return run(state().module && state().module.selected ? 'toggle off' : 'toggle on');
    const box = phone.getBoundingClientRect();
    if (ev.clientY - box.top < box.height / 2) return;
    held = false;
    holdTimer = setTimeout(() => {
      held = true;
      run('touch');
    }, 500);
  });
  phone.addEventListener('pointerup', () => {
    if (holdTimer === null) return;
    clearTimeout(holdTimer);
    holdTimer = null;
    if (held) return;
    taps += 1;
    clearTimeout(tapTimer);
    tapTimer = setTimeout(() => {
      run(`tap ${taps}`);
      taps = 0;
    }, 350);
  });

  // --- Preferences. ---
  const drawPrefs = () => {
    const s = model.stateAt(now());
    const file = s && s.state && s.state.file ? s.state.file : {};
    const panel = $('prefs-panel');
    if (panel.contains(document.activeElement) && document.activeElement.type === 'number') return;
    panel.replaceChildren();
    for (const k of keys) {
      const row = document.createElement('div');
      const label = document.createElement('label');
      label.textContent = `${k.name}${k.live ? ' (read live)' : ''}`;
      label.htmlFor = `pref-${k.name}`;
      const input = document.createElement('input');
      input.id = `pref-${k.name}`;
      const set = k.name in file;
      const value = set ? file[k.name] : k.default;
      if (k.type === 'boolean') {
        input.type = 'checkbox';
        input.checked = value === true;
        input.addEventListener('change', () => post('api/prefs', { key: k.name, value: input.checked ? 'true' : 'false' }));
      } else {
        input.type = 'number';
        input.step = '1';
        input.value = String(value);
        input.addEventListener('change', () => post('api/prefs', { key: k.name, value: input.value }));
      }
      const reset = document.createElement('button');
      reset.type = 'button';
      reset.textContent = 'default';
      reset.disabled = !set;
      reset.addEventListener('click', () => post('api/prefs', { key: k.name, remove: true }));
      const note = document.createElement('span');
      note.className = 'hint';
      note.textContent = set ? '' : ` default ${JSON.stringify(k.default)}`;
      row.append(label, input, ' ', reset, note);
      panel.appendChild(row);
    }
  };
  fetch('api/settings').then((r) => r.json()).then((s) => {
    keys = s.keys;
    $('prefs-path').textContent = s.path;
    dirty = true;
  });

  // --- Drawing. ---
  const timeline = new Phone.Timeline($('timeline'), model);
  const slider = $('slider');
  timeline.onPick = (t) => {
    pinned = t;
    slider.value = String(t);
  };
  slider.addEventListener('input', () => {
    pinned = Number(slider.value);
  });
  $('moment-button').textContent = 'Now';
  $('moment-button').addEventListener('click', () => {
    pinned = null;
  });
  let lastTimeline = 0;
  let lastPrefs = null;
  let lastSettings;
  const frame = (stamp) => {
    const t1 = Math.max(now() + 0.5, 10);
    const t0 = Math.max(0, t1 - WINDOW);
    if (dirty) {
      model.rebuild();
      const s = model.stateAt(now());
      const prefsKey = JSON.stringify(s && s.state ? s.state.file : null) + keys.length;
      if (prefsKey !== lastPrefs) {
        lastPrefs = prefsKey;
        drawPrefs();
      }
    }
    // The timeline slides with the clock a few times a second.
    if (dirty || stamp - lastTimeline > 200) {
      timeline.draw(t0, t1);
      lastTimeline = stamp;
    }
    dirty = false;
    const t = pinned === null ? now() : pinned;
    slider.min = String(t0);
    slider.max = String(now());
    if (pinned === null) slider.value = String(t);
    $('pinned').textContent = pinned === null ? '(now)' : '(picked: Now returns)';
    $('phone-time').textContent = Phone.fmt(t);
    Phone.drawPhone(phone, model, t);
    const shown = model.stateAt(t);
    if (shown !== lastSettings) {
      lastSettings = shown;
      Phone.drawSettings($('settings'), model, t);
      // Edits go through the Settings process, as a person's in the app.
      Phone.drawPane($('pane'), model, t, run);
    }
    timeline.setCursor(t);
    requestAnimationFrame(frame);
  };
  connect();
  requestAnimationFrame(frame);
})();
