// Every value from the card or the data is set as text, never parsed as markup.
const token = new URLSearchParams(location.search).get("token") || "";
let view = null,
  chosen = null;

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") node.className = v;
    else if (k.startsWith("data-")) node.setAttribute(k, v);
    else node[k] = v;
  }
  for (const c of children) node.append(c instanceof Node ? c : document.createTextNode(c == null ? "" : String(c)));
  return node;
}
const fmt = (x, d) => (x == null ? "" : Number(x).toFixed(d));
const pct = (x) => (x == null ? "" : (100 * x).toFixed(1) + "%");
const signed = (x, d) => (x == null ? "" : (x >= 0 ? "+" : "") + Number(x).toFixed(d));

function say(text, error) {
  const m = document.getElementById("message");
  m.textContent = text;
  m.className = error ? "error" : "";
}

async function call(path, body) {
  const options = { headers: { "X-Tessaly-Token": token } };
  if (body !== undefined) {
    options.method = "POST";
    options.body = JSON.stringify(body);
    options.headers["Content-Type"] = "application/json";
  }
  const response = await fetch(path, options);
  const data = await response.json();
  if (!response.ok) throw new Error(data.error || response.statusText);
  return data;
}

async function edit(op) {
  const reason = document.getElementById("reason").value;
  try {
    say("refitting...");
    view = await call("/api/edit", { ...op, predictor: chosen, reason });
    document.getElementById("preview-box").replaceChildren();
    say(view.metrics ? "done: the card refitted" : "done");
    render();
  } catch (e) {
    say(e.message, true);
  }
}

function render() {
  document.getElementById("card").textContent = view.card;
  document.getElementById("undo").disabled = !view.undo;
  document.getElementById("redo").disabled = !view.redo;
  document.getElementById("save").disabled = !view.bins_out;
  document.getElementById("rebuild").disabled = !view.can_rebuild;
  renderMetrics();
  const body = document.querySelector("#predictors tbody");
  body.replaceChildren();
  for (const p of view.predictors) {
    const flags = p.flags.map((f) => el("span", { class: "flag" }, f));
    const row = el(
      "tr",
      { class: p.name === chosen ? "chosen" : p.state === "left out" ? "out" : "", "data-name": p.name },
      el("td", { class: "text" }, p.name, ...flags),
      el("td", {}, fmt(p.iv, 4)),
      el("td", {}, signed(p.iv_change, 4)),
      el("td", { class: "text", title: p.why_out || "" }, p.state),
    );
    if (p.type)
      row.addEventListener("click", () => {
        chosen = p.name;
        render();
      });
    body.append(row);
  }
  renderCrosses();
  renderPredictor();
}

function renderCrosses() {
  const body = document.querySelector("#crosses tbody");
  body.replaceChildren();
  document.getElementById("crosses").hidden = !(view.crosses || []).length;
  for (const c of view.crosses || []) {
    const cells = c.cells.map((x) => el("div", {}, `${x.label} (${x.points})`));
    const button = el("button", {}, c.included ? "Leave out" : "Put back");
    button.addEventListener("click", () => edit({ op: "cross", cross: c.name, on: !c.included }));
    body.append(
      el(
        "tr",
        { class: c.included ? "" : "out" },
        el("td", { class: "text", title: c.why_out || "" }, c.name),
        el("td", { class: "text" }, ...cells),
        el("td", { class: "text" }, button),
      ),
    );
  }
}

function renderMetrics() {
  const t = document.getElementById("metrics");
  t.replaceChildren();
  const m = view.metrics;
  if (!m) {
    t.append(
      el(
        "tr",
        {},
        el(
          "td",
          { class: "text" },
          view.data ? "" : "Without --data: bins and their statistics only; open with --data to refit the card.",
        ),
      ),
    );
    return;
  }
  const ci = (pair, d) => (pair && pair[0] != null ? ` (${signed(pair[0], d)} to ${signed(pair[1], d)})` : "");
  t.append(
    el(
      "tr",
      {},
      el("th", { class: "text" }, "test part"),
      el("th", {}, "edited card"),
      el("th", {}, "card"),
      el("th", { class: "text" }, "difference (95% interval)"),
    ),
  );
  for (const [label, key, d] of [
    ["AUC", "auc", 4],
    ["Gini", "gini", 4],
    ["KS", "ks", 4],
  ]) {
    const diff = m[key + "_diff"];
    t.append(
      el(
        "tr",
        {},
        el("td", { class: "text" }, label),
        el("td", { id: "metric-" + key }, fmt(m[key], d)),
        el("td", {}, fmt(m["card_" + key], d)),
        el(
          "td",
          { class: "text " + (diff > 0 ? "good" : diff < 0 ? "bad" : "") },
          signed(diff, d) + ci(m[key + "_diff_ci"], d),
        ),
      ),
    );
  }
  const refit =
    view.model === "logistic"
      ? ""
      : ` (the page refits the logistic family on these bins; a rebuild trains ${view.model} again)`;
  t.append(
    el(
      "tr",
      {},
      el("td", { class: "text" }, "penalty"),
      el("td", {}, "C = " + view.penalty),
      el("td", {}),
      el("td", { class: "text" }, refit),
    ),
  );
}

