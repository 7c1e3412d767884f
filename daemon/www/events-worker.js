// SPDX-License-Identifier: MIT
// One event stream for every tab of this browser: a browser allows six
// connections to a host, and a stream per tab would use them up. Each tab
// joins through a port; events go to every port as they come.
"use strict";

const NAMES = ["hello", "heartbeat", "gap", "input", "outputs", "settings", "plugged", "unplugged", "watch",
  "responding"];
const ports = new Set();
let source = null;
let hello = null; // the latest hello's text, while the stream is open
let heartbeatMs = 15000;
let lastHeard = Date.now();
let retry = 1000;
let retryTimer = null;

function post(message) {
  for (const port of ports) port.postMessage(message);
}

function connect() {
  clearTimeout(retryTimer);
  source = new EventSource("/api/events");
  for (const name of NAMES) {
    source.addEventListener(name, (event) => {
      lastHeard = Date.now();
      if (name === "hello") {
        hello = event.data;
        retry = 1000;
        const heartbeat = JSON.parse(event.data).heartbeat;
        if (heartbeat) heartbeatMs = heartbeat * 1000;
      }
      post({ kind: "event", name, data: event.data });
    });
  }
  source.onerror = () => {
    hello = null; // the next hello, after the stream resumes, is the one to give
    post({ kind: "error", readyState: source.readyState });
    if (source.readyState === EventSource.CLOSED) { // refused outright (a restart): try again, slower each time
      retryTimer = setTimeout(connect, retry);
      retry = Math.min(retry * 2, 15000);
    }
  };
}

// A tab that joins an open stream gets its hello, with the modules as
// they are now rather than when the stream began.
async function greet(port) {
  const fresh = JSON.parse(hello);
  try {
    const answer = await fetch("/api/modules", { cache: "no-store" });
    if (answer.ok) fresh.modules = (await answer.json()).modules;
  } catch {
    // the stream's own list then, which plugged events have followed
  }
  port.postMessage({ kind: "event", name: "hello", data: JSON.stringify(fresh) });
}

onconnect = (event) => {
  const port = event.ports[0];
  ports.add(port);
  port.onmessage = (message) => {
    if (message.data.kind === "leave") ports.delete(port);
  };
  port.start();
  if (source === null) connect();
  else if (hello !== null && source.readyState === EventSource.OPEN) greet(port);
};

// A stream that stays open but silent (a stalled daemon, a dead proxy)
// fires no error: past twice its heartbeat, it is opened again.
setInterval(() => {
  if (source === null || source.readyState !== EventSource.OPEN || Date.now() - lastHeard <= 2 * heartbeatMs) return;
  source.close();
  hello = null;
  post({ kind: "error", readyState: EventSource.CLOSED });
  lastHeard = Date.now();
  connect();
}, 1000);
