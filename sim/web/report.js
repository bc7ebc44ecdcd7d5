// The report of one run: the whole timeline, and the phone at the time
// under the pointer or on the slider.
'use strict';

(() => {
  const data = JSON.parse(document.getElementById('run-data').textContent);
  const model = new Phone.Model(data);
  const end = Math.max(model.end() + 0.3, 1);
  document.getElementById('subtitle').textContent =
    `${data.vanilla ? 'The host without Quelline (--vanilla)' : 'The host with Quelline and its Control Center toggle'}; ` +
    `${(data.commands || []).length} commands over ${Phone.fmt(model.end())} s.`;
  Phone.drawVerdict(document.getElementById('verdict'), data);

  const timeline = new Phone.Timeline(document.getElementById('timeline'), model);
  const slider = document.getElementById('slider');
  slider.max = String(end);
  // The page opens at the first moment something a person perceives
  // happens (the end of the first fade, a banner, a sound, a tap).
  let current = model.firstPerceived === null ? 0 : Math.min(end, model.firstPerceived);
  slider.value = String(current);
  const show = (t) => {
    current = t;
    document.getElementById('phone-time').textContent = Phone.fmt(t);
    Phone.drawPhone(document.getElementById('phone'), model, t);
    Phone.drawSettings(document.getElementById('settings'), model, t);
    Phone.drawPane(document.getElementById('pane'), model, t);
    timeline.setCursor(t);
  };
  timeline.onPick = (t) => {
    slider.value = String(t);
    show(t);
  };
  slider.addEventListener('input', () => show(Number(slider.value)));

  // Play: the run again at its own pace, from the slider's time.
  let playing = null;
  const play = document.getElementById('moment-button');
  play.textContent = 'Play';
  document.getElementById('moment-hint').textContent =
    'Move the pointer over the timeline, or drag the slider, to see the phone at that time.';
  play.addEventListener('click', () => {
    if (playing) {
      cancelAnimationFrame(playing);
      playing = null;
      play.textContent = 'Play';
      return;
    }
    const from = current >= end ? 0 : current;
    const started = performance.now();
    play.textContent = 'Pause';
    const step = () => {
      const t = Math.min(end, from + (performance.now() - started) / 1000);
      slider.value = String(t);
      show(t);
      if (t < end) playing = requestAnimationFrame(step);
      else {
        playing = null;
        play.textContent = 'Play';
      }
    };
    playing = requestAnimationFrame(step);
  });

  const redraw = () => {
    timeline.draw(0, end);
    show(current);
  };
  // Drawn again when its width changes (a window resized, a scroll bar
  // that came with the page).
  let drawnWidth = 0;
  new ResizeObserver(() => {
    const width = Math.floor(document.getElementById('timeline').getBoundingClientRect().width);
    if (width !== drawnWidth) {
      drawnWidth = width;
      redraw();
    }
  }).observe(document.getElementById('timeline'));
  redraw();
  document.body.setAttribute('data-ready', 'true');
})();