function renderPredictor() {
  const p = view.predictors.find((q) => q.name === chosen);
  for (const id of ["name", "shape"]) document.getElementById(id).textContent = "";
  document.getElementById("bins").replaceChildren();
  document.getElementById("chart").replaceChildren();
  document.querySelector("#edits tbody").replaceChildren();
  if (!p) {
    document.getElementById("name").textContent = "Choose a predictor on the left.";
    return;
  }
  document.getElementById("name").textContent = p.name;
  document.getElementById("shape").textContent =
    `${p.type}; IV ${fmt(p.iv, 4)} (${signed(p.iv_change, 4)} since opened); event rate ${p.direction}` +
    `${p.monotone ? ", monotone" : ", not monotone"}; PSI ${fmt(p.psi, 4)}; ${p.state}` +
    (p.why_out ? `: ${p.why_out}` : "");
  const head = [
    "",
    "bin",
    "applicants",
    "bads",
    "event rate",
    "WoE",
    "IV share",
    "points",
    "train share",
    "test share",
    "test event rate",
    "PSI",
  ];
  const bins = document.getElementById("bins");
  bins.append(el("thead", {}, el("tr", {}, ...head.map((h, i) => el("th", { class: i === 1 ? "text" : "" }, h)))));
  const tbody = el("tbody", {});
  p.bins.forEach((b) => {
    const tick = el("input", { type: "checkbox", disabled: b.kind !== "regular" });
    tick.dataset.index = b.index == null ? "" : b.index;
    tbody.append(
      el(
        "tr",
        { "data-label": b.label },
        el("td", {}, tick),
        el("td", { class: "text" }, b.label),
        el("td", {}, fmt(b.count, 0)),
        el("td", {}, fmt(b.bad, 0)),
        el("td", {}, pct(b.event_rate)),
        el("td", {}, fmt(b.woe, 3)),
        el("td", {}, pct(b.iv_share)),
        el("td", { class: "points" }, b.points == null ? "" : fmt(b.points, 0)),
        el("td", {}, pct(b.share)),
        el("td", {}, pct(b.test_share)),
        el("td", {}, pct(b.test_event_rate)),
        el("td", {}, fmt(b.psi, 4)),
      ),
    );
  });
  bins.append(tbody);
  chart(p.bins);
  const numeric = p.type === "numerical";
  document.getElementById("numeric-tools").hidden = !numeric;
  document.getElementById("category-tools").hidden = numeric;
  const cuts = document.getElementById("cuts");
  cuts.replaceChildren(...(p.cuts || []).map((c) => el("option", { value: String(c) })));
  if (!numeric) {
    const cat = document.getElementById("move-category"),
      to = document.getElementById("move-to");
    cat.replaceChildren(...p.groups.flat().map((c) => el("option", { value: c }, c)));
    to.replaceChildren(
      ...p.groups.map((g, i) => el("option", { value: String(i) }, "[" + g.join(", ") + "]")),
      el("option", { value: "new" }, "a new group"),
    );
  }
  document.getElementById("inout").textContent = p.included ? "Leave out" : "Put in";
  const edits = document.querySelector("#edits tbody");
  for (const e of p.edits)
    edits.append(
      el(
        "tr",
        {},
        el("td", { class: "text" }, e.when),
        el("td", { class: "text" }, e.what),
        el("td", { class: "text" }, e.reason),
      ),
    );
}

