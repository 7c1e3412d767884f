// SPDX-License-Identifier: MIT
// The dashboard: one event stream for the whole page (every unit's inputs,
// outputs, plugging), each unit's state read when the stream says so, and
// the counters' history as the daemon keeps it. No framework, no build step.
"use strict";

const TOKEN_KEY = "kdx7400d-token";
const REFRESH_MS = 2000;
const LOG_LENGTH = 50;
// A write that has no answer in this time is shown as failed (its outcome unknown).
const WRITE_TIMEOUT_MS = 15000;

const panels = new Map();
let token = sessionStorage.getItem(TOKEN_KEY);
// The tabs of this page share the token: given once, not in each tab.
// Same-origin only, and in memory: nothing outlives the session.
const tokens = "BroadcastChannel" in globalThis ? new BroadcastChannel(TOKEN_KEY) : null;
function keepToken(given, tell = true) {
  token = given;
  if (given) sessionStorage.setItem(TOKEN_KEY, given);
  else sessionStorage.removeItem(TOKEN_KEY);
  if (tell && tokens) tokens.postMessage({ token: given });
}
if (tokens) {
  tokens.onmessage = (event) => {
    const message = event.data || {};
    if (message.ask && token) tokens.postMessage({ token });
    else if ("token" in message && (typeof message.token === "string" || message.token === null)) {
      keepToken(message.token, false);
    }
  };
  if (!token) tokens.postMessage({ ask: true });
}
let limits = {};
let streamDownSince = null;
// The daemon says how often a quiet stream speaks; silence for twice
// that means the page no longer hears it.
let heartbeatMs = 15000;
let lastHeard = Date.now();

const $ = (id) => document.getElementById(id);
const isSet = (mask, n) => ((BigInt(mask) >> BigInt(n)) & 1n) === 1n;
const hex = (value, channels) => `0x${BigInt(value).toString(16).padStart(Math.max(1, Math.ceil(channels / 4)), "0")}`;
const clock = (seconds) => new Date(seconds * 1000).toLocaleTimeString();

function element(tag, attributes = {}, text = "") {
  const made = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) made.setAttribute(name, value);
  if (text) made.textContent = text;
  return made;
}

// Spoken only for what a person must hear.
function announce(text) {
  const live = $("announce");
  live.textContent = "";
  setTimeout(() => { live.textContent = text; }, 50);
}

// The log: each kind (edges, pulses, writes, the module's own) keeps its
// latest LOG_LENGTH, so that a flood of pulses pushes out no write. It
// starts from the daemon's ring, so that a reload keeps it.
const logEntries = []; // { key, kind, unit, time, text }, oldest first
const logKeys = new Set();
function logEvent(unit, text, time = Date.now() / 1000, kind = "module", key = null) {
  if (key !== null) {
    if (logKeys.has(key)) return;
    logKeys.add(key);
  }
  let at = logEntries.length;
  while (at > 0 && logEntries[at - 1].time > time) at -= 1;
  logEntries.splice(at, 0, { key, kind, unit, time, text });
  const ofKind = logEntries.filter((entry) => entry.kind === kind);
  for (const old of ofKind.slice(0, Math.max(0, ofKind.length - LOG_LENGTH))) {
    logEntries.splice(logEntries.indexOf(old), 1);
    if (old.key !== null) logKeys.delete(old.key);
  }
  showLog();
}

function showLog() {
  const shown = new Set([...document.querySelectorAll("#log-filters input:checked")].map((box) => box.value));
  const items = [];
  for (let n = logEntries.length - 1; n >= 0; n -= 1) {
    const { kind, unit, time, text } = logEntries[n];
    if (!shown.has(kind)) continue;
    const item = element("li", { "data-kind": kind });
    item.append(element("time", { datetime: new Date(time * 1000).toISOString() }, clock(time)), ` unit ${unit}: ${text}`);
    items.push(item);
  }
  $("log").replaceChildren(...items);
}

// Who wrote, as the daemon's audit trail names them.
const writer = (data) => (data.client
  ? `${data.by} ${data.client.address}${data.client.identity ? ` (${data.client.identity})` : ""}` : data.by);

// What the log says of an event: [kind, text], or null for none.
function logLine(panel, name, data) {
  if (name === "input") {
    const input = `input ${panel ? panel.name("inputs", data.channel) : data.channel}`;
    if (data.kind === "pulses") return ["pulses", `${input}: ${data.count} pulses`];
    if (data.kind === "reset") return ["write", `${input}: counter cleared`];
    return ["edge", `${input} ${data.kind}`];
  }
  if (name === "settings") return ["write", `settings changed by ${writer(data)}`];
  if (name === "outputs") return ["write", `outputs ${hex(data.outputs, panel ? panel.switches.length : 64)} by ${writer(data)}`];
  if (name === "watch") {
    if (data.watch === "paused") return ["module", `input watch paused: ${data.why}`];
    return data.watch === "watching" ? ["module", "input watch resumed"] : null;
  }
  if (name === "responding") return ["module", data.responding ? "answers again" : "does not answer"];
  if (name === "plugged") return ["module", "plugged in"];
  if (name === "unplugged") return ["module", "unplugged"];
  return null;
}

function logFromStream(panel, name, data) {
  const line = logLine(panel, name, data);
  const key = data.global === undefined ? null : `${data.boot}:${data.global}`;
  if (line) logEvent(data.unit, line[1], data.time, line[0], key);
}

// What the daemon still keeps, merged with what the stream brought.
async function loadLog() {
  const answer = await read("/api/log");
  if (!answer.ok) return;
  for (const data of answer.body.events) logFromStream(panels.get(data.unit), data.event, data);
}

// Writes that touch more than one output or counter ask first.
function confirmWrite(question, action) {
  const dialog = $("confirm-dialog");
  $("confirm-title").textContent = question;
  $("confirm-ok").textContent = action;
  return new Promise((resolve) => {
    const done = (yes) => { dialog.close(); resolve(yes); };
    $("confirm-cancel").onclick = () => done(false);
    $("confirm-form").onsubmit = (event) => { event.preventDefault(); done(true); };
    dialog.oncancel = () => resolve(false);
    dialog.showModal();
    $("confirm-cancel").focus();
  });
}

