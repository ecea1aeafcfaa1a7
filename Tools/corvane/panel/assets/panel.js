// The panel's page: one stream of updates from the server (at most about 20 a second), drawn
// into the page; forms and widgets post their requests with the page's token.
"use strict";

const TOKEN = document.querySelector('meta[name="corvane-token"]').content;
const LOG_LINES = 500; // kept for the filters
const LOG_SHOWN = 200; // drawn
const CHANNELS = 8;
const NO_ERROR = "No error found!"; // the library's last error when there was none
let panel = { title: "Corvane panel", columns: 4, widgets: [] };
let logSeen = -1; // the number of the newest message in the log
let logLines = []; // newest first
let lastUpdate = null;
let shownBoard = null; // the board whose messages the log holds

function $(id) { return document.getElementById(id); }

async function post(path, body) {
  const response = await fetch(path, {
    method: "POST",
    headers: { "Content-Type": "application/json", "X-Corvane-Token": TOKEN },
    body: JSON.stringify(body),
  });
  const text = (await response.text()).trim();
  return { ok: response.ok, status: response.status, text };
}

function showResult(result, element) {
  const target = element || $("send-result");
  target.textContent = result.ok ? "sent" : `${result.status}: ${result.text}`;
  target.className = result.ok ? "note" : "error";
}

// Form fields go to the server as typed: it checks them and says what is wrong.
function setUpSendForms() {
  for (const form of document.querySelectorAll(".send-form")) {
    form.addEventListener("submit", async (event) => {
      event.preventDefault();
      const kind = form.dataset.kind;
      const body = { kind };
      if (form.elements.address) body.address = form.elements.address.value.trim();
      if (kind === "block") {
        body[form.elements.format.value] = form.elements.bytes.value;
      } else {
        body.value = form.elements.value.value.trim();
      }
      showResult(await post("/api/send", body));
    });
  }
}

function setUpLights() {
  $("show-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    const steps = $("show-steps").value.trim().split(/[\s,]+/).filter((s) => s.length > 0);
    const result = await post("/api/show", {
      steps, delay: $("show-delay").value, repeats: $("show-repeats").value,
    });
    showResult(result, $("show-state"));
  });
  $("selftest-button").addEventListener("click", async () => {
    showResult(await post("/api/selftest", {}), $("selftest-state"));
  });
}

function setUpBoards() {
  $("board-select").addEventListener("change", async (event) => {
    const result = await post("/api/board", { board: Number(event.target.value) });
    showResult(result, $("last-error"));
  });
}

function drawChart(canvas, channel) {
  const context = canvas.getContext("2d");
  const width = canvas.width, height = canvas.height;
  context.clearRect(0, 0, width, height);
  context.strokeStyle = "#27c";
  context.fillStyle = "#27c";
  if (channel.kind === "byte" && channel.series.length > 0) {
    const series = channel.series;
    const step = width / Math.max(1, series.length - 1);
    context.beginPath();
    series.forEach((value, i) => {
      const y = height - 1 - (value / 255) * (height - 2);
      if (i === 0) context.moveTo(0, y); else context.lineTo(i * step, y);
    });
    context.stroke();
  } else if (channel.block.length > 0) {
    const bytes = channel.block;
    const barWidth = width / bytes.length;
    bytes.forEach((value, i) => {
      const barHeight = (value / 255) * (height - 1);
      context.fillRect(i * barWidth, height - barHeight, Math.max(1, barWidth - 1), barHeight);
    });
  }
}

function setUpChannels() {
  const rows = $("channel-rows");
  for (let c = 0; c < CHANNELS; c++) {
    const row = document.createElement("tr");
    row.innerHTML = `<td>${c}</td><td id="ch-kind-${c}"></td><td id="ch-messages-${c}">0</td>` +
      `<td id="ch-bytes-${c}">0</td><td id="ch-rate-${c}">0</td><td id="ch-byterate-${c}">0</td>` +
      `<td><canvas id="ch-chart-${c}" width="240" height="40"></canvas></td>`;
    rows.appendChild(row);
    const option = document.createElement("option");
    option.value = String(c);
    option.textContent = String(c);
    $("log-channel").appendChild(option);
  }
}

function formatRate(value) {
  return value >= 1000 ? Math.round(value).toLocaleString("en") : value.toFixed(1);
}