function chart(bins) {
  // Event rate as bars, WoE as a line on its own scale.
  const ns = "http://www.w3.org/2000/svg",
    W = 640,
    H = 180,
    pad = 30;
  const svg = document.createElementNS(ns, "svg");
  svg.setAttribute("width", W);
  svg.setAttribute("height", H);
  const n = bins.length,
    step = (W - 2 * pad) / Math.max(n, 1);
  const top = Math.max(...bins.map((b) => b.event_rate), 0.01);
  const woes = bins.map((b) => b.woe),
    lo = Math.min(...woes, 0),
    hi = Math.max(...woes, 0);
  const y = (v) => H - pad - ((H - 2 * pad) * (v - lo)) / (hi - lo || 1);
  const shape = (tag, attrs, tip) => {
    const s = document.createElementNS(ns, tag);
    for (const [k, v] of Object.entries(attrs)) s.setAttribute(k, v);
    if (tip) {
      const t = document.createElementNS(ns, "title");
      t.textContent = tip;
      s.append(t);
    }
    svg.append(s);
    return s;
  };
  bins.forEach((b, i) => {
    const h = ((H - 2 * pad) * b.event_rate) / top;
    shape(
      "rect",
      { x: pad + i * step + 4, y: H - pad - h, width: step - 8, height: h, fill: "#9db8e0" },
      `${b.label}: event rate ${pct(b.event_rate)}`,
    );
    const label = shape("text", {
      x: pad + i * step + step / 2,
      y: H - pad + 12,
      "text-anchor": "middle",
      "font-size": 9,
    });
    label.textContent = b.label.length > 14 ? b.label.slice(0, 13) + "…" : b.label;
  });
  const points = bins.map((b, i) => `${pad + i * step + step / 2},${y(b.woe)}`).join(" ");
  shape("polyline", { points, fill: "none", stroke: "#c0392b", "stroke-width": 2 });
  bins.forEach((b, i) => {
    shape(
      "circle",
      { cx: pad + i * step + step / 2, cy: y(b.woe), r: 3, fill: "#c0392b" },
      `${b.label}: WoE ${fmt(b.woe, 3)}`,
    );
  });
  const legend = shape("text", { x: pad, y: 14, "font-size": 11 });
  legend.textContent = "bars: event rate (training); line: WoE";
  document.getElementById("chart").replaceChildren(svg);
}

document.getElementById("preview").addEventListener("click", async () => {
  const at = document.getElementById("split-at").value;
  try {
    const result = await call("/api/preview", { predictor: chosen, at });
    const box = document.getElementById("preview-box");
    const rows = result.bins.map((b) =>
      el(
        "tr",
        {},
        el("td", { class: "text" }, b.label),
        el("td", {}, fmt(b.count, 0)),
        el("td", {}, pct(b.event_rate)),
        el("td", {}, fmt(b.woe, 3)),
        el("td", {}, pct(b.share)),
      ),
    );
    box.replaceChildren(
      el("h3", {}, `Preview: split at ${at}`),
      el(
        "table",
        {},
        el(
          "thead",
          {},
          el(
            "tr",
            {},
            el("th", { class: "text" }, "bin"),
            el("th", {}, "applicants"),
            el("th", {}, "event rate"),
            el("th", {}, "WoE"),
            el("th", {}, "share"),
          ),
        ),
        el("tbody", {}, ...rows),
      ),
    );
    say("preview: not applied yet");
  } catch (e) {
    say(e.message, true);
  }
});
document
  .getElementById("split")
  .addEventListener("click", () => edit({ op: "split", at: document.getElementById("split-at").value }));
document.getElementById("merge").addEventListener("click", () => {
  const bins = [...document.querySelectorAll("#bins input:checked")].map((t) => Number(t.dataset.index));
  edit({ op: "merge", bins });
});
document.getElementById("move").addEventListener("click", () =>
  edit({
    op: "move",
    category: document.getElementById("move-category").value,
    to: document.getElementById("move-to").value,
  }),
);
document.getElementById("rebin").addEventListener("click", () =>
  edit({
    op: "rebin",
    trend: document.getElementById("trend").value,
    max_bins: Number(document.getElementById("max-bins").value),
  }),
);
document.getElementById("optimal").addEventListener("click", () => edit({ op: "optimal" }));
document.getElementById("inout").addEventListener("click", () => {
  const p = view.predictors.find((q) => q.name === chosen);
  edit({ op: "include", on: !p.included });
});
document.getElementById("undo").addEventListener("click", () => edit({ op: "undo" }));
document.getElementById("redo").addEventListener("click", () => edit({ op: "redo" }));
for (const [id, rebuild] of [
  ["save", false],
  ["rebuild", true],
]) {
  document.getElementById(id).addEventListener("click", async () => {
    try {
      say(rebuild ? "saving and rebuilding the card..." : "saving...");
      const result = await call("/api/save", { rebuild });
      view = result.view;
      render();
      say("saved " + result.bins + (result.card ? "; card rebuilt in " + result.card : ""));
    } catch (e) {
      say(e.message, true);
    }
  });
}

call("/api/state")
  .then((v) => {
    view = v;
    chosen = v.predictors.find((p) => p.type)?.name || null;
    render();
  })
  .catch((e) => say(e.message, true));