function askToken(why) {
  const dialog = $("token-dialog");
  const input = $("token-input");
  $("token-title").textContent = why || "Token needed";
  input.value = "";
  return new Promise((resolve) => {
    const done = (value) => { dialog.close(); resolve(value); };
    $("token-cancel").onclick = () => done(null);
    $("token-form").onsubmit = (event) => { event.preventDefault(); done(input.value.trim() || null); };
    dialog.oncancel = () => resolve(null);
    dialog.showModal();
    input.focus();
  });
}

// A write: JSON, the token in a header (never a cookie, so another site's
// page cannot write), asked for when the daemon says it is needed.
async function write(method, path, body) {
  for (let attempt = 0; attempt < 2; attempt++) {
    const headers = { "Content-Type": "application/json" };
    if (token) headers.Authorization = `Bearer ${token}`;
    let response;
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), WRITE_TIMEOUT_MS);
    try {
      response = await fetch(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body),
        signal: abort.signal });
    } catch (error) {
      return { ok: false, status: 0, body: { error: abort.signal.aborted
        ? `no answer within ${WRITE_TIMEOUT_MS / 1000} s: whether it took effect is unknown`
        : "the daemon does not answer" } };
    } finally {
      clearTimeout(timer);
    }
    const data = await response.json().catch(() => ({}));
    if (response.status !== 401) return { ok: response.ok, status: response.status, body: data };
    const refused = Boolean(headers.Authorization);
    keepToken(null);
    if (attempt === 1) return { ok: false, status: 401, body: { error: "the daemon refused the token" } };
    const given = await askToken(refused ? "That token was refused" : "Token needed");
    if (!given) return { ok: false, status: 401, body: { error: "writing needs the token" } };
    keepToken(given);
  }
  return { ok: false, status: 401, body: { error: "the daemon refused the token" } };
}

// The module's state is never taken from a cache; the API's description
// is revalidated ("no-cache"): a 304 costs a few bytes.
async function read(path, cache = "no-store") {
  try {
    const response = await fetch(path, { cache });
    return { ok: response.ok, status: response.status, body: await response.json().catch(() => ({})) };
  } catch (error) {
    return { ok: false, status: 0, body: {} };
  }
}

// Rates between history samples; a reset (a clear, a re-plug) is a gap
// with a mark, never a spike.
function ratesOf(samples, channel) {
  const points = [];
  for (let i = 1; i < samples.length; i++) {
    const [before, after] = [samples[i - 1], samples[i]];
    const reset = isSet(after.resets, channel);
    const delta = after.counters[channel] - before.counters[channel];
    const seconds = Math.max(after.time - before.time, 0.001);
    points.push({ time: after.time, rate: reset || delta < 0 ? null : delta / seconds, reset });
  }
  return points;
}

// The axis's top: the least of 1, 2 or 5 times a power of ten at or above.
function roundUp(value) {
  const power = 10 ** Math.floor(Math.log10(value));
  return [1, 2, 5, 10].map((m) => m * power).find((top) => top >= value * (1 - 1e-9));
}

const rateText = (rate) => (rate >= 10 ? String(Math.round(rate)) : String(Math.round(rate * 10) / 10));

// The value under the pointer, or the latest one for a plot in focus.
function readOut(canvas, readout, clientX = null) {
  const points = canvas.plotted ? canvas.plotted.points : [];
  if (!points.length) { readout.textContent = ""; return; }
  let point = points[points.length - 1];
  if (clientX !== null) {
    const at = clientX - canvas.getBoundingClientRect().left;
    point = points.reduce((best, p) => (Math.abs(canvas.plotted.x(p.time) - at) < Math.abs(canvas.plotted.x(best.time) - at) ? p : best));
  }
  readout.textContent = `${rateText(point.rate)}/s at ${clock(point.time)}`;
}

function plot(canvas, points, seconds, now) {
  const ratio = globalThis.devicePixelRatio || 1;
  const width = canvas.clientWidth || 240;
  const height = canvas.clientHeight || 64;
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  const context = canvas.getContext("2d");
  context.setTransform(ratio, 0, 0, ratio, 0, 0);
  context.clearRect(0, 0, width, height);
  const style = getComputedStyle(canvas);
  const ink = style.getPropertyValue("--plot").trim() || "#0969da";
  const muted = style.getPropertyValue("--muted").trim() || "#59636e";
  const left = 34, bottom = height - 12;
  const rates = points.filter((p) => p.rate !== null).map((p) => p.rate);
  const top = roundUp(Math.max(1, ...rates));
  canvas.dataset.max = String(Math.max(0, ...rates));
  canvas.dataset.top = String(top);
  context.font = "10px sans-serif";
  context.fillStyle = muted;
  // Pulses per second: ticks at 0, half and the top, round numbers.
  for (const fraction of [0, 0.5, 1]) {
    const y = bottom - fraction * (bottom - 4);
    context.fillText(fraction === 0 ? "0" : `${rateText(top * fraction)}/s`, 0, Math.max(10, y + 3));
    context.fillRect(left - 3, Math.round(y), 3, 1);
  }
  context.strokeStyle = muted;
  context.beginPath();
  context.moveTo(left, 2);
  context.lineTo(left, bottom);
  context.lineTo(width, bottom);
  context.stroke();
  const span = Number(seconds);
  const x = (time) => left + (1 - (now - time) / span) * (width - left);
  canvas.plotted = { points: points.filter((p) => p.rate !== null && now - p.time <= span), x };
  for (const [fraction, label] of [[0, `-${span >= 3600 ? "1 h" : span >= 300 ? "5 min" : "1 min"}`], [1, "now"]]) {
    context.fillText(label, fraction === 0 ? left : width - 22, height - 1);
  }
  // Reset marks first, each a path of its own: a path begun for a mark
  // must not throw away the line built so far.
  const marks = points.filter((p) => p.reset && now - p.time <= span);
  canvas.dataset.marks = marks.map((p) => x(p.time).toFixed(1)).join(" ");
  context.save();
  context.strokeStyle = muted;
  context.setLineDash([2, 2]);
  for (const point of marks) {
    context.beginPath();
    context.moveTo(x(point.time), 2);
    context.lineTo(x(point.time), bottom);
    context.stroke();
  }
  context.restore();
  context.strokeStyle = ink;
  context.lineWidth = 1.5;
  context.beginPath();
  let drawing = false;
  for (const point of points) {
    if (point.rate === null || now - point.time > span) { drawing = false; continue; }
    const y = bottom - (point.rate / top) * (bottom - 4);
    if (drawing) context.lineTo(x(point.time), y);
    else context.moveTo(x(point.time), y);
    drawing = true;
  }
  context.stroke();
}