function logText(entry) {
  const head = `${entry.t.toFixed(3).padStart(10)} s  ch${entry.channel} ${entry.kind.padEnd(7)} ` +
    entry.command.toString(16).toUpperCase().padStart(2, "0");
  if (entry.kind === "trigger") return `${head} value=${entry.length.toString(16).toUpperCase().padStart(2, "0")}`;
  return `${head} len=${entry.length} ${entry.hex}`;
}

let logDrawn = null; // what the list shows: the newest message's number and the filters
const LOG_REDRAW_MS = 200; // the list is rebuilt at most 5 times a second: on a fast stream it is the page's biggest work
let logDrawnAt = 0, logTimer = null;

function drawLogSoon() {
  const wait = LOG_REDRAW_MS - (performance.now() - logDrawnAt);
  if (wait <= 0) drawLog();
  else if (logTimer === null) logTimer = setTimeout(() => { logTimer = null; drawLog(); }, wait);
}

function drawLog() {
  if ($("log-pause").checked) return;
  const channel = $("log-channel").value, kind = $("log-kind").value;
  const drawn = `${logSeen} ${channel} ${kind} ${logLines.length}`;
  if (drawn === logDrawn) return; // nothing new: the page's work stays small on an idle board
  logDrawn = drawn;
  logDrawnAt = performance.now();
  const list = $("log-list");
  list.textContent = "";
  let shown = 0;
  for (const entry of logLines) {
    if (channel !== "" && String(entry.channel) !== channel) continue;
    if (kind !== "" && entry.kind !== kind) continue;
    if (++shown > LOG_SHOWN) break;
    const item = document.createElement("li");
    item.textContent = logText(entry);
    item.dataset.channel = entry.channel;
    item.dataset.kind = entry.kind;
    list.appendChild(item);
  }
}

function takeLog(entries) {
  // Newest first; only those not seen yet. Between two updates more may have come than one
  // update carries: the log then shows a sample of a fast stream.
  const fresh = entries.filter((entry) => entry.n > logSeen);
  if (fresh.length === 0) return;
  logSeen = fresh[0].n;
  logLines = fresh.concat(logLines).slice(0, LOG_LINES);
}

function drawWidgetValues(update) {
  for (const element of document.querySelectorAll("[data-led]")) {
    element.classList.toggle("on", update.leds !== null && ((update.leds >> Number(element.dataset.led)) & 1) === 1);
  }
  for (const element of document.querySelectorAll("[data-counter]")) {
    const channel = update.channels[Number(element.dataset.counter)];
    element.textContent = `${channel.messages} messages, ${formatRate(channel.rate)}/s`;
  }
  for (const element of document.querySelectorAll("canvas[data-chart]")) {
    drawChart(element, update.channels[Number(element.dataset.chart)]);
  }
}

function draw(update) {
  lastUpdate = update;
  const select = $("board-select");
  if (select.options.length !== update.boards.length) {
    select.textContent = "";
    for (const board of update.boards) {
      const option = document.createElement("option");
      option.value = String(board.index);
      option.textContent = `${board.index}: ${board.name} (${board.serial})`;
      select.appendChild(option);
    }
  }
  if (document.activeElement !== select) select.value = String(update.board);
  $("state").textContent = update.state;
  $("state").className = `state ${update.state}`;
  $("last-error").textContent = update.lastError;
  $("last-error").className = update.lastError === NO_ERROR ? "note" : "error-text";
  const leds = update.leds !== null ? update.leds : update.ledsSent;
  for (let i = 0; i < 4; i++) $(`led-${i}`).classList.toggle("on", ((leds >> i) & 1) === 1);
  $("leds-note").textContent = update.leds !== null ? "" : "(as last sent: the board's LEDs cannot be read)";
  $("show-state").textContent = update.show ? "playing" : $("show-state").textContent === "playing" ? "" : $("show-state").textContent;
  const test = update.selftest;
  if (test.running) {
    $("selftest-progress").value = test.counted ? Math.min(100, (100 * test.done) / test.cycles) : 0;
    $("selftest-state").textContent = test.counted ? `${test.done} of ${test.cycles} cycles` : `running, ${test.seconds.toFixed(1)} s`;
  } else if (test.result >= 0) {
    $("selftest-progress").value = test.result ? 100 : 0;
    $("selftest-state").textContent = test.result ? "self test ran" : "self test did not run";
  }
  $("received").textContent = `${update.received} received, the newest ${Math.min(update.received, update.kept)} kept for the record file`;
  update.channels.forEach((channel, c) => {
    $(`ch-kind-${c}`).textContent = channel.kind;
    $(`ch-messages-${c}`).textContent = channel.messages;
    $(`ch-bytes-${c}`).textContent = channel.bytes;
    $(`ch-rate-${c}`).textContent = formatRate(channel.rate);
    $(`ch-rate-${c}`).dataset.value = channel.rate;
    $(`ch-byterate-${c}`).textContent = formatRate(channel.byteRate);
    drawChart($(`ch-chart-${c}`), channel);
  });
  if (update.board !== shownBoard) {
    // Another board: its messages are numbered afresh, and the old board's are not its own.
    shownBoard = update.board;
    logSeen = -1;
    logLines = [];
  }
  takeLog(update.log);
  drawLogSoon();
  drawWidgetValues(update);
  if (update.debug.length > 0) $("debug-lines").textContent = update.debug.join("\n");
}

