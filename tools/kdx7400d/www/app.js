// SPDX-License-Identifier: MIT
// The dashboard: one panel per module, kept live by the module's event
// stream (inputs, outputs, plug and unplug) and a slow poll of its state
// (counters, settings). No framework, no build step.
"use strict";

const POLL_MS = 2000;
const LIST_MS = 5000;
const HISTORY_S = 300;
const TOKEN_KEY = "kdx7400d-token";

const panels = new Map();
let token = sessionStorage.getItem(TOKEN_KEY);

const isSet = (mask, n) => ((BigInt(mask) >> BigInt(n)) & 1n) === 1n;

function setStatus(text) {
  document.getElementById("status").textContent = text;
}

// Asks for the token in a dialog, once; null when the user declines.
function askToken(why) {
  const dialog = document.getElementById("token-dialog");
  const input = document.getElementById("token-input");
  const title = document.getElementById("token-title");
  title.textContent = why || "Token needed";
  input.value = "";
  return new Promise((resolve) => {
    const done = (value) => {
      dialog.close();
      resolve(value);
    };
    document.getElementById("token-cancel").onclick = () => done(null);
    document.getElementById("token-form").onsubmit = (event) => {
      event.preventDefault();
      done(input.value.trim() || null);
    };
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
    const response = await fetch(path, { method, headers, body: JSON.stringify(body) });
    const data = await response.json().catch(() => ({}));
    if (response.status !== 401) return { ok: response.ok, status: response.status, body: data };
    token = null;
    sessionStorage.removeItem(TOKEN_KEY);
    if (attempt === 1) return { ok: false, status: 401, body: data };
    const given = await askToken(attempt === 0 && headers.Authorization ? "That token was refused" : "Token needed");
    if (!given) return { ok: false, status: 401, body: data };
    token = given;
    sessionStorage.setItem(TOKEN_KEY, token);
  }
  return { ok: false, status: 401, body: {} };
}

class Panel {
  constructor(summary) {
    this.id = summary.id;
    this.node = document.getElementById("panel-template").content.firstElementChild.cloneNode(true);
    this.node.id = `module-${this.id}`;
    this.node.dataset.id = String(this.id);
    const title = this.node.querySelector(".title");
    title.id = `module-${this.id}-title`;
    this.node.setAttribute("aria-labelledby", title.id);
    this.leds = [];
    this.switches = [];
    this.counters = [];
    this.history = [];
    this.last = null;
    this.present = summary.present;
    this.node.querySelector(".all-off").addEventListener("click", () => this.setOutputs("0xffffffffffffffff", 0, true));
    document.getElementById("modules").append(this.node);
    this.showSummary(summary);
    this.listen();
    this.refresh();
    this.timer = setInterval(() => this.refresh(), POLL_MS);
  }

  showSummary(summary) {
    const id = summary.identity;
    const name = id && id.nickname ? id.nickname : id && id.product ? id.product : summary.target;
    this.node.querySelector(".title").textContent = `Unit ${summary.id}: ${name}`;
    if (id) this.build(id.counts.di, id.counts.do);
    this.setPresent(summary.present);
  }

  // The LEDs and switches, once the channel counts are known.
  build(inputs, outputs) {
    if (this.leds.length === inputs && this.switches.length === outputs) return;
    const leds = this.node.querySelector(".leds");
    const switches = this.node.querySelector(".switches");
    const counters = this.node.querySelector(".counters");
    leds.replaceChildren();
    switches.replaceChildren();
    counters.replaceChildren();
    this.leds = [];
    this.switches = [];
    this.counters = [];
    this.history = [];
    for (let n = 0; n < inputs; n++) {
      const led = document.createElement("li");
      led.className = "led";
      led.textContent = String(n);
      led.setAttribute("role", "img");
      led.setAttribute("aria-label", `input ${n} off`);
      leds.append(led);
      this.leds.push(led);
      const row = document.createElement("li");
      row.innerHTML = `<span>Input ${n}</span><span class="count" aria-label="counter ${n}">0</span><canvas width="300" height="28" aria-hidden="true"></canvas>`;
      counters.append(row);
      this.counters.push(row);
      this.history.push([]);
    }
    for (let n = 0; n < outputs; n++) {
      const item = document.createElement("li");
      const button = document.createElement("button");
      button.type = "button";
      button.className = "switch";
      button.setAttribute("role", "switch");
      button.setAttribute("aria-checked", "false");
      button.setAttribute("aria-label", `output ${n}`);
      button.textContent = String(n);
      button.addEventListener("click", () => {
        const on = button.getAttribute("aria-checked") !== "true";
        this.setOutputs(`0x${(1n << BigInt(n)).toString(16)}`, on ? `0x${(1n << BigInt(n)).toString(16)}` : 0);
      });
      item.append(button);
      switches.append(item);
      this.switches.push(button);
    }
  }

  setPresent(present) {
    this.present = present;
    this.node.classList.toggle("absent", !present);
    this.node.querySelector(".unplugged").hidden = present;
  }

  showError(text) {
    const error = this.node.querySelector(".error");
    error.textContent = text || "";
    error.hidden = !text;
  }

  showInputs(mask) {
    this.leds.forEach((led, n) => this.showLed(n, isSet(mask, n)));
  }

  showLed(n, on) {
    const led = this.leds[n];
    if (!led) return;
    led.classList.toggle("on", on);
    led.setAttribute("aria-label", `input ${n} ${on ? "on" : "off"}`);
  }

  showOutputs(mask) {
    this.switches.forEach((button, n) => button.setAttribute("aria-checked", String(isSet(mask, n))));
  }

  async setOutputs(mask, value, all = false) {
    const count = BigInt(this.switches.length);
    const fitted = all ? `0x${((1n << count) - 1n).toString(16)}` : mask;
    const result = await write("PUT", `/api/modules/${this.id}/outputs`, { mask: fitted, value });
    if (result.ok) {
      this.showOutputs(result.body.outputs);
      this.showError(null);
    } else {
      this.showError(`Not changed: ${result.body.error || `HTTP ${result.status}`}`);
    }
  }

  async refresh() {
    let response;
    try {
      response = await fetch(`/api/modules/${this.id}`, { cache: "no-store" });
    } catch (error) {
      setStatus("The daemon does not answer");
      return;
    }
    const state = await response.json().catch(() => ({}));
    if (response.status === 503) {
      this.setPresent(false);
      return;
    }
    if (!response.ok) {
      this.showError(state.error || `HTTP ${response.status}`);
      return;
    }
    setStatus(`Updated ${new Date().toLocaleTimeString()}`);
    this.showSummary(state);
    this.showInputs(state.inputs);
    this.showOutputs(state.outputs);
    this.showCounters(state.counters);
    this.showSettings(state);
  }

  showCounters(values) {
    const now = performance.now() / 1000;
    if (this.last) {
      const seconds = Math.max(now - this.last.time, 0.001);
      values.forEach((value, n) => {
        const before = this.last.values[n] ?? value;
        const delta = value >= before ? value - before : value + 2 ** 32 - before; // across a wrap
        const history = this.history[n];
        if (!history) return;
        history.push({ time: now, rate: delta / seconds });
        while (history.length && history[0].time < now - HISTORY_S) history.shift();
      });
    }
    this.last = { time: now, values };
    values.forEach((value, n) => {
      const row = this.counters[n];
      if (!row) return;
      row.querySelector(".count").textContent = String(value);
      this.plot(row.querySelector("canvas"), this.history[n], now);
    });
  }

  plot(canvas, history, now) {
    // Drawn at the size it is shown, in device pixels: sharp, not stretched.
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth || 300;
    const height = canvas.clientHeight || 28;
    if (canvas.width !== Math.round(width * ratio) || canvas.height !== Math.round(height * ratio)) {
      canvas.width = Math.round(width * ratio);
      canvas.height = Math.round(height * ratio);
    }
    const context = canvas.getContext("2d");
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
    context.clearRect(0, 0, width, height);
    if (!history.length) return;
    const top = Math.max(1, ...history.map((point) => point.rate));
    context.strokeStyle = "#0969da";
    context.lineWidth = 1.5;
    context.beginPath();
    history.forEach((point, i) => {
      const x = width - ((now - point.time) / HISTORY_S) * width;
      const y = height - 2 - (point.rate / top) * (height - 4);
      if (i === 0) context.moveTo(x, y);
      else context.lineTo(x, y);
    });
    context.stroke();
    context.lineTo(width, height);
    context.lineTo(width - ((now - history[0].time) / HISTORY_S) * width, height);
    context.closePath();
    context.fillStyle = "rgba(9, 105, 218, 0.15)";
    context.fill();
    context.fillStyle = "#59636e";
    context.font = "10px sans-serif";
    context.fillText(`${Math.round(history[history.length - 1].rate)}/s`, 2, 10);
  }

  showSettings(state) {
    const id = state.identity || {};
    const rows = [
      ["Node", id.node], ["Product ID", id.product_id == null ? "?" : `0x${id.product_id.toString(16)}`],
      ["Board ID", id.board_id], ["Firmware", `${id.firmware_version} (${id.firmware_date})`],
      ["Nickname", state.nickname || "—"], ["Input filter", state.filter],
      ["Input inversion", state.input_inverse], ["Counter edge", state.edge ? "falling" : "rising"],
      ["Output inversion", state.output_inverse], ["Power-on outputs", state.power_on],
      ["Safety masks", `${state.safety.first} / ${state.safety.second}`],
      ["Watchdog", state.watchdog_timeout ? `${state.watchdog_timeout} ms` : "off"],
      ["Write protection", state.write_protect], ["Frame-rate factor", state.frame_rate_factor],
    ];
    const list = this.node.querySelector(".settings");
    list.replaceChildren(...rows.flatMap(([name, value]) => {
      const dt = document.createElement("dt");
      dt.textContent = name;
      const dd = document.createElement("dd");
      dd.textContent = String(value);
      return [dt, dd];
    }));
  }

  listen() {
    const events = new EventSource(`/api/modules/${this.id}/events`);
    events.addEventListener("hello", () => this.refresh());
    events.addEventListener("input", (event) => {
      const data = JSON.parse(event.data);
      if (data.kind === "rising") this.showLed(data.channel, true);
      if (data.kind === "falling") this.showLed(data.channel, false);
    });
    events.addEventListener("outputs", (event) => this.showOutputs(JSON.parse(event.data).outputs));
    events.addEventListener("plugged", () => {
      this.setPresent(true);
      this.refresh();
    });
    events.addEventListener("unplugged", () => this.setPresent(false));
    this.events = events;
  }
}

async function loadModules() {
  try {
    const response = await fetch("/api/modules", { cache: "no-store" });
    const { modules } = await response.json();
    for (const summary of modules) {
      if (!panels.has(summary.id)) panels.set(summary.id, new Panel(summary));
    }
    if (!modules.length) setStatus("No modules yet: plug one in");
  } catch (error) {
    setStatus("The daemon does not answer");
  }
}

loadModules();
setInterval(loadModules, LIST_MS);