class Panel {
  constructor(summary) {
    this.id = summary.id;
    this.node = $("panel-template").content.firstElementChild.cloneNode(true);
    this.node.id = `module-${this.id}`;
    const title = this.node.querySelector(".title");
    title.id = `module-${this.id}-title`;
    title.tabIndex = -1;
    this.node.setAttribute("aria-labelledby", title.id);
    this.q = (selector) => this.node.querySelector(selector);
    this.leds = [];
    this.switches = [];
    this.rows = [];
    this.state = null;
    this.samples = [];
    this.labels = { inputs: [], outputs: [] };
    this.responding = true;
    this.watch = { state: "watching", why: "" };
    this.watchdogTimeout = 0;
    this.asOf = null; // when the values shown were last current (seconds)
    this.q(".all-off").addEventListener("click", async () => {
      if (await confirmWrite(`Switch off all ${this.switches.length} outputs of unit ${this.id}?`, "Switch all off")) {
        this.setOutputs(null, 0n);
      }
    });
    this.q(".clear-all").addEventListener("click", async () => {
      if (await confirmWrite(`Clear all ${this.leds.length} counters of unit ${this.id}?`, "Clear all")) {
        this.clearCounters((1n << BigInt(this.leds.length)) - 1n);
      }
    });
    this.q(".clear-watchdog").addEventListener("click", () => this.clearWatchdog());
    this.q(".window").addEventListener("change", () => this.refreshHistory());
    this.q(".show-all").addEventListener("change", () => this.showCounters());
    this.q(".settings-form").addEventListener("submit", (event) => { event.preventDefault(); this.saveSettings(); });
    this.q(".labels-form").addEventListener("submit", (event) => { event.preventDefault(); this.saveLabels(); });
    this.q(".csv").href = `/api/modules/${this.id}/history?seconds=3600&format=csv`;
    this.q(".csv").setAttribute("aria-label", `counters of unit ${this.id} as CSV`);
    $("modules").append(this.node);
    this.row = this.buildRow();
    this.showSummary(summary);
  }

  // Its line in the overview: name, state, watchdog, inputs and outputs
  // as strips of bits; the name leads to the detail.
  buildRow() {
    const row = element("tr");
    const link = element("a", { href: `#module-${this.id}-title` });
    const cell = (child, className) => {
      const td = element("td", { class: className });
      td.append(child);
      row.append(td);
      return child;
    };
    this.overview = {
      link: cell(link, "name"),
      state: cell(element("span"), "state"),
      watchdog: cell(element("span"), "watchdog-cell"),
      inputs: cell(element("span", { class: "strip", role: "img" }), "strip-cell"),
      outputs: cell(element("span", { class: "strip", role: "img" }), "strip-cell"),
    };
    const th = element("th", { scope: "row" });
    th.append(link);
    row.firstElementChild.replaceWith(th);
    $("overview-rows").append(row);
    return row;
  }

  showStrip(kind, mask) {
    const strip = this.overview[kind];
    const count = kind === "inputs" ? this.leds.length : this.switches.length;
    if (strip.children.length !== count) strip.replaceChildren(...Array.from({ length: count }, () => element("span")));
    const on = [];
    for (let n = 0; n < count; n += 1) {
      const set = mask !== null && isSet(mask, n);
      strip.children[n].classList.toggle("on", set);
      if (set) on.push(n);
    }
    strip.setAttribute("aria-label", mask === null ? `${kind} unknown`
      : on.length ? `${kind} on: ${on.join(", ")}` : `${kind} all off`);
  }

  showRow() {
    if (!this.overview) return;
    this.overview.link.textContent = this.node.querySelector(".title").textContent;
    this.overview.link.title = this.overview.link.textContent;
    const state = !this.present ? "unplugged" : !this.responding ? "not responding"
      : this.live() ? "current" : `as of ${clock(this.asOf || Date.now() / 1000)}`;
    this.overview.state.textContent = state;
    this.row.classList.toggle("stale", !this.live());
    this.overview.watchdog.textContent = this.watchdogTimeout ? `armed ${this.watchdogTimeout} ms` : "off";
  }

  name(kind, n) {
    const label = (this.labels[kind] || [])[n];
    return label ? `${n} ${label}` : String(n);
  }

  showSummary(summary) {
    const id = summary.identity;
    const name = id && id.nickname ? id.nickname : id && id.product ? id.product.trim() : summary.target;
    this.node.querySelector(".title").textContent = `Unit ${summary.id}: ${name}`;
    if (id) this.build(id.counts.di, id.counts.do);
    this.setPresent(summary.present);
    if (summary.responding !== undefined) this.setResponding(summary.responding);
    this.showRow();
  }

