"use strict";
// The site's page: the logger sends the whole site when the page connects
// ("site") and each meter after each of its passes ("meter"), as server-sent
// events. Every text from the logger goes in as text (textContent), never
// as markup.

const cards = new Map(); // meter name -> {section, meter}
let clockOffset = 0;     // this browser's clock minus the logger's

function noteClock(doc) {
  const now = Date.parse(doc.now);
  if (!Number.isNaN(now)) clockOffset = Date.now() - now;
}

function loggerNow() { return Date.now() - clockOffset; }

function duration(ms) {
  const s = Math.max(0, Math.round(ms / 1000));
  if (s < 120) return s + " s";
  if (s < 7200) return Math.round(s / 60) + " min";
  if (s < 172800) return Math.round(s / 3600) + " h";
  return Math.round(s / 86400) + " d";
}

function clockTime(iso) {
  return new Date(iso).toLocaleTimeString();
}

function setText(root, selector, text) {
  root.querySelector(selector).textContent = text;
}

function makeCard(meter, index) {
  const section = document.getElementById("meter-template").content.firstElementChild.cloneNode(true);
  section.id = "meter-" + index;
  section.dataset.name = meter.name;
  section.setAttribute("aria-labelledby", section.id + "-name");
  const title = section.querySelector(".name");
  title.id = section.id + "-name";
  title.textContent = meter.name;
  const rows = section.querySelector(".values tbody");
  for (const value of meter.values) {
    const row = document.createElement("tr");
    row.dataset.key = value.key;
    const caption = document.createElement("th");
    caption.scope = "row";
    caption.textContent = value.caption;
    const cell = document.createElement("td");
    const number = document.createElement("span");
    number.className = "v";
    const unit = document.createElement("span");
    unit.className = "u";
    unit.textContent = value.unit;
    cell.append(number, unit);
    row.append(caption, cell);
    rows.append(row);
  }
  return section;
}

function makeLink(meter, index) {
  const item = document.createElement("li");
  const link = document.createElement("a");
  link.href = "#meter-" + index;
  link.textContent = meter.name;
  link.addEventListener("click", () => {
    document.getElementById("meter-" + index).focus();
  });
  item.append(link);
  return item;
}

function showSite(doc) {
  noteClock(doc);
  cards.clear();
  const main = document.getElementById("meters");
  const list = document.querySelector("#meter-list ul");
  main.replaceChildren();
  list.replaceChildren();
  doc.meters.forEach((meter, index) => {
    const section = makeCard(meter, index);
    const link = makeLink(meter, index);
    cards.set(meter.name, { section, link: link.firstElementChild, meter });
    main.append(section);
    list.append(link);
    showMeter(meter);
  });
}

function showOnline(card) {
  const { section, meter } = card;
  const online = meter.online === null ? "" : String(meter.online);
  section.dataset.online = online;
  card.link.dataset.online = online;
  setText(section, ".badge", meter.online === null ? "waiting for its first pass" : meter.online ? "online" : "offline");
  setText(section, ".online-since", meter.online_since
    ? "since " + clockTime(meter.online_since) + " (" + duration(loggerNow() - Date.parse(meter.online_since)) + ")"
    : "");
  setText(section, ".age", meter.time
    ? "at " + clockTime(meter.time) + ", " + duration(loggerNow() - Date.parse(meter.time)) + " ago"
    : "none yet");
}

function showValues(section, meter) {
  for (const value of meter.values) {
    const row = section.querySelector('tr[data-key="' + value.key + '"]');
    if (row)
      row.querySelector(".v").textContent = value.value === null ? "" : value.value.toFixed(value.decimals);
  }
}

function showCounts(section, meter) {
  for (const dd of section.querySelectorAll("[data-count]")) {
    const count = meter.counters[dd.dataset.count];
    dd.textContent = count === null ? "" : dd.dataset.count.endsWith("_ms") ? count.toFixed(1) + " ms" : String(count);
  }
  const link = meter.link_state;
  const state = section.querySelector(".link-state");
  state.dataset.state = link.state;
  state.textContent = link.state;
  setText(section, ".link-since", link.since ? "since " + clockTime(link.since) : "");
  setText(section, ".link-error", link.error);
}

// What the logger's Modbus/TCP gateway did for its clients with the
// meter's unit; there only when the logger serves the meter.
function showGateway(section, meter) {
  const gateway = meter.gateway;
  for (const element of section.querySelectorAll(".gateway"))
    element.hidden = !gateway;
  setText(section, "dd.gateway", gateway
    ? "unit " + gateway.unit + ": " + gateway.requests + " requests; " + gateway.answered + " answered, " +
      gateway.no_answer + " no answer, " + gateway.link_down + " link down, " + gateway.busy + " busy, " +
      gateway.refused + " refused"
    : "");
}

function showWiring(section, meter) {
  const list = section.querySelector(".wiring");
  list.replaceChildren();
  section.querySelector(".wiring-box").dataset.problem = String(Boolean(meter.wiring && meter.wiring.problem));
  if (!meter.wiring) {
    setText(section, ".wiring-summary", "");
    const item = document.createElement("li");
    item.textContent = "No verdicts: the latest pass did not bring every value they judge.";
    list.append(item);
    return;
  }
  setText(section, ".wiring-summary", meter.wiring.problem ? "— problem" : "— no problem");
  for (const check of meter.wiring.checks) {
    const item = document.createElement("li");
    item.dataset.check = check.check;
    const verdict = document.createElement("strong");
    verdict.className = "verdict-" + check.verdict;
    verdict.textContent = check.verdict;
    const values = check.values.map(v => v.label + " " + v.value + " " + v.unit).join(", ");
    const advice = document.createElement("span");
    advice.className = "advice";
    advice.textContent = check.advice;
    item.append(check.name + ": ", verdict, values ? " (" + values + ")" : "", advice);
    list.append(item);
  }
}

function showMeter(meter) {
  const card = cards.get(meter.name);
  if (!card) return;
  card.meter = meter;
  const section = card.section;
  setText(section, ".link", meter.link);
  setText(section, ".address", String(meter.address));
  setText(section, ".interval", meter.interval_s + " s");
  setText(section, ".failure", meter.failure ? " " + meter.failure : "");
  section.dataset.time = meter.time || "";
  showOnline(card);
  showValues(section, meter);
  showCounts(section, meter);
  showGateway(section, meter);
  showWiring(section, meter);
}

function setConnection(state, text) {
  const connection = document.getElementById("connection");
  connection.dataset.state = state;
  connection.textContent = text;
}

// EventSource connects again by itself after a stream that ended; one that
// gave up (an answer that is not a stream) is made anew.
function connect() {
  const source = new EventSource("events");
  source.addEventListener("site", event => {
    showSite(JSON.parse(event.data));
    setConnection("live", "Live: updated after each pass");
  });
  source.addEventListener("meter", event => {
    const doc = JSON.parse(event.data);
    noteClock(doc);
    showMeter(doc.meter);
  });
  source.onerror = () => {
    setConnection("lost", "Connection to the logger lost; connecting again…");
    if (source.readyState === EventSource.CLOSED)
      setTimeout(connect, 2000);
  };
}

setInterval(() => cards.forEach(showOnline), 1000);
connect();
