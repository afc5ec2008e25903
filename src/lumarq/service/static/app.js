// The lumarq dashboard: sign in with an API key, list the tenant's pipelines,
// show one pipeline's measured fairness, column risk report, column-level
// lineage, and the graph of one row (or of every stored node).
//
// Plain script, no dependencies. It talks only to the /v1 read endpoints of
// the service that served it. Every text from the service reaches the page
// through text nodes and attribute values, never as markup.
"use strict";

(() => {
  const KEY_STORAGE = "lumarq.apiKey";
  // Nodes asked of the service for one picture.
  const FETCH_LIMIT = 20000;
  // Nodes drawn at most, in all and per layer; the rest are counted in a
  // box per layer. Keeps a DAG of thousands of nodes quick and readable.
  const DRAW_LIMIT = 300;
  // Wider rows than this cannot be read on a laptop screen; the rest is counted in a "more" box.
  const LAYER_LIMIT = 12;
  // Protected sources drawn before anything else when the picture is capped.
  const PROTECTED_FIRST = 12;
  const COLOURS = {
    source: "#22d3ee",
    protected: "#f59e0b",
    root: "#c084fc",
    operation: "#4ade80",
    more: "#e2e8f0",
    column: "#93c5fd",
  };
  const KIND_NAMES = {
    source: "Source",
    protected: "Protected source",
    root: "Output (no consumers)",
    operation: "Operation",
    column: "Derived column",
  };
  const FOUR_FIFTHS = 0.8;
  const SVG_NS = "http://www.w3.org/2000/svg";
  const BOX_W = 144;
  const BOX_H = 44;
  const GAP_X = 18;
  const ROW_H = 100;
  const MARGIN = 24;
  const LABEL_CHARS = 20;
  // Row crossings routed around boxes per picture; beyond it, edges are
  // drawn straight through.
  const ROUTING_BUDGET = 20000;

  const state = {
    key: null, tenant: null, keyId: null, generation: 0, nodes: new Map(), boxes: new Map(),
    pipeline: null, pipelineName: "",
  };

  // -- DOM helpers ------------------------------------------------------------

  const byId = (id) => document.getElementById(id);

  function setAttributes(node, attrs) {
    if (!attrs) return;
    for (const [name, value] of Object.entries(attrs)) {
      if (value !== null && value !== undefined && value !== false) {
        node.setAttribute(name, value === true ? "" : String(value));
      }
    }
  }

  function appendAll(node, children) {
    for (const child of children.flat()) {
      if (child === null || child === undefined || child === false) continue;
      node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
  }

  function h(tag, attrs, ...children) {
    const node = document.createElement(tag);
    setAttributes(node, attrs);
    appendAll(node, children);
    return node;
  }

  function s(tag, attrs, ...children) {
    const node = document.createElementNS(SVG_NS, tag);
    setAttributes(node, attrs);
    appendAll(node, children);
    return node;
  }

  function fragment(nodes) {
    const f = document.createDocumentFragment();
    for (const n of nodes) f.append(n);
    return f;
  }

  // -- formatting -------------------------------------------------------------

  const integers = new Intl.NumberFormat("en-US");

  function count(value) {
    return typeof value === "number" && Number.isFinite(value) ? integers.format(value) : "—";
  }

  function plural(n, one, many) {
    return count(n) + " " + (n === 1 ? one : many);
  }

  const muted = (text) => h("span", { class: "muted" }, text);

  function timeText(iso) {
    if (typeof iso !== "string" || !iso) return muted("—");
    const d = new Date(iso);
    if (Number.isNaN(d.getTime())) return iso;
    const two = (n) => String(n).padStart(2, "0");
    const shown = `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ` +
      `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`;
    return h("time", { datetime: iso, title: iso }, shown);
  }

  function names(list) {
    if (!Array.isArray(list) || list.length === 0) return muted("none");
    return list.map(String).join(", ");
  }

  const STATUS_CLASSES = { completed: "ok", running: "info", failed: "bad", completed_with_losses: "bad", stalled: "bad" };

  function statusBadge(status) {
    const text = String(status ?? "unknown");
    return h("span", { class: "badge " + (STATUS_CLASSES[text] || "neutral") }, text);
  }

  function impactBadge(value) {
    if (value === true) return h("span", { class: "badge bad" }, "Yes");
    if (value === false) return h("span", { class: "badge ok" }, "No");
    return muted("—");
  }

  function facts(rows) {
    const list = h("dl", { class: "facts" });
    for (const [term, value, field] of rows) {
      if (value === null || value === undefined) continue;
      list.append(h("div", null, h("dt", null, term), h("dd", { "data-field": field }, value)));
    }
    return list;
  }

  const pipelineHref = (id) => "#/pipelines/" + encodeURIComponent(String(id));

  // -- the service --------------------------------------------------------------

  class ApiError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }

  async function api(path, key) {
    let response;
    try {
      // A relative path: the service may sit under a prefix behind a proxy.
      response = await fetch(path, {
        headers: { Authorization: "Bearer " + key, Accept: "application/json" },
        cache: "no-store",
        credentials: "omit",
      });
    } catch (err) {
      throw new ApiError(0, "The service did not answer. Is it still running?");
    }
    let body = null;
    try {
      body = await response.json();
    } catch (err) {
      body = null;
    }
    if (!response.ok) {
      const detail = body && typeof body.detail === "string" ? body.detail : response.statusText || "error";
      throw new ApiError(response.status, `${detail} (HTTP ${response.status})`);
    }
    return body;
  }

  // -- session ------------------------------------------------------------------

  // sessionStorage: the key lives as long as this tab, and no other site or
  // tab reads it. Without storage (blocked by the browser) it stays in memory.
  function storedKey() {
    try {
      return window.sessionStorage.getItem(KEY_STORAGE);
    } catch (err) {
      return null;
    }
  }

  function storeKey(key) {
    try {
      window.sessionStorage.setItem(KEY_STORAGE, key);
    } catch (err) {
      /* memory only */
    }
  }

  function forgetKey() {
    try {
      window.sessionStorage.removeItem(KEY_STORAGE);
    } catch (err) {
      /* nothing stored */
    }
  }

  function startSession(key, who) {
    state.key = key;
    state.tenant = String(who.tenant_id);
    state.keyId = String(who.key_id);
    storeKey(key);
    byId("session-tenant").textContent = state.tenant;
    byId("session-key").textContent = "lmq_" + state.keyId + "…";
    byId("session").hidden = false;
  }

  function endSession() {
    forgetKey();
    state.key = state.tenant = state.keyId = null;
    state.generation++;
    state.nodes = new Map();
    byId("session").hidden = true;
    byId("session-tenant").textContent = "";
    byId("session-key").textContent = "";
    // Nothing of the tenant's data stays in the page.
    state.boxes = new Map();
    state.pipeline = null;
    for (const id of ["pipelines-body", "pipeline-summary", "fairness-body", "metrics-body", "risk-body",
      "lineage-canvas", "box-details", "dag-canvas", "node-details"]) {
      byId(id).replaceChildren();
    }
    for (const id of ["pipeline-title", "dag-note", "lineage-note", "row-error"]) byId(id).textContent = "";
    byId("row-index").value = "";
  }

  function showSignIn(error) {
    setProblem("");
    setStatus("");
    document.title = "Sign in · lumarq";
    const message = byId("sign-in-error");
    message.textContent = error || "";
    byId("api-key").setAttribute("aria-invalid", error ? "true" : "false");
    show("view-sign-in");
    byId("api-key").focus();
  }

  function expire() {
    endSession();
    showSignIn("The service no longer accepts this API key (unknown or revoked). Sign in again.");
  }

  async function signIn(event) {
    event.preventDefault();
    const input = byId("api-key");
    const button = byId("sign-in-button");
    const key = input.value.trim();
    const fail = (text) => {
      byId("sign-in-error").textContent = text;
      input.setAttribute("aria-invalid", "true");
      input.focus();
      input.select();
    };
    byId("sign-in-error").textContent = "";
    if (!key) return fail("Enter an API key.");
    if (!/^[\x21-\x7e]+$/.test(key)) {
      return fail("An API key has no spaces or special characters: check what was pasted.");
    }
    button.disabled = true;
    setStatus("Checking the key…");
    let who;
    try {
      who = await api("v1/auth", key);
    } catch (err) {
      setStatus("");
      if (err.status === 401) {
        fail("Sign-in failed: this API key is not valid (unknown or revoked). Check the key and try again.");
      } else {
        fail("Sign-in failed: " + err.message);
      }
      return;
    } finally {
      button.disabled = false;
    }
    input.value = "";
    input.setAttribute("aria-invalid", "false");
    startSession(key, who);
    await render();
  }

  function signOut() {
    endSession();
    history.replaceState(null, "", location.pathname + location.search);
    showSignIn("");
    setStatus("Signed out.");
  }

  // -- views --------------------------------------------------------------------

  const VIEWS = ["view-sign-in", "view-pipelines", "view-pipeline", "view-not-found"];

  function show(view, heading) {
    for (const id of VIEWS) byId(id).hidden = id !== view;
    if (heading) byId(heading).focus({ preventScroll: false });
  }

  function setStatus(text) {
    byId("status").textContent = text;
  }

  function setProblem(text) {
    const p = byId("problem");
    p.textContent = text;
    p.hidden = !text;
  }

  function parseRoute() {
    const path = location.hash.replace(/^#\/?/, "");
    if (path === "" || path === "pipelines") return { name: "pipelines" };
    const m = /^pipelines\/([0-9]{1,18})$/.exec(path);
    // Kept as digits: ids may exceed what a JavaScript number holds exactly.
    if (m) return { name: "pipeline", id: m[1].replace(/^0+(?=[0-9])/, "") };
    return { name: "not-found" };
  }

  async function render() {
    const generation = ++state.generation;
    if (!state.key) {
      showSignIn("");
      return;
    }
    setProblem("");
    const route = parseRoute();
    try {
      if (route.name === "pipelines") await renderPipelines(generation);
      else if (route.name === "pipeline") await renderPipeline(generation, route.id);
      else notFound("There is no such page.");
    } catch (err) {
      if (generation !== state.generation) return;
      setStatus("");
      if (err instanceof ApiError && err.status === 401) {
        expire();
      } else if (err instanceof ApiError && (err.status === 404 || err.status === 422) && route.name === "pipeline") {
        notFound(`This tenant has no pipeline ${route.id}.`);
      } else if (err instanceof ApiError) {
        setProblem("Could not load the page: " + err.message);
      } else {
        setProblem("The page failed to show this data: " + String(err && err.message));
        throw err;
      }
    }
  }

  function notFound(text) {
    byId("not-found-text").textContent = text;
    document.title = "Not found · lumarq";
    setStatus("");
    show("view-not-found", "not-found-title");
  }

  async function renderPipelines(generation) {
    setStatus("Loading pipelines…");
    const pipelines = await api("v1/pipelines", state.key);
    if (generation !== state.generation) return;
    const list = Array.isArray(pipelines) ? pipelines.slice() : [];
    list.sort((a, b) => b.id - a.id);
    byId("pipelines-body").replaceChildren(fragment(list.map(pipelineRow)));
    byId("pipelines-caption").textContent = `Pipelines of tenant ${state.tenant}, newest first`;
    byId("pipelines-table").hidden = list.length === 0;
    byId("pipelines-empty").hidden = list.length !== 0;
    document.title = "Pipelines · lumarq";
    setStatus(plural(list.length, "pipeline", "pipelines") + ".");
    show("view-pipelines", "pipelines-title");
  }

  function pipelineRow(p) {
    const f = p.fairness;
    return h("tr", { "data-pipeline-id": p.id },
      h("th", { scope: "row" }, h("a", { href: pipelineHref(p.id) }, String(p.name))),
      h("td", null, statusBadge(p.status)),
      h("td", { class: "num" }, count(p.node_count)),
      h("td", { class: "num" }, count(p.edge_count)),
      h("td", null, f ? impactBadge(f.has_disparate_impact) : muted("no report")),
      h("td", null, f ? names(f.protected_sources) : muted("—")),
      h("td", null, timeText(p.created_at)),
      h("td", null, timeText(p.completed_at)));
  }

  // The pipeline's latest report, whole. Kept in one place: a service that lists
  // report summaries would fetch the full report here.
  async function latestReport(detail) {
    return detail.report && detail.report.payload ? detail.report.payload : null;
  }

  async function renderPipeline(generation, id) {
    setStatus(`Loading pipeline ${id}…`);
    const [detail, lineage] = await Promise.all([
      api(`v1/pipelines/${id}`, state.key),
      api(`v1/pipelines/${id}/lineage`, state.key),
    ]);
    const report = await latestReport(detail);
    if (generation !== state.generation) return;
    const name = String(detail.name);
    state.pipeline = String(detail.id);
    state.pipelineName = name;
    byId("pipeline-title").textContent = name;
    const lost = typeof detail.lost_records === "number" ? detail.lost_records : null;
    byId("pipeline-summary").replaceChildren(facts([
      ["Id", String(detail.id), "id"],
      ["Status", statusBadge(detail.status), "status"],
      ["Nodes stored", count(detail.node_count), "node_count"],
      ["Edges stored", count(detail.edge_count), "edge_count"],
      ["Lost records", lost === null ? null : h("span", { class: "badge " + (lost > 0 ? "bad" : "ok") }, count(lost)),
        "lost_records"],
      ["Created", timeText(detail.created_at), "created_at"],
      ["Completed", timeText(detail.completed_at), "completed_at"],
      ["Git commit", detail.git_commit ? h("code", null, String(detail.git_commit)) : null, "git_commit"],
    ]));
    const measured = (report && report.fairness && report.fairness.metrics) || null;
    renderFairness(detail, report, measured);
    renderMetrics(measured);
    renderRisk(measured);
    renderLineage(lineage, name);
    resetRowView();
    document.title = name + " · lumarq";
    setStatus(`Pipeline ${name}.`);
    show("view-pipeline", "pipeline-title");
  }

  const text = (v) => (v === null || v === undefined || v === "" ? null : String(v));

  // The design's flag says only that a protected column was registered with the
  // tracker; what was measured is shown apart, under "Measured fairness".
  function renderFairness(detail, report, measured) {
    const body = byId("fairness-body");
    const f = detail.fairness;
    if (!f) {
      body.replaceChildren(h("p", { class: "muted" },
        "No report has been received for this pipeline yet: a tracker sends one when it flushes."));
      return;
    }
    const reported = (report && report.fairness && report.fairness.details) || {};
    // Model fields only as the caller gave them to report_fairness(model=...).
    const model = (measured && measured.model) || {};
    body.replaceChildren(facts([
      ["A protected column was registered", impactBadge(f.has_disparate_impact), "has_disparate_impact"],
      ["Protected sources", names(f.protected_sources), "protected_sources"],
      ["Nodes (reported)", count(reported.node_count), "node_count"],
      ["Edges (reported)", count(reported.edge_count), "edge_count"],
      ["Model", text(model.name), "model_name"],
      ["Model id", text(model.model_id), "model_id"],
      ["Model version", text(model.version), "model_version"],
      ["Model status", text(model.status), "model_status"],
      ["Domain", text(model.domain), "model_domain"],
      ["Report received", timeText(f.received_at), "received_at"],
    ]));
  }

  function percent(x) {
    return typeof x === "number" && Number.isFinite(x) ? (x * 100).toFixed(1) + "%" : "—";
  }

  function decimal(x) {
    return typeof x === "number" && Number.isFinite(x) ? x.toFixed(3) : "—";
  }

  function renderMetrics(m) {
    const body = byId("metrics-body");
    if (!m || typeof m.attributes !== "object" || m.attributes === null) {
      body.replaceChildren(h("p", { class: "muted" },
        "Nothing measured for this pipeline: call tracker.report_fairness(df, outcome, protected) " +
        "before the tracker flushes to send selection rates and parity metrics with the report."));
      return;
    }
    const favourable = m.favorable === "function" ? "as chosen by a function" : `= ${String(m.favorable)}`;
    const parts = [h("p", { class: "muted" },
      `Outcome ${String(m.outcome)} (favourable ${favourable}) over ${count(m.rows)} rows` +
      (m.rows_excluded ? ` (${count(m.rows_excluded)} without an outcome left out)` : "") +
      `; ${percent(m.overall_selection_rate)} favourable overall.` +
      (m.labels ? ` True labels: ${String(m.labels)}.` : ""))];
    const reach = h("ul", { class: "reach", id: "fairness-reach" });
    for (const [name, a] of Object.entries(m.attributes)) {
      const p = a.provenance || {};
      const badge = p.reaches_outcome === true ? "bad" : p.reaches_outcome === false ? "ok" : "neutral";
      reach.append(h("li", { "data-attribute": name, "data-reaches": String(p.reaches_outcome) },
        h("strong", null, name), " ", h("span", { class: "badge " + badge }, String(p.status || "unknown")),
        Array.isArray(p.sources) && p.sources.length ? muted(` (${p.sources.join(", ")})`) : null));
    }
    parts.push(h("h3", null, "Which protected attributes reach the outcome"), reach);
    for (const [name, a] of Object.entries(m.attributes)) parts.push(attributeSection(name, a, Boolean(m.labels)));
    body.replaceChildren(...parts);
  }

  function attributeSection(name, a, withLabels) {
    const di = a.disparate_impact || {};
    const groups = Array.isArray(a.groups) ? a.groups : [];
    const flag = di.four_fifths_violated
      ? h("span", { class: "badge bad" }, "Below four fifths")
      : h("span", { class: "badge ok" }, "Within four fifths");
    const lines = [
      ["Demographic parity difference", decimal(a.demographic_parity_difference)],
      ["Demographic parity ratio", decimal(a.demographic_parity_ratio)],
      [`Lowest disparate impact ratio (vs ${String(di.reference)}, ${String(di.reference_rule)})`,
        di.lowest_group === null || di.lowest_group === undefined
          ? "—" : `${decimal(di.lowest_ratio)} (${String(di.lowest_group)})`],
    ];
    if (withLabels) {
      lines.push(["Equal opportunity difference", decimal(a.equal_opportunity_difference)]);
      lines.push(["Equalized odds difference", decimal(a.equalized_odds_difference)]);
    }
    const head = ["Group", "Size", "Selection rate", "Disparate impact ratio", "Four-fifths rule"];
    if (withLabels) head.push("True positive rate", "False positive rate");
    const table = h("table", { class: "metrics-table", "data-attribute": name },
      h("caption", null, `Selection rates by ${name}` +
        (a.binning ? ` (binned: ${(a.binning.groups || []).join(", ")})` : "")),
      h("thead", null, h("tr", null, head.map((t, i) => h("th", { scope: "col", class: i ? "num" : null }, t)))),
      h("tbody", null, groups.map((g) => h("tr", { "data-group": String(g.group) },
        h("th", { scope: "row" }, String(g.group)),
        h("td", { class: "num" }, count(g.size)),
        h("td", { class: "num" }, percent(g.selection_rate)),
        h("td", { class: "num" }, decimal(g.disparate_impact_ratio)),
        h("td", { class: "num" }, g.four_fifths_violated ? h("span", { class: "badge bad" }, "below 4/5") : "ok"),
        withLabels ? h("td", { class: "num" }, percent(g.true_positive_rate)) : null,
        withLabels ? h("td", { class: "num" }, percent(g.false_positive_rate)) : null))));
    return h("section", { class: "attribute", "data-attribute": name },
      h("h3", null, name, " ", flag),
      h("ul", { class: "metric-lines" }, lines.map(([k, v]) => h("li", null, `${k}: `, h("strong", null, v)))),
      rateBars(name, groups, di),
      h("div", { class: "table-scroll" }, table));
  }

  // One bar per group; the dashed line marks four fifths of the reference group's rate.
  function rateBars(name, groups, di) {
    const labelW = 120;
    const barMax = 320;
    const rowH = 24;
    const width = labelW + barMax + 70;
    const height = groups.length * rowH + 26;
    const svg = s("svg", {
      class: "rate-bars", width, height, viewBox: `0 0 ${width} ${height}`, role: "img",
      "aria-label": `Selection rate by ${name}` + groups.map((g) => `, ${g.group} ${percent(g.selection_rate)}`).join(""),
      "data-attribute": name,
    });
    groups.forEach((g, i) => {
      const rate = typeof g.selection_rate === "number" ? g.selection_rate : 0;
      const y = i * rowH + 4;
      svg.append(
        s("text", { class: "bar-label", x: labelW - 8, y: y + 14, "text-anchor": "end" }, clip(String(g.group))),
        s("rect", {
          class: "rate-bar", x: labelW, y, width: Math.max(1, rate * barMax), height: rowH - 8, rx: 3,
          fill: g.four_fifths_violated ? "#f87171" : "#4ade80", "data-group": String(g.group),
          "data-rate": String(rate),
        }, s("title", null, `${g.group}: ${percent(g.selection_rate)} of ${count(g.size)}`)),
        s("text", { class: "bar-value", x: labelW + rate * barMax + 6, y: y + 14 }, percent(g.selection_rate)));
    });
    const ref = di.reference_selection_rate;
    if (typeof ref === "number" && ref > 0) {
      const x = labelW + FOUR_FIFTHS * ref * barMax;
      svg.append(
        s("line", { x1: x, x2: x, y1: 0, y2: groups.length * rowH + 4, stroke: "#b91c1c", "stroke-dasharray": "4 3" }),
        s("text", { class: "bar-value", x, y: height - 6, "text-anchor": "middle" }, "4/5 of the reference rate"));
    }
    return svg;
  }

  function renderRisk(m) {
    const body = byId("risk-body");
    const rows = m && Array.isArray(m.column_risk_report) ? m.column_risk_report : null;
    if (!rows) {
      body.replaceChildren(h("p", { class: "muted" },
        "No column risk report: report_fairness sends one when its frame is tracked."));
      return;
    }
    const cols = ["column", "tainted", "max_risk", "min_depth", "risk_level"];
    const heads = ["Column", "Derived from protected data", "Highest risk", "Shortest depth", "Risk level"];
    const level = { HIGH: "bad", MEDIUM: "bad", LOW: "info", CLEAN: "ok" };
    body.replaceChildren(h("div", { class: "table-scroll" }, h("table", { id: "risk-table" },
      h("thead", null, h("tr", null, heads.map((t) => h("th", { scope: "col" }, t)))),
      h("tbody", null, rows.map((r) => h("tr", { "data-column": String(r.column) },
        h("th", { scope: "row" }, String(r.column)),
        h("td", null, r.tainted === null || r.tainted === undefined ? "unknown" : r.tainted ? "yes" : "no"),
        h("td", { class: "num" }, r.max_risk === null || r.max_risk === undefined ? "—" : String(r.max_risk)),
        h("td", { class: "num" }, r.min_depth === null || r.min_depth === undefined ? "—" : String(r.min_depth)),
        h("td", null, h("span", { class: "badge " + (level[r.risk_level] || "neutral") }, String(r.risk_level)))))))));
  }

  // -- column-level lineage -------------------------------------------------------

  const LINEAGE_VIEW = {
    kind(n, hasConsumers) {
      if (n.kind === "source" || n.kind === "protected") return n.kind;
      if (n.kind === "column") return "column";
      return hasConsumers ? "operation" : "root";
    },
    label(n, kind) {
      const behind = plural(n.node_count, "node", "nodes");
      // The count first: long table names are clipped, and the tooltip names the table in full.
      if (kind === "source" || kind === "protected") return [n.column ?? n.label ?? "", `${behind} · ${n.table ?? ""}`];
      return [n.label ?? n.operation ?? "?", behind];
    },
    describe(n, kind) {
      const what = kind === "source" || kind === "protected" ? `${n.table}.${n.column}` : String(n.label);
      const taint = n.is_protected && kind !== "protected" ? ", on a path from protected data" : "";
      return `${KIND_NAMES[kind]} ${what}: ${plural(n.node_count, "stored node", "stored nodes")}, ` +
        `${plural(n.row_values, "row value", "row values")}${taint}`;
    },
    registry: "boxes",
    name: "Column-level lineage",
  };

  function renderLineage(lineage, pipelineName) {
    const canvas = byId("lineage-canvas");
    byId("box-details").replaceChildren();
    const plan = planDag(lineage || {}, LINEAGE_VIEW);
    if (plan.totalNodes === 0) {
      state.boxes = new Map();
      canvas.replaceChildren();
      byId("lineage-note").textContent = "No nodes are stored for this pipeline yet.";
      return;
    }
    canvas.replaceChildren(drawDag(plan, pipelineName, LINEAGE_VIEW));
    byId("lineage-note").textContent =
      `${plural(plan.totalNodes, "box", "boxes")} for ${plural(lineage.stored_nodes, "stored node", "stored nodes")}: ` +
      "one per source column, per derived column, and per operation whose result has no column name. " +
      "Orange outlines and arrows mark the paths from protected data. Select a box for its details.";
  }

  function showBox(target) {
    const shape = target instanceof Element ? target.closest(".dag-node") : null;
    if (!shape) return;
    const n = state.boxes.get(shape.getAttribute("data-node-id"));
    if (!n) return;
    byId("box-details").replaceChildren(h("h3", null, "Selected box"), facts([
      ["Kind", KIND_NAMES[shape.getAttribute("data-kind")] || n.kind, "kind"],
      ["Table", text(n.table), "table"],
      ["Column", text(n.column), "column"],
      ["Operation", text(n.operation), "operation"],
      ["Stored nodes", count(n.node_count), "node_count"],
      ["Row values stored", count(n.row_values), "row_values"],
      ["On a path from protected data", n.is_protected ? "yes" : "no", "is_protected"],
    ]));
  }

  // -- one row, or every stored node -------------------------------------------------

  function resetRowView() {
    state.nodes = new Map();
    byId("dag-canvas").replaceChildren();
    byId("node-details").replaceChildren();
    byId("row-error").textContent = "";
    byId("dag-note").textContent =
      "Enter a row index to see the stored nodes that row passed through, with its value at each; " +
      "or show every stored node of the pipeline.";
  }

  async function showRow(event) {
    event.preventDefault();
    const input = byId("row-index");
    const raw = input.value.trim();
    byId("row-error").textContent = "";
    if (!/^[0-9]{1,15}$/.test(raw)) {
      byId("row-error").textContent = "Enter a row index: a whole number, 0 or more.";
      input.focus();
      return;
    }
    const row = String(Number(raw));
    await loadGraph(`v1/pipelines/${state.pipeline}/rows/${row}/dag`, `row ${row}`);
  }

  async function showAll() {
    await loadGraph(`v1/pipelines/${state.pipeline}/dag?max_nodes=${FETCH_LIMIT}`, null);
  }

  async function loadGraph(path, rowText) {
    if (!state.pipeline) return;
    const generation = state.generation;
    setStatus(rowText ? `Loading the graph of ${rowText}…` : "Loading every stored node…");
    let dag;
    try {
      dag = await api(path, state.key);
    } catch (err) {
      if (generation !== state.generation) return;
      setStatus("");
      if (err.status === 401) expire();
      else byId("row-error").textContent = "Could not load the graph: " + err.message;
      return;
    }
    if (generation !== state.generation) return;
    if (rowText && (!Array.isArray(dag.nodes) || dag.nodes.length === 0)) {
      resetRowView();
      byId("row-error").textContent = dag.row_values > 0
        ? `The only values stored for ${rowText} are of source tables whose row numbers are not this pipeline's rows.`
        : `No values are stored for ${rowText} of this pipeline ` +
          "(rows are numbered from 0; a tracker without persistence stores none).";
      setStatus("");
      return;
    }
    renderDag(dag, state.pipelineName, rowText);
    setStatus(rowText ? `The graph of ${rowText}.` : "Every stored node.");
  }

  // -- the DAG picture ----------------------------------------------------------

  function pushTo(map, key, value) {
    const list = map.get(key);
    if (list) list.push(value);
    else map.set(key, [value]);
  }

  const NODE_VIEW = {
    kind(n, hasConsumers) {
      if (n.node_type === "SOURCE") return n.is_protected ? "protected" : "source";
      return hasConsumers ? "operation" : "root";
    },
    label: (n, kind) => labelLines(n, kind),
    describe: (n, kind) => describeNode(n, kind),
    registry: "nodes",
    name: "Computation DAG",
  };

  function planDag(dag, view = NODE_VIEW) {
    const nodes = Array.isArray(dag.nodes) ? dag.nodes : [];
    const byNode = new Map(nodes.map((n) => [n.id, n]));
    const parents = new Map();
    const children = new Map();
    const edges = [];
    for (const e of Array.isArray(dag.edges) ? dag.edges : []) {
      if (e.parent === e.child || !byNode.has(e.parent) || !byNode.has(e.child)) continue;
      edges.push(e);
      pushTo(parents, e.child, e.parent);
      pushTo(children, e.parent, e.child);
    }
    // The pipeline's outputs are the operations nothing consumes; a source
    // keeps its source colour either way.
    const kindOf = new Map();
    for (const n of nodes) kindOf.set(n.id, view.kind(n, children.has(n.id)));
    const perLevel = new Map();
    for (const n of nodes) perLevel.set(n.level, (perLevel.get(n.level) || 0) + 1);
    const fits = nodes.length <= DRAW_LIMIT && Math.max(...perLevel.values()) <= LAYER_LIMIT;
    const chosen = fits ? nodes.slice() : chooseNodes(nodes, byNode, parents, kindOf);
    const drawn = new Set(chosen.map((n) => n.id));
    const levels = [...new Set(chosen.map((n) => n.level))].sort((a, b) => a - b);
    const rowOf = new Map(levels.map((level, i) => [level, i]));
    const rows = levels.map(() => []);
    for (const n of chosen) rows[rowOf.get(n.level)].push(n);
    const hiddenPerRow = levels.map((level, i) => perLevel.get(level) - rows[i].length);
    let hiddenLayers = 0;
    let hiddenOnThem = 0;
    for (const [level, total] of perLevel) {
      if (!rowOf.has(level)) {
        hiddenLayers++;
        hiddenOnThem += total;
      }
    }
    orderRows(rows, parents, children);
    const rowOfNode = new Map();
    rows.forEach((row, r) => row.forEach((n) => rowOfNode.set(n.id, r)));
    return {
      rows,
      rowOf: rowOfNode,
      hiddenPerRow,
      hiddenLayers,
      hiddenOnThem,
      kindOf,
      edges: edges.filter((e) => drawn.has(e.parent) && drawn.has(e.child)),
      byNode,
      drawnNodes: chosen.length,
      totalNodes: nodes.length,
      totalEdges: edges.length,
      truncated: dag.truncated === true,
    };
  }

  // Protected sources first; then the lineage of each output in turn (the
  // outputs of the highest level first), so that what is drawn hangs
  // together; then by id (nodes on cycles that no output reaches). Each
  // node's inputs are offered once: the work stays linear in the graph.
  function chooseNodes(nodes, byNode, parents, kindOf) {
    const chosen = new Set();
    const room = new Map();
    for (const n of nodes) room.set(n.level, Math.min(LAYER_LIMIT, (room.get(n.level) || 0) + 1));
    let openLayers = room.size;
    const take = (n) => {
      if (chosen.has(n.id)) return true;
      const left = room.get(n.level);
      if (chosen.size >= DRAW_LIMIT || left === 0) return false;
      room.set(n.level, left - 1);
      if (left === 1) openLayers--;
      chosen.add(n.id);
      return true;
    };
    const full = () => chosen.size >= DRAW_LIMIT || openLayers === 0;
    let protectedTaken = 0;
    for (const n of nodes) {
      if (protectedTaken >= PROTECTED_FIRST || full()) break;
      if (kindOf.get(n.id) === "protected" && take(n)) protectedTaken++;
    }
    const outputs = nodes.filter((n) => kindOf.get(n.id) === "root");
    outputs.sort((a, b) => b.level - a.level || a.id - b.id);
    const expanded = new Set();
    for (const output of outputs) {
      if (full()) break;
      if (!take(output)) continue;
      const queue = [output];
      for (let i = 0; i < queue.length && !full(); i++) {
        const n = queue[i];
        if (expanded.has(n.id)) continue;
        expanded.add(n.id);
        for (const p of parents.get(n.id) || []) {
          const input = byNode.get(p);
          if (take(input)) queue.push(input);
        }
      }
    }
    for (const n of nodes) {
      if (full()) break;
      take(n);
    }
    return nodes.filter((n) => chosen.has(n.id));
  }

  // Fewer crossings: each node moves to the mean place of its neighbours in
  // the row below (then above, then below again).
  function orderRows(rows, parents, children) {
    const slot = new Map();
    const place = (row) => row.forEach((n, i) => slot.set(n.id, i - (row.length - 1) / 2));
    rows.forEach(place);
    const sweep = (indexes, neighbours) => {
      for (const r of indexes) {
        const row = rows[r];
        const key = new Map();
        for (const n of row) {
          let sum = 0;
          let k = 0;
          for (const m of neighbours.get(n.id) || []) {
            if (slot.has(m)) {
              sum += slot.get(m);
              k++;
            }
          }
          key.set(n.id, k ? sum / k : slot.get(n.id));
        }
        row.sort((a, b) => key.get(a.id) - key.get(b.id) || a.id - b.id);
        place(row);
      }
    };
    const up = rows.map((_, i) => i).slice(1);
    const down = rows.map((_, i) => i).reverse().slice(1);
    sweep(up, parents);
    sweep(down, children);
    sweep(up, parents);
  }

  function clip(text) {
    const t = String(text);
    return t.length > LABEL_CHARS ? t.slice(0, LABEL_CHARS - 1) + "…" : t;
  }

  function labelLines(n, kind) {
    if (kind === "source" || kind === "protected") return [n.table ?? "", n.column ?? ""];
    return [n.operation || n.node_type || "?"];
  }

  function describeNode(n, kind) {
    const what = labelLines(n, kind).filter((x) => x !== "").join(".");
    const taint = n.is_protected && kind !== "protected" ? ", derived from protected data" : "";
    return `${KIND_NAMES[kind]} ${what} (node ${n.id}, ${n.fingerprint_hex}${taint})`;
  }

  const round = (x) => Math.round(x * 10) / 10;

  // `x` itself, or the middle of the nearest gap when a box of the row
  // (left edges `xs`, ascending) covers it.
  function gapNear(xs, x) {
    let lo = 0;
    let hi = xs.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (xs[mid] + BOX_W < x) lo = mid + 1;
      else hi = mid;
    }
    if (lo === xs.length || xs[lo] > x) return x;
    const left = xs[lo] - GAP_X / 2;
    const right = xs[lo] + BOX_W + GAP_X / 2;
    return x - left <= right - x ? left : right;
  }

  // Points in drawing order, upwards: a curve between rows, straight lines
  // through the rows passed.
  function edgePath(points) {
    const [x0, y0] = points[0];
    let d = `M${round(x0)},${round(y0)}`;
    for (let i = 1; i < points.length; i++) {
      const [xa, ya] = points[i - 1];
      const [xb, yb] = points[i];
      if (i % 2 === 0) {
        d += ` L${round(xb)},${round(yb)}`;
      } else {
        const ym = round((ya + yb) / 2);
        d += ` C${round(xa)},${ym} ${round(xb)},${ym} ${round(xb)},${round(yb)}`;
      }
    }
    return d;
  }

  function drawDag(plan, pipelineName, view = NODE_VIEW) {
    const rowCounts = plan.rows.map((row, r) => row.length + (plan.hiddenPerRow[r] > 0 ? 1 : 0));
    const widest = Math.max(1, ...rowCounts);
    const width = MARGIN * 2 + widest * BOX_W + (widest - 1) * GAP_X;
    const height = MARGIN * 2 + (plan.rows.length - 1) * ROW_H + BOX_H;
    const at = new Map();
    plan.rows.forEach((row, r) => {
      const rowWidth = rowCounts[r] * BOX_W + (rowCounts[r] - 1) * GAP_X;
      const x0 = (width - rowWidth) / 2;
      // Sources (the lowest level) at the bottom.
      const y = MARGIN + (plan.rows.length - 1 - r) * ROW_H;
      row.forEach((n, i) => at.set(n.id, { x: x0 + i * (BOX_W + GAP_X), y }));
      if (plan.hiddenPerRow[r] > 0) at.set("more:" + r, { x: x0 + row.length * (BOX_W + GAP_X), y });
    });

    const picture = s("svg", {
      class: "dag",
      width,
      height,
      viewBox: `0 0 ${width} ${height}`,
      role: "group",
      "aria-label": `${view.name} of ${pipelineName}: ${plan.drawnNodes} of ${plan.totalNodes} nodes drawn`,
      "data-nodes-drawn": plan.drawnNodes,
      "data-nodes-total": plan.totalNodes,
      "data-edges-drawn": plan.edges.length,
    });
    picture.append(s("defs", null,
      s("marker", {
        id: "dag-arrow", viewBox: "0 0 10 10", refX: 10, refY: 5, markerWidth: 8, markerHeight: 8,
        orient: "auto-start-reverse",
      }, s("path", { d: "M0,0 L10,5 L0,10 z", fill: "#64748b" }))));

    // Left edge of every box per row, in order, for routing edges past them.
    const rowBoxes = plan.rows.map((row, r) => {
      const xs = row.map((n) => at.get(n.id).x);
      if (plan.hiddenPerRow[r] > 0) xs.push(at.get("more:" + r).x);
      return xs;
    });
    const rowY = (r) => MARGIN + (plan.rows.length - 1 - r) * ROW_H;
    let routingBudget = ROUTING_BUDGET;
    const edgeLayer = s("g", { class: "dag-edges" });
    for (const e of plan.edges) {
      const a = at.get(e.parent);
      const b = at.get(e.child);
      const from = plan.rowOf.get(e.parent);
      const to = plan.rowOf.get(e.child);
      // From the top of the input to the bottom of its consumer; an edge
      // that crosses rows passes each one in a gap between boxes.
      const points = [[a.x + BOX_W / 2, a.y]];
      if (to - from > 1 && routingBudget >= to - from) {
        routingBudget -= to - from;
        const x1 = a.x + BOX_W / 2;
        const x2 = b.x + BOX_W / 2;
        for (let r = from + 1; r < to; r++) {
          const x = gapNear(rowBoxes[r], x1 + ((x2 - x1) * (r - from)) / (to - from));
          points.push([x, rowY(r) + BOX_H], [x, rowY(r)]);
        }
      }
      points.push([b.x + BOX_W / 2, b.y + BOX_H]);
      const onProtectedPath = plan.byNode.get(e.parent).is_protected === true &&
        plan.byNode.get(e.child).is_protected === true;
      edgeLayer.append(s("path", {
        class: onProtectedPath ? "dag-edge protected-path" : "dag-edge",
        d: edgePath(points),
        fill: "none",
        stroke: "#94a3b8",
        "stroke-width": 1.5,
        "marker-end": "url(#dag-arrow)",
      }));
    }
    picture.append(edgeLayer);

    const nodeLayer = s("g", { class: "dag-nodes" });
    const registry = new Map();
    state[view.registry] = registry;
    plan.rows.forEach((row, r) => {
      for (const n of row) {
        const kind = plan.kindOf.get(n.id);
        const p = at.get(n.id);
        const tainted = n.is_protected === true && kind !== "protected";
        const lines = view.label(n, kind);
        const label = s("text", { class: "dag-label", "text-anchor": "middle" });
        lines.forEach((line, i) => {
          const y = lines.length === 1 ? BOX_H / 2 + 4 : 18 + i * 15;
          label.append(s("tspan", { x: BOX_W / 2, y }, clip(line)));
        });
        registry.set(String(n.id), n);
        nodeLayer.append(s("g", {
          class: "dag-node",
          transform: `translate(${round(p.x)},${round(p.y)})`,
          tabindex: 0,
          role: "button",
          "aria-label": view.describe(n, kind),
          "data-node-id": n.id,
          "data-kind": kind,
          "data-label": lines[0],
        },
        s("title", null, view.describe(n, kind)),
        s("rect", {
          width: BOX_W,
          height: BOX_H,
          rx: 6,
          fill: COLOURS[kind],
          stroke: tainted ? COLOURS.protected : "#334155",
          "stroke-width": tainted ? 3 : 1,
        }),
        label));
      }
      const hidden = plan.hiddenPerRow[r];
      if (hidden > 0) {
        const p = at.get("more:" + r);
        const text = `${count(hidden)} more ${hidden === 1 ? "node" : "nodes"} on this layer are not drawn`;
        nodeLayer.append(s("g", {
          class: "dag-more",
          "data-hidden": hidden,
          transform: `translate(${round(p.x)},${round(p.y)})`,
          role: "img",
          "aria-label": text,
        },
        s("title", null, text),
        s("rect", {
          width: BOX_W, height: BOX_H, rx: 6, fill: COLOURS.more, stroke: "#64748b", "stroke-dasharray": "4 3",
        }),
        s("text", { class: "dag-label", "text-anchor": "middle", x: BOX_W / 2, y: BOX_H / 2 + 4 },
          `+${count(hidden)} more`)));
      }
    });
    picture.append(nodeLayer);
    return picture;
  }

  function describePlan(plan) {
    const parts = [];
    if (plan.drawnNodes === plan.totalNodes) {
      parts.push(`${plural(plan.totalNodes, "node", "nodes")} and ${plural(plan.totalEdges, "edge", "edges")}.`);
    } else {
      parts.push(`Showing ${count(plan.drawnNodes)} of ${plural(plan.totalNodes, "node", "nodes")} and ` +
        `${count(plan.edges.length)} of ${plural(plan.totalEdges, "edge", "edges")}: ` +
        "protected sources first, then whole lineages of the pipeline's outputs. " +
        "Grey boxes count the nodes left out on their layer.");
      if (plan.hiddenLayers > 0) {
        parts.push(`${plural(plan.hiddenOnThem, "more node", "more nodes")} on ` +
          `${plural(plan.hiddenLayers, "layer", "layers")} between are not drawn.`);
      }
    }
    if (plan.truncated) {
      parts.push(`The service sent the first ${count(FETCH_LIMIT)} nodes of this pipeline only.`);
    }
    parts.push("Sources are at the bottom; arrows run from an input to the operation that used it. " +
      "Select a node for its details.");
    return parts.join(" ");
  }

  function renderDag(dag, pipelineName, rowText) {
    const canvas = byId("dag-canvas");
    byId("node-details").replaceChildren();
    byId("row-error").textContent = "";
    const plan = planDag(dag || {});
    if (plan.totalNodes === 0) {
      state.nodes = new Map();
      canvas.replaceChildren();
      byId("dag-note").textContent = "No nodes are stored for this pipeline yet.";
      return;
    }
    canvas.replaceChildren(drawDag(plan, pipelineName));
    canvas.firstChild.setAttribute("data-row", rowText ? rowText.replace(/^row /, "") : "all");
    byId("dag-note").textContent = (rowText ? `The graph of ${rowText}: ` : "Every stored node: ") + describePlan(plan);
  }

  function showNode(target) {
    const shape = target instanceof Element ? target.closest(".dag-node") : null;
    if (!shape) return;
    const n = state.nodes.get(shape.getAttribute("data-node-id"));
    if (!n) return;
    const kind = shape.getAttribute("data-kind");
    byId("node-details").replaceChildren(
      h("h3", null, "Selected node"),
      facts([
        ["Kind", KIND_NAMES[kind] || kind, "kind"],
        ["Node id", text(n.id), "id"],
        ["Fingerprint", text(n.fingerprint_hex), "fingerprint_hex"],
        ["Node type", text(n.node_type), "node_type"],
        ["Operation", text(n.operation), "operation"],
        ["Table", text(n.table), "table"],
        ["Column", text(n.column), "column"],
        ["Pair id", text(n.pair_id), "pair_id"],
        ["Level", text(n.level), "level"],
        ["Value in this row", n.has_value ? text(n.value) ?? "(empty)"
          : n.no_value_reason ? "Not known. " + n.no_value_reason : null, "value"],
        ["Protected", n.is_protected ? "yes" : "no", "is_protected"],
      ]));
  }

  // -- start --------------------------------------------------------------------

  async function boot() {
    byId("sign-in-form").addEventListener("submit", signIn);
    byId("sign-out").addEventListener("click", signOut);
    byId("refresh").addEventListener("click", () => render());
    // Wide graphs are shown whole by default; actual size (with scrolling) reads the labels.
    byId("dag-fit").addEventListener("click", () => {
      const fit = byId("dag-canvas").classList.toggle("dag-fit");
      byId("lineage-canvas").classList.toggle("dag-fit", fit);
      byId("dag-fit").setAttribute("aria-pressed", String(fit));
    });
    window.addEventListener("hashchange", () => render());
    byId("row-form").addEventListener("submit", showRow);
    byId("dag-all").addEventListener("click", () => showAll());
    for (const [canvasId, select] of [["dag-canvas", showNode], ["lineage-canvas", showBox]]) {
      const canvas = byId(canvasId);
      canvas.addEventListener("focusin", (event) => select(event.target));
      canvas.addEventListener("click", (event) => select(event.target));
      canvas.addEventListener("keydown", (event) => {
        if (event.key === "Enter" || event.key === " ") {
          select(event.target);
          if (event.target instanceof Element && event.target.closest(".dag-node")) event.preventDefault();
        }
      });
    }

    const key = storedKey();
    if (!key) {
      showSignIn("");
      return;
    }
    setStatus("Checking the key…");
    try {
      startSession(key, await api("v1/auth", key));
    } catch (err) {
      if (err.status === 401) expire();
      else showSignIn("Could not check the key: " + err.message);
      return;
    }
    await render();
  }

  boot();
})();