  // In byte groups of 8, as the module's registers hold them.
  build(inputs, outputs) {
    if (this.leds.length === inputs && this.switches.length === outputs) return;
    const leds = this.q(".leds");
    const switches = this.q(".switches");
    leds.replaceChildren();
    switches.replaceChildren();
    this.leds = [];
    this.switches = [];
    for (let n = 0; n < inputs; n++) {
      if (n % 8 === 0) leds.append(element("div", { class: "byte" }));
      const led = element("span", { class: "led", role: "img", "aria-label": `input ${n} off` });
      led.append(element("span", { class: "mark", "aria-hidden": "true" }), element("span", { class: "name" }, String(n)));
      leds.lastElementChild.append(led);
      this.leds.push(led);
    }
    for (let n = 0; n < outputs; n++) {
      if (n % 8 === 0) switches.append(this.byteGroup(n, Math.min(n + 8, outputs)));
      const button = element("button", { type: "button", class: "switch", role: "switch", "aria-checked": "false",
        tabindex: n === 0 ? "0" : "-1" }, String(n));
      button.addEventListener("click", () => this.setOutputs(1n << BigInt(n), button.getAttribute("aria-checked") === "true" ? 0n : 1n << BigInt(n)));
      button.addEventListener("keydown", (event) => this.move(event, n));
      switches.lastElementChild.querySelector(".byte").append(button);
      this.switches.push(button);
    }
    this.showLabels();
    this.buildLabelForm();
  }

  // Outputs first..last-1 as one group, with actions that set, clear or
  // flip them all in one write (asked first: it touches several).
  byteGroup(first, last) {
    const group = element("div", { class: "byte-group" });
    const actions = element("div", { class: "byte-actions" });
    const span = `outputs ${first} to ${last - 1}`;
    const mask = ((1n << BigInt(last - first)) - 1n) << BigInt(first);
    const kinds = [
      ["on", "all on", "Switch on", () => this.setOutputs(mask, mask)],
      ["off", "all off", "Switch off", () => this.setOutputs(mask, 0n)],
      ["toggle", "each flipped", "Toggle", () => this.toggleOutputs(mask)],
    ];
    for (const [word, text, verb, act] of kinds) {
      const shown = `${first}–${last - 1} ${word}`; // the accessible name starts with what is shown
      const action = element("button", { type: "button", class: "byte-action", "aria-label": `${shown}: ${span} ${text}` },
        shown);
      action.disabled = !this.reachable();
      action.addEventListener("click", async () => {
        if (await confirmWrite(`${verb} ${span} of unit ${this.id}?`, verb)) act();
      });
      actions.append(action);
    }
    group.append(element("div", { class: "byte" }), actions);
    return group;
  }

  // One Tab stop for the group; arrows, Home and End move within it.
  move(event, n) {
    const last = this.switches.length - 1;
    const to = { ArrowRight: n + 1, ArrowDown: n + 8, ArrowLeft: n - 1, ArrowUp: n - 8, Home: 0, End: last }[event.key];
    if (to === undefined) return;
    event.preventDefault();
    const target = Math.min(Math.max(to, 0), last);
    this.switches.forEach((button, i) => button.setAttribute("tabindex", i === target ? "0" : "-1"));
    this.switches[target].focus();
  }

  showLabels() {
    this.leds.forEach((led, n) => {
      const name = led.querySelector(".name");
      name.textContent = this.name("inputs", n);
      name.title = name.textContent;
    });
    this.switches.forEach((button, n) => {
      button.textContent = this.name("outputs", n);
      button.setAttribute("aria-label", `output ${this.name("outputs", n)}`);
      if (this.reachable()) button.title = button.textContent;
    });
    this.leds.forEach((led, n) => this.showLed(n, led.classList.contains("on")));
  }

  setPresent(present) {
    if (this.present === present) return;
    if (this.present !== undefined) announce(`Unit ${this.id} ${present ? "is back" : "was unplugged"}`);
    this.present = present;
    this.node.classList.toggle("absent", !present);
    this.q(".unplugged").hidden = present;
    this.showQuality();
    updateSummary();
  }

  // Plugged in but not answering is not unplugged.
  setResponding(responding) {
    if (this.responding === responding) return;
    if (this.present) announce(`Unit ${this.id} ${responding ? "answers again" : "does not answer"}`);
    this.responding = responding;
    this.showQuality();
    updateSummary();
  }

  // Whether what the panel shows is current, and if not, since when and why.
  // The daemon says it (its watch, the module's answers); the page adds only
  // that it no longer hears the daemon.
  live() {
    return streamDownSince === null && this.present && this.responding && this.watch.state === "watching";
  }

  // Whether a write could reach the module now. A paused watch is no
  // obstacle: a write is what resumes it.
  reachable() {
    return streamDownSince === null && this.present && this.responding;
  }

  // Controls that would write what cannot land are disabled, and say why;
  // the names are the daemon's and wait only for the daemon.
  showWritable() {
    const reachable = this.reachable();
    const why = streamDownSince !== null ? "no connection to the daemon"
      : !this.present ? "the module is unplugged" : "the module does not answer";
    const writers = ".switch, .byte-action, .all-off, .clear-all, .clear-one, .clear-watchdog, .settings-form button, " +
      ".settings-form input, .settings-form select";
    for (const control of this.node.querySelectorAll(writers)) {
      control.disabled = !reachable;
      if (!reachable) control.title = `Not now: ${why}`;
      else if (control.classList.contains("switch")) control.title = control.textContent; // the whole name
      else control.removeAttribute("title");
    }
    for (const control of this.node.querySelectorAll(".labels-form button, .labels-form input")) {
      control.disabled = streamDownSince !== null;
    }
  }

  showQuality(time = Date.now() / 1000) {
    const live = this.live();
    if (live) this.asOf = null;
    else if (this.asOf === null) this.asOf = this.wasLive === false ? (this.stateTime || time) : time;
    this.wasLive = live;
    this.node.classList.toggle("stale", !live);
    this.q(".not-responding").hidden = !this.present || this.responding;
    const note = this.q(".as-of");
    note.hidden = live;
    if (!live) {
      const why = streamDownSince !== null ? "no connection to the daemon"
        : !this.present ? "the module is unplugged"
          : !this.responding ? "the module does not answer"
            : `the input watch is ${this.watch.state}: ${this.watch.why}`;
      note.textContent = `As of ${clock(this.asOf)}: ${why}.`;
    }
    this.showWritable();
    this.showWatchdog();
    this.showRow();
  }

