// The pages of pelmar serve: one small script over the JSON API. Every text from the archive
// goes into the page as text (textContent), never as markup.
"use strict";
(function () {
  let token = "";
  let role = "";
  let page = 1;
  let collectTimer = null;
  const $ = (id) => document.getElementById(id);

  function say(text, error) {
    $("message").textContent = text || "";
    $("message").className = error ? "error" : "";
  }

  async function api(method, url) {
    const headers = method === "POST" ? { "X-CSRF-Token": token } : {};
    const r = await fetch(url, { method, headers, credentials: "same-origin" });
    if (!r.ok) {
      let why = r.status + " " + r.statusText;
      try { why = (await r.json()).error || why; } catch (e) { /* not JSON */ }
      if (r.status === 401) showLogin();
      throw new Error(why);
    }
    return r;
  }

  function cell(tr, text, cls) {
    const td = document.createElement("td");
    td.textContent = text === null || text === undefined ? "" : String(text);
    if (cls) td.className = cls;
    tr.appendChild(td);
    return td;
  }

  function when(iso) {
    if (!iso) return "never";
    return iso.replace("T", " ").replace("Z", " UTC");
  }

  async function loadReaders() {
    const list = await (await api("GET", "/api/readers")).json();
    const body = $("readers-table").tBodies[0];
    body.textContent = "";
    const select = $("f-reader");
    const chosen = select.value;
    select.length = 1;
    for (const r of list) {
      const tr = document.createElement("tr");
      if (r.overdue) { tr.className = "overdue"; tr.title = "not collected within " + Math.round(r.interval / 60) + " min"; }
      cell(tr, r.name);
      cell(tr, r.port);
      cell(tr, r.firmware);
      cell(tr, when(r.lastCollected));
      cell(tr, r.outcome);
      cell(tr, r.punches, "num");
      const drift = r.drift === null ? "" : (r.drift > 0 ? "+" : "") + r.drift + " s";
      cell(tr, drift, "num" + (r.driftWarning ? " warn" : ""));
      body.appendChild(tr);
      const o = document.createElement("option");
      o.value = r.name;
      o.textContent = r.name;
      select.appendChild(o);
    }
    select.value = chosen;
  }

  function punchQuery() {
    const q = new URLSearchParams();
    for (const [k, id] of [["reader", "f-reader"], ["card", "f-card"], ["from", "f-from"], ["until", "f-until"]]) {
      const v = $(id).value.trim();
      if (v) q.set(k, v);
    }
    q.set("page", String(page));
    return q;
  }

  async function loadPunches() {
    const data = await (await api("GET", "/api/punches?" + punchQuery())).json();
    const body = $("punches-table").tBodies[0];
    body.textContent = "";
    // A card's punches of a day in one row: the server sends them together.
    let last = null;
    for (const p of data.punches) {
      const key = p.day + "\u0000" + p.card + "\u0000" + p.reader;
      if (!last || last.key !== key) {
        const tr = document.createElement("tr");
        cell(tr, p.day || "(no date)");
        cell(tr, p.card);
        const times = cell(tr, "", "times");
        cell(tr, p.reader);
        body.appendChild(tr);
        last = { key, times };
      }
      const s = document.createElement("span");
      s.textContent = p.time.substring(11) + (p.event ? " (" + p.event + ")" : "");
      last.times.appendChild(s);
    }
    if (!data.punches.length) {
      const tr = document.createElement("tr");
      cell(tr, "No punches match.").colSpan = 4;
      body.appendChild(tr);
    }
    $("page-no").textContent = "Page " + data.page;
    $("prev").disabled = data.page <= 1;
    $("next").disabled = !data.more;
  }

  async function loadHistory() {
    const target = $("e-target").value.trim();
    if (!target) return;
    const data = await (await api("GET", "/api/exports?target=" + encodeURIComponent(target))).json();
    const body = $("history-table").tBodies[0];
    body.textContent = "";
    for (const h of data.history) {
      const tr = document.createElement("tr");
      cell(tr, when(h.at));
      cell(tr, h.format);
      cell(tr, h.punches, "num");
      body.appendChild(tr);
    }
    if (!data.history.length) {
      const tr = document.createElement("tr");
      cell(tr, data.lastExport ? "Last export: " + data.lastExport + " UTC" : "No export to this target yet.").colSpan = 3;
      body.appendChild(tr);
    }
  }

  async function runExport() {
    const target = $("e-target").value.trim();
    const format = $("e-format").value;
    const r = await api("POST", "/api/export?target=" + encodeURIComponent(target) + "&format=" + format);
    const n = r.headers.get("X-Lorvane-Punches") || "0";
    if (r.status === 204) {
      say("Nothing new for " + target + ".");
    } else {
      const blob = await r.blob();
      const a = document.createElement("a");
      a.href = URL.createObjectURL(blob);
      a.download = target + "." + format;
      document.body.appendChild(a);
      a.click();
      a.remove();
      say(n + " punches exported to " + target + ".");
    }
    await loadHistory();
  }

  async function loadCollect() {
    const data = await (await api("GET", "/api/collect")).json();
    $("c-run").disabled = !data.available || data.running || role !== "operator";
    $("c-state").textContent = !data.available ? "Collecting needs serve --readers FILE."
      : data.running ? "Round " + data.round + " running…"
      : data.round ? "Round " + data.round + " ended " + when(data.ended) + "." : "";
    const body = $("collect-table").tBodies[0];
    body.textContent = "";
    for (const r of data.readers) {
      const tr = document.createElement("tr");
      tr.dataset.state = r.state;
      cell(tr, r.name);
      cell(tr, r.state);
      cell(tr, r.text);
      body.appendChild(tr);
    }
    clearTimeout(collectTimer);
    if (data.running) collectTimer = setTimeout(() => loadCollect().catch((e) => say(e.message, true)), 700);
  }

  function showLogin() {
    for (const s of document.querySelectorAll("main > section")) s.hidden = s.id !== "login";
  }

  async function show() {
    const name = (location.hash || "#readers").substring(1);
    const known = ["readers", "punches", "exports", "collect"];
    const current = known.includes(name) ? name : "readers";
    if (!role) { showLogin(); return; }
    for (const s of document.querySelectorAll("main > section")) s.hidden = s.id !== current;
    for (const a of document.querySelectorAll("nav a")) a.classList.toggle("active", a.id === "nav-" + current);
    try {
      if (current === "readers") await loadReaders();
      if (current === "punches") { if (!$("f-reader").length || $("f-reader").length === 1) await loadReaders(); await loadPunches(); }
      if (current === "exports") await loadHistory();
      if (current === "collect") await loadCollect();
    } catch (e) { say(e.message, true); }
  }

  async function session() {
    const data = await (await api("GET", "/api/csrf")).json();
    token = data.token;
    role = data.role;
    $("who").textContent = role ? "Signed in: " + role : "";
    $("logout").hidden = !(data.users && role);
    for (const b of document.querySelectorAll(".operator")) b.disabled = role !== "operator";
  }

  async function start() {
    $("punch-filter").addEventListener("submit", (e) => { e.preventDefault(); page = 1; say(""); loadPunches().catch((x) => say(x.message, true)); });
    $("prev").addEventListener("click", () => { if (page > 1) { page--; loadPunches().catch((x) => say(x.message, true)); } });
    $("next").addEventListener("click", () => { page++; loadPunches().catch((x) => say(x.message, true)); });
    $("export-form").addEventListener("submit", (e) => { e.preventDefault(); say(""); runExport().catch((x) => say(x.message, true)); });
    $("e-history").addEventListener("click", () => loadHistory().catch((x) => say(x.message, true)));
    $("c-run").addEventListener("click", async () => {
      try { await api("POST", "/api/collect"); await loadCollect(); } catch (e) { say(e.message, true); }
    });
    $("login-form").addEventListener("submit", async (e) => {
      e.preventDefault();
      const r = await fetch("/api/login", {
        method: "POST", credentials: "same-origin",
        headers: { "X-CSRF-Token": token, "Content-Type": "application/json" },
        body: JSON.stringify({ user: $("login-user").value, password: $("login-password").value }),
      });
      $("login-password").value = "";
      if (!r.ok) { say((await r.json()).error, true); return; }
      say("");
      await session();
      await show();
    });
    $("logout").addEventListener("click", async () => {
      await api("POST", "/api/logout").catch(() => {});
      await session();
      showLogin();
    });
    window.addEventListener("hashchange", show);
    try { await session(); } catch (e) { say(e.message, true); return; }
    await show();
  }
  start();
})();