function widgetElement(widget, index) {
  const box = document.createElement("div");
  box.className = "widget";
  box.id = `widget-${index}`;
  box.style.gridColumn = `${widget.column} / span ${widget.width}`;
  box.style.gridRow = `${widget.row} / span ${widget.height}`;
  const label = document.createElement("div");
  label.textContent = widget.label || widget.type;
  box.appendChild(label);
  const result = document.createElement("div");
  result.className = "note";
  const act = async (body) => showResult(await post("/api/widget", Object.assign({ widget: index }, body)), result);
  if (widget.type === "led") {
    const led = document.createElement("span");
    led.className = "led";
    led.dataset.led = widget.led;
    box.appendChild(led);
  } else if (widget.type === "button") {
    const button = document.createElement("button");
    button.textContent = widget.label || `${widget.send} ${widget.value}`;
    button.addEventListener("click", () => act({}));
    box.appendChild(button);
  } else if (widget.type === "slider" || widget.type === "number") {
    const input = document.createElement("input");
    input.type = widget.type === "slider" ? "range" : "number";
    input.min = widget.min; input.max = widget.max; input.value = widget.value;
    input.addEventListener("change", () => act({ value: input.value }));
    box.appendChild(input);
  } else if (widget.type === "text") {
    const form = document.createElement("form");
    const input = document.createElement("input");
    input.placeholder = widget.format === "hex" ? "48 65 6C 6C 6F" : "text";
    const button = document.createElement("button");
    button.textContent = "Send";
    form.append(input, button);
    form.addEventListener("submit", (event) => { event.preventDefault(); act({ text: input.value }); });
    box.appendChild(form);
  } else if (widget.type === "chart") {
    const canvas = document.createElement("canvas");
    canvas.width = 240; canvas.height = 60;
    canvas.dataset.chart = widget.channel;
    box.appendChild(canvas);
  } else if (widget.type === "counter") {
    const counter = document.createElement("div");
    counter.dataset.counter = widget.channel;
    box.appendChild(counter);
  } else if (widget.type === "log") {
    const note = document.createElement("div");
    note.className = "note";
    note.textContent = "the message log is below";
    box.appendChild(note);
  }
  box.appendChild(result);
  return box;
}

async function loadPanel() {
  const response = await fetch(`/api/panel?token=${encodeURIComponent(TOKEN)}`);
  if (!response.ok) return;
  panel = await response.json();
  document.title = panel.title;
  $("title").textContent = panel.title;
  if (panel.widgets.length === 0) return;
  const grid = $("widget-grid");
  grid.style.gridTemplateColumns = `repeat(${panel.columns}, minmax(8em, 1fr))`;
  panel.widgets.forEach((widget, index) => grid.appendChild(widgetElement(widget, index)));
  $("widgets").hidden = false;
}

function connect() {
  const events = new EventSource(`/api/events?token=${encodeURIComponent(TOKEN)}`);
  events.onmessage = (event) => draw(JSON.parse(event.data));
  events.onerror = () => { $("state").textContent = "no connection to the panel"; $("state").className = "state lost"; };
}

window.addEventListener("DOMContentLoaded", async () => {
  setUpSendForms();
  setUpLights();
  setUpBoards();
  setUpChannels();
  $("log-channel").addEventListener("change", drawLog);
  $("log-kind").addEventListener("change", drawLog);
  $("log-pause").addEventListener("change", () => { logDrawn = null; drawLog(); });
  $("save-record").href = `/api/record?token=${encodeURIComponent(TOKEN)}`;
  await loadPanel();
  connect();
});