  showError(text) {
    const error = this.q(".error");
    clearTimeout(this.errorTimer);
    error.textContent = text || "";
    error.hidden = !text;
    if (text) {
      announce(`Unit ${this.id}: ${text}`);
      this.errorTimer = setTimeout(() => this.showError(null), 10000); // said, then out of the way
    }
  }

  showLed(n, on) {
    const led = this.leds[n];
    if (!led) return;
    led.classList.toggle("on", on);
    led.setAttribute("aria-label", `input ${this.name("inputs", n)} ${on ? "on" : "off"}`);
    this.inputs = on ? BigInt(this.inputs || 0) | (1n << BigInt(n)) : BigInt(this.inputs || 0) & ~(1n << BigInt(n));
    this.showStrip("inputs", this.inputs);
  }

  showInputs(mask) { this.leds.forEach((led, n) => this.showLed(n, isSet(mask, n))); }

  showOutputs(mask) {
    this.switches.forEach((button, n) => button.setAttribute("aria-checked", String(isSet(mask, n))));
    this.showStrip("outputs", BigInt(mask));
  }

  // A monitor's read: the daemon asks the module only when an armed
  // watchdog allows it, and otherwise says how old what it knows is.
  async reload() {
    const answer = await read(`/api/modules/${this.id}?monitor`);
    if (answer.status === 503) {
      const summary = await read("/api/modules");
      const mine = summary.ok ? (summary.body.modules || []).find((m) => m.id === this.id) : null;
      if (mine) this.showSummary(mine);
      else this.setPresent(false);
      return;
    }
    if (!answer.ok) return;
    const state = answer.body;
    this.state = state;
    this.labels = state.labels || this.labels;
    this.takeQuality(state);
    this.showSummary(state);
    this.showLabels();
    if (state.inputs !== null) this.showInputs(state.inputs);
    if (state.outputs !== null) this.showOutputs(state.outputs);
    if (state.filter !== undefined) this.fillSettings(state); // absent while never read
    this.fillLabels();
    this.showIdentity(state);
    await this.refreshHistory();
  }

  takeQuality(state) {
    const quality = state.quality || {};
    if (quality.watch) this.watch = quality.watch;
    this.watchdogTimeout = state.watchdog_timeout || 0;
    const inputs = quality.inputs || {};
    this.stateTime = inputs.time || null;
    if (inputs.quality !== "current") this.asOf = inputs.time || null;
    if (state.responding !== undefined) this.responding = state.responding;
    this.showQuality();
  }

  // As the daemon knows it: the module does not say whether it expired.
  showWatchdog() {
    const line = this.q(".watchdog");
    line.classList.remove("armed");
    if (!this.watchdogTimeout) { line.textContent = "Watchdog off"; return; }
    line.textContent = this.watch.state === "paused"
      ? `Watchdog armed: ${this.watchdogTimeout} ms; no client wrote lately, so it runs out unless one does`
      : `Watchdog armed: ${this.watchdogTimeout} ms`;
    line.classList.add("armed");
  }

  async refreshHistory() {
    if (!this.present) return;
    const seconds = this.q(".window").value;
    const answer = await read(`/api/modules/${this.id}/history?seconds=${seconds}`);
    if (!answer.ok) return;
    this.samples = answer.body.samples || [];
    this.showCounters();
  }

  showCounters() {
    const body = this.q(".counters tbody");
    const last = this.samples.length ? this.samples[this.samples.length - 1].counters : (this.state ? this.state.counters : []);
    const all = this.q(".show-all").checked;
    const now = Date.now() / 1000;
    const span = this.q(".window").value;
    let hidden = 0;
    const rows = [];
    last.forEach((count, n) => {
      // Shown when it counted within the window; a count left from long
      // ago folds with the idle ones.
      const moved = ratesOf(this.samples, n).some((p) => p.reset || (p.rate !== null && p.rate > 0)) ||
        (!this.samples.length && count !== 0);
      if (!all && !moved) { hidden++; return; }
      let row = this.rows[n];
      if (!row) {
        row = element("tr");
        row.append(element("th", { scope: "row" }), element("td", { class: "count" }),
          element("td"), element("td"));
        const canvas = element("canvas", { role: "img", tabindex: "0" });
        const readout = element("output", { class: "readout" });
        canvas.addEventListener("pointermove", (event) => readOut(canvas, readout, event.clientX));
        canvas.addEventListener("pointerleave", () => { readout.textContent = ""; });
        canvas.addEventListener("focus", () => readOut(canvas, readout));
        canvas.addEventListener("blur", () => { readout.textContent = ""; });
        row.children[2].append(canvas, readout);
        const clear = element("button", { type: "button", class: "clear-one" }, "Clear");
        clear.disabled = !this.reachable();
        clear.addEventListener("click", () => this.clearCounters(1n << BigInt(n)));
        row.children[3].append(clear);
        this.rows[n] = row;
      }
      row.children[0].textContent = this.name("inputs", n);
      row.children[1].textContent = String(count);
      row.children[3].firstElementChild.setAttribute("aria-label", `clear counter ${this.name("inputs", n)}`);
      const points = ratesOf(this.samples, n);
      const canvas = row.children[2].firstElementChild;
      const latest = points.filter((p) => p.rate !== null).slice(-1)[0];
      canvas.setAttribute("aria-label", `pulses per second of input ${n}: ${latest ? Math.round(latest.rate) : 0} now`);
      rows.push(row);
      requestAnimationFrame(() => plot(canvas, points, span, now));
    });
    body.replaceChildren(...rows);
    this.q(".folded").textContent = hidden ? `${hidden} inputs without pulses in the window not shown.` : "";
  }

  setOutputs(mask, value) {
    const fitted = mask === null ? (1n << BigInt(this.switches.length)) - 1n : mask;
    return this.changeOutputs(fitted, "PUT", "outputs", { mask: hex(fitted, 1), value: hex(value, 1) });
  }

  toggleOutputs(mask) {
    return this.changeOutputs(mask, "POST", "outputs/toggle", { mask: hex(mask, 1) });
  }

  async changeOutputs(mask, method, action, body) {
    // Pending until the answer: what the switch shows is never a guess.
    const pending = this.switches.filter((button, n) => isSet(mask, n));
    for (const button of pending) { button.classList.add("pending"); button.setAttribute("aria-busy", "true"); }
    const result = await write(method, `/api/modules/${this.id}/${action}`, body);
    for (const button of pending) { button.classList.remove("pending"); button.removeAttribute("aria-busy"); }
    if (result.ok) {
      this.showOutputs(result.body.outputs);
      this.showError(null);
    } else {
      this.showError(`Not changed: ${result.body.error || `HTTP ${result.status}`}`);
    }
  }

  async clearCounters(mask) {
    const result = await write("POST", `/api/modules/${this.id}/counters/clear`, { mask: hex(mask, 1) });
    if (!result.ok) this.showError(`Not cleared: ${result.body.error || `HTTP ${result.status}`}`);
    await this.refreshHistory();
  }

  async clearWatchdog() {
    const result = await write("POST", `/api/modules/${this.id}/watchdog/clear`);
    if (!result.ok) this.showError(`Watchdog not cleared: ${result.body.error || `HTTP ${result.status}`}`);
    await this.reload();
  }

  // The form's fields and their limits come from the API's own document.
  fillSettings(state) {
    const form = this.q(".settings-form");
    if (!form.elements.length) { this.buildSettings(form); this.showWritable(); }
    const channels = this.switches.length;
    const values = {
      filter: state.filter, input_inverse: state.input_inverse, edge: state.edge, output_inverse: state.output_inverse,
      power_on: hex(state.power_on, channels), safety_first: hex(state.safety.first, channels),
      safety_second: hex(state.safety.second, channels), watchdog_timeout: state.watchdog_timeout,
      nickname: state.nickname, write_protect: state.write_protect, frame_rate_factor: state.frame_rate_factor,
    };
    for (const [name, value] of Object.entries(values)) {
      const field = form.elements[name];
      if (!field) continue;
      if (field.type === "checkbox") field.checked = Boolean(value);
      else field.value = String(value);
      field.dataset.held = field.type === "checkbox" ? String(Boolean(value)) : String(value);
      if (field.classList.contains("mask")) this.showBits(field, field.parentElement.querySelector(".bits"));
    }
  }

  // A mask as the outputs it names, a byte at a time, output 0 first (as
  // the switches stand); nothing while the text is no mask.
  showBits(input, bits) {
    const text = input.value.trim();
    if (!/^0x[0-9a-fA-F]{1,16}$/.test(text)) { bits.textContent = ""; return; }
    const value = BigInt(text);
    const groups = [];
    for (let first = 0; first < this.switches.length; first += 8) {
      let shown = "";
      for (let n = first; n < Math.min(first + 8, this.switches.length); n++) shown += isSet(value, n) ? "1" : "0";
      groups.push(`${first}–${first + shown.length - 1}: ${shown}`);
    }
    bits.textContent = groups.join("  ");
  }

  buildSettings(form) {
    const id = `m${this.id}`;
    const add = (name, label, input, help) => {
      const row = element("div", { class: "field" });
      input.id = `${id}-${name}`;
      input.name = name;
      row.append(element("label", { for: input.id }, label), input);
      if (input.classList.contains("mask")) {
        const bits = element("output", { class: "bits", for: input.id });
        input.addEventListener("input", () => this.showBits(input, bits));
        row.append(bits);
      }
      if (help) {
        const hint = element("small", { id: `${input.id}-help` }, help);
        input.setAttribute("aria-describedby", hint.id);
        row.append(hint);
      }
      form.append(row);
    };
    const number = (limit) => {
      const input = element("input", { type: "number", inputmode: "numeric" });
      if (limit && limit.minimum !== undefined) input.min = limit.minimum;
      if (limit && limit.maximum !== undefined) input.max = limit.maximum;
      return input;
    };
    const check = () => element("input", { type: "checkbox" });
    const mask = () => element("input", { type: "text", class: "mask", spellcheck: "false", pattern: "0x[0-9a-fA-F]{1,16}" });
    add("filter", "Input filter", number(limits.filter), limits.filter
      ? `${limits.filter.minimum} to ${limits.filter.maximum}, in the module's own steps (it documents no unit)` : "");
    add("input_inverse", "Invert inputs", check());
    const edge = element("select");
    edge.append(element("option", { value: "0" }, "rising"), element("option", { value: "1" }, "falling"));
    add("edge", "Counter edge", edge);
    add("output_inverse", "Invert outputs", check());
    add("power_on", "Power-on outputs", mask(), "a mask, 0x…");
    add("safety_first", "Safety: outputs", mask(), "outputs the watchdog sets");
    add("safety_second", "Safety: values", mask(), "the values it sets them to");
    const dog = limits.watchdog_timeout || {};
    add("watchdog_timeout", "Watchdog time-out (ms)", number(dog), dog.description || "");
    const nickname = element("input", { type: "text" });
    if (limits.nickname && limits.nickname.maxLength) nickname.maxLength = limits.nickname.maxLength;
    add("nickname", "Nickname", nickname, limits.nickname ? `at most ${limits.nickname.maxLength} bytes` : "");
    add("write_protect", "Write protection", check());
    const factor = limits.frame_rate_factor;
    add("frame_rate_factor", "Frame-rate factor", number(factor),
      factor ? `${factor.minimum} to ${factor.maximum}, a factor (no unit)` : "");
    const buttons = element("div", { class: "actions" });
    const off = element("button", { type: "button", class: "watchdog-off" }, "Watchdog off");
    off.addEventListener("click", () => { form.elements.watchdog_timeout.value = "0"; this.saveSettings(); });
    buttons.append(element("button", { type: "submit" }, "Apply settings"), off);
    form.append(buttons);
  }

  // Checked here with the API's limits, then sent; what the module holds
  // afterwards is what the form shows.
  async saveSettings() {
    const form = this.q(".settings-form");
    const result = this.q(".settings-result");
    const body = {};
    const problems = [];
    for (const field of form.elements) {
      if (!field.name) continue;
      const value = field.type === "checkbox" ? String(field.checked) : field.value.trim();
      if (value === field.dataset.held) continue;
      if (field.type === "number") {
        const n = Number(value);
        const dog = field.name === "watchdog_timeout" ? limits.watchdog_timeout || {} : {};
        const low = dog["x-armed-minimum"] !== undefined && n !== 0 ? dog["x-armed-minimum"] : Number(field.min);
        if (!Number.isInteger(n) || (field.min !== "" && n < low) || (field.max !== "" && n > Number(field.max))) {
          problems.push(`${form.querySelector(`label[for="${field.id}"]`).textContent}: ${field.min} to ${field.max}` +
            (dog["x-armed-minimum"] ? ` (0: off, else at least ${dog["x-armed-minimum"]})` : ""));
          continue;
        }
        body[field.name] = n;
      } else if (field.type === "checkbox") {
        body[field.name] = field.checked;
      } else if (field.name === "edge") {
        body.edge = Number(value);
      } else if (field.pattern && !new RegExp(`^${field.pattern}$`).test(value)) {
        problems.push(`${form.querySelector(`label[for="${field.id}"]`).textContent}: a mask, 0x…`);
      } else if (field.name === "safety_first" || field.name === "safety_second") {
        body.safety = { first: form.elements.safety_first.value.trim(), second: form.elements.safety_second.value.trim() };
      } else if (field.name === "nickname" && new TextEncoder().encode(value).length > (field.maxLength > 0 ? field.maxLength : 32)) {
        problems.push(`Nickname: at most ${field.maxLength} bytes`);
      } else {
        body[field.name] = value;
      }
    }
    result.hidden = false;
    if (problems.length) { result.textContent = `Not sent: ${problems.join("; ")}`; return; }
    if (!Object.keys(body).length) { result.textContent = "Nothing changed."; return; }
    const answer = await write("PATCH", `/api/modules/${this.id}/settings`, body);
    if (!answer.ok) {
      result.textContent = `Not changed: ${answer.body.error || `HTTP ${answer.status}`}`;
      return;
    }
    this.state = answer.body;
    this.fillSettings(answer.body);
    this.takeQuality(answer.body);
    this.showSummary(answer.body);
    result.textContent = `Saved at ${new Date().toLocaleTimeString()}: the module holds what the form shows.`;
  }

  buildLabelForm() {
    const fields = this.q(".label-fields");
    fields.replaceChildren();
    for (const [kind, count] of [["inputs", this.leds.length], ["outputs", this.switches.length]]) {
      for (let n = 0; n < count; n++) {
        const id = `m${this.id}-${kind}-${n}`;
        const row = element("div", { class: "field" });
        row.append(element("label", { for: id }, `${kind === "inputs" ? "Input" : "Output"} ${n}`),
          element("input", { id, type: "text", maxlength: "40", "data-kind": kind, "data-channel": String(n) }));
        fields.append(row);
      }
    }
    this.fillLabels();
  }

  fillLabels() {
    for (const input of this.q(".label-fields").querySelectorAll("input")) {
      input.value = (this.labels[input.dataset.kind] || [])[Number(input.dataset.channel)] || "";
    }
  }

  // One request per kind: 64 names of 40 bytes each fit a request's 4 KiB,
  // 128 do not.
  async saveLabels() {
    const body = { inputs: [], outputs: [] };
    for (const input of this.q(".label-fields").querySelectorAll("input")) body[input.dataset.kind][Number(input.dataset.channel)] = input.value.trim();
    let answer = null;
    for (const kind of ["inputs", "outputs"]) {
      answer = await write("PUT", `/api/modules/${this.id}/labels`, { [kind]: body[kind] });
      if (!answer.ok) { this.showError(`Names of the ${kind} not saved: ${answer.body.error || `HTTP ${answer.status}`}`); return; }
    }
    this.labels = answer.body;
    this.showLabels();
    this.showCounters();
  }

  showIdentity(state) {
    const id = state.identity || {};
    const rows = [["Node", id.node], ["Product ID", id.product_id == null ? "?" : `0x${id.product_id.toString(16)}`],
      ["Board ID", id.board_id], ["Firmware", `0x${Number(id.firmware_version).toString(16).padStart(4, "0")} (${id.firmware_date})`]];
    this.q(".identity").replaceChildren(...rows.flatMap(([name, value]) => [element("dt", {}, name), element("dd", {}, String(value))]));
  }

  event(name, data) {
    logFromStream(this, name, data);
    if (name === "input") {
      if (data.kind === "rising") this.showLed(data.channel, true);
      if (data.kind === "falling") this.showLed(data.channel, false);
    } else if (name === "settings") {
      // A change through any front end or by another program: the form
      // and the title follow it.
      if (!this.state) return;
      this.state = { ...this.state, ...data.settings };
      if (this.state.identity) this.state.identity = { ...this.state.identity, nickname: data.settings.nickname };
      this.showSummary(this.state);
      this.fillSettings(this.state);
    } else if (name === "outputs") {
      this.showOutputs(data.outputs);
    } else if (name === "watch") {
      const was = this.live();
      this.watch = { state: data.watch, why: data.why };
      this.watchdogTimeout = data.watchdog_timeout;
      if (was && !this.live()) this.asOf = data.time;
      this.showQuality(data.time);
      if (data.watch === "watching" && !was && this.present) this.reload(); // what changed meanwhile
    } else if (name === "responding") {
      if (this.live()) this.asOf = data.time;
      this.setResponding(data.responding);
      if (data.responding) { this.showError(null); this.reload(); }
    } else if (name === "plugged") {
      this.responding = true;
      this.setPresent(true);
      this.showError(null); // a write refused while it was away is old news
      this.reload();
    } else if (name === "unplugged") {
      if (this.live()) this.asOf = data.time;
      this.setPresent(false);
    }
  }
}

function updateSummary() {
  const all = [...panels.values()];
  const absent = all.filter((p) => !p.present).length;
  const silent = all.filter((p) => p.present && !p.responding).length;
  const trouble = [absent ? `${absent} absent` : "", silent ? `${silent} not responding` : ""].filter(Boolean);
  $("summary").textContent = all.length ? `${all.length} module${all.length === 1 ? "" : "s"}${trouble.length ? `, ${trouble.join(", ")}` : ", all present"}` : "No modules yet: plug one in";
  $("overview").hidden = all.length === 0;
}

// The daemon's list is the whole truth: a unit it no longer has (after a
// restart) leaves the page.
function syncModules(list, whole = false) {
  const ids = new Set(list.map((summary) => summary.id));
  if (whole) {
    for (const [id, panel] of panels) {
      if (!ids.has(id)) { panel.node.remove(); panel.row.remove(); panels.delete(id); }
    }
  }
  for (const summary of list) {
    if (!panels.has(summary.id)) panels.set(summary.id, new Panel(summary));
    else panels.get(summary.id).showSummary(summary);
  }
  updateSummary();
}

function setStreamUp(up) {
  const note = $("stream");
  if (up) {
    streamDownSince = null;
    note.hidden = true;
  } else if (streamDownSince === null) {
    streamDownSince = Math.min(Date.now(), lastHeard);
    note.textContent = `No word from the daemon since ${new Date(streamDownSince).toLocaleTimeString()}: what you see is as of then.`;
    note.hidden = false;
  }
  document.body.classList.toggle("stale", !up);
  for (const panel of panels.values()) {
    if (!up && panel.asOf === null) panel.asOf = streamDownSince / 1000;
    panel.showQuality();
  }
}

// The stream as the tabs of this browser share it (events-worker.js), in
// the shape of an EventSource: a browser allows six connections to a
// host, and a stream per tab would use them up.
class SharedSource {
  constructor() {
    this.port = new SharedWorker("events-worker.js").port; // a port of its own: the worker is the browser's one
    this.readyState = EventSource.CONNECTING;
    this.listeners = new Map();
    this.onerror = null;
    this.port.onmessage = (message) => this.receive(message.data);
    this.port.start();
  }

  addEventListener(name, listener) {
    if (!this.listeners.has(name)) this.listeners.set(name, []);
    this.listeners.get(name).push(listener);
  }

  receive(message) {
    if (message.kind === "error") {
      this.readyState = message.readyState;
      if (this.onerror) this.onerror();
      return;
    }
    this.readyState = EventSource.OPEN;
    for (const listener of this.listeners.get(message.name) || []) listener({ data: message.data });
  }

  close() {
    this.port.postMessage({ kind: "leave" });
    this.port.close();
  }
}

// One stream for the page (a stream per module would use up the six
// connections too), shared with the browser's other tabs where it can be.
const shareStream = typeof SharedWorker === "function";
addEventListener("pagehide", () => { if (source) source.close(); });
let retry = 1000;
let source = null;
let logLoaded = false;
function connect() {
  if (source) source.close(); // a shared one: this tab leaves it, the others keep it
  source = shareStream ? new SharedSource() : new EventSource("/api/events");
  const heard = () => {
    lastHeard = Date.now();
    if (streamDownSince !== null && source.readyState === EventSource.OPEN) setStreamUp(true);
  };
  source.addEventListener("hello", async (event) => {
    retry = 1000;
    const hello = JSON.parse(event.data);
    if (hello.heartbeat) heartbeatMs = hello.heartbeat * 1000;
    lastHeard = Date.now();
    setStreamUp(true);
    syncModules(hello.modules || [], true);
    if (!logLoaded) {
      logLoaded = true;
      loadLog();
    }
    for (const panel of panels.values()) await panel.reload(); // one after another
  });
  source.addEventListener("heartbeat", heard);
  source.addEventListener("gap", () => { heard(); for (const panel of panels.values()) panel.reload(); });
  for (const name of ["input", "outputs", "settings", "plugged", "unplugged", "watch", "responding"]) {
    source.addEventListener(name, (event) => {
      heard();
      const data = JSON.parse(event.data);
      const panel = panels.get(data.unit);
      if (panel) panel.event(name, data);
      else logFromStream(null, name, data);
      if (!panel && name === "plugged") read("/api/modules").then((answer) => answer.ok && syncModules(answer.body.modules));
    });
  }
  source.onerror = () => {
    setStreamUp(false);
    if (source.readyState === EventSource.CLOSED) { // refused outright (a restart): try again, slower each time
      setTimeout(connect, retry);
      retry = Math.min(retry * 2, 15000);
    }
  };
}

// The counters' history, one module after another; the next round starts
// only when this one has ended.
async function refreshLoop() {
  for (;;) {
    if (streamDownSince === null) {
      for (const panel of panels.values()) await panel.refreshHistory();
    }
    await new Promise((resolve) => setTimeout(resolve, REFRESH_MS));
  }
}

// A stream that stays open but silent (a stalled daemon, a dead proxy)
// fires no error: past twice its heartbeat, everything is shown stale and
// the page connects again.
setInterval(() => {
  if (streamDownSince !== null || Date.now() - lastHeard <= 2 * heartbeatMs) return;
  setStreamUp(false);
  if (source) source.close();
  connect();
}, 1000);

// Plots are drawn at the size they are shown.
let resized = null;
window.addEventListener("resize", () => {
  clearTimeout(resized);
  resized = setTimeout(() => { for (const panel of panels.values()) panel.showCounters(); }, 100);
});

for (const box of document.querySelectorAll("#log-filters input")) box.addEventListener("change", showLog);

async function start() {
  const document_ = await read("/api/openapi.json", "no-cache");
  if (document_.ok) limits = document_.body.components.schemas.Settings.properties;
  connect();
  refreshLoop();
}

start();
