// The main page's dashboard: what the encoder reports in its status file (/cgi-bin/status.cgi), read
// once a second (with the WebRTC server's viewers and WHIP output in it, and handed to the live
// picture of whep.js), its preview picture every 2 s while there is no live picture, and its log on
// demand; and the "Apply and restart"
// action, which asks for the restart through the settings program's reboot button and waits until the
// box streams again. Every field of the status may be missing and unknown outputs or fields are shown
// as they come, so a newer or older encoder never breaks the page.
(function () {
  "use strict";

  var STALE_S = 5;          // a status older than this is no answer
  var RESTART_LIMIT_S = 90; // how long a restart may take before the page says it did not come back

  function num(v) {
    return typeof v === "number" && isFinite(v);
  }

  // Age of the status in seconds by the box's own clock: the web server's Date header against the
  // time the encoder wrote into the file. null when either is missing.
  function statusAge(status, dateHeader) {
    var served = dateHeader ? Date.parse(dateHeader) : NaN;
    if (!status || !num(status.time) || isNaN(served)) {
      return null;
    }
    // The header has whole seconds: a status written after that second began is not from the future.
    return Math.max(0, served / 1000 - status.time);
  }

  function formatRate(kbps) {
    if (!num(kbps)) {
      return "";
    }
    return kbps >= 1000 ? (kbps / 1000).toFixed(2) + " Mbit/s" : kbps.toFixed(0) + " kbit/s";
  }

  function formatBytes(n) {
    if (!num(n)) {
      return "";
    }
    var units = ["B", "KiB", "MiB", "GiB", "TiB"];
    var i = 0;
    while (n >= 1024 && i < units.length - 1) {
      n /= 1024;
      i++;
    }
    return (i === 0 ? n.toFixed(0) : n.toFixed(1)) + " " + units[i];
  }

  function formatDuration(s) {
    if (!num(s)) {
      return "";
    }
    s = Math.floor(s);
    var d = Math.floor(s / 86400);
    var h = Math.floor((s % 86400) / 3600);
    var m = Math.floor((s % 3600) / 60);
    var parts = [];
    if (d) { parts.push(d + " d"); }
    if (d || h) { parts.push(h + " h"); }
    if (d || h || m) { parts.push(m + " min"); }
    parts.push((s % 60) + " s");
    return parts.join(" ");
  }

  function size(o) {
    return num(o.width) && num(o.height) ? o.width + "\u00d7" + o.height : "";
  }

  function joined(parts) {
    return parts.filter(function (p) { return p !== ""; }).join(" \u00b7 ");
  }

  function inputLine(input) {
    if (!input) {
      return "unknown";
    }
    if (input.signal === false) {
      return "no signal";
    }
    return joined([size(input), num(input.fps) ? input.fps.toFixed(1) + " fps" : "",
                   num(input.standard) ? "standard " + input.standard : ""]) || "signal";
  }

  function streamLine(name, s) {
    if (!s || typeof s !== "object") {
      return name + " unknown";
    }
    if (s.on === false) {
      return name + " off";
    }
    return name + " " + joined([size(s), num(s.fps) ? s.fps.toFixed(1) + " fps" : "", formatRate(s.kbps),
                                num(s.dropped) && s.dropped > 0 ? s.dropped + " dropped" : "",
                                num(s.idr_age_s) ? "key frame " + s.idr_age_s.toFixed(1) + " s ago" : ""]);
  }

  var STREAM_NAMES = { main: "Main", second: "Second" };

  // Fields every output has, and those of known kinds that are worded below; any other plain field
  // of an output is listed as it comes.
  var WORDED = ["kind", "name", "target", "state", "kbps", "bytes", "dropped", "error", "error_time",
                "clients", "reconnects", "retry_in_s", "file_bytes", "free_bytes", "destination",
                "retransmitted", "connections"];
  var STATES = { ok: "ok", waiting: "waiting", error: "error", off: "off" };

  function outputRow(o, now) {
    var details = [];
    if (num(o.clients)) { details.push(o.clients + (o.clients === 1 ? " client" : " clients")); }
    if (num(o.bytes)) { details.push(formatBytes(o.bytes) + " sent"); }
    if (num(o.file_bytes)) { details.push("file " + formatBytes(o.file_bytes)); }
    if (num(o.free_bytes)) { details.push(formatBytes(o.free_bytes) + " free"); }
    if (num(o.dropped) && o.dropped > 0) { details.push(o.dropped + " dropped"); }
    if (num(o.reconnects) && o.reconnects > 0) { details.push(o.reconnects + " reconnects"); }
    // An output between tries of its connection says when it tries again.
    if (num(o.retry_in_s)) { details.push("next try in " + o.retry_in_s.toFixed(1) + " s"); }
    if (num(o.retransmitted) && o.retransmitted > 0) { details.push(o.retransmitted + " retransmitted"); }
    // An SRT output's connections, each with what its peer's link is like.
    (Array.isArray(o.connections) ? o.connections : []).forEach(function (c) {
      if (c && typeof c === "object") {
        var link = [num(c.rtt_ms) ? "RTT " + c.rtt_ms.toFixed(1) + " ms" : "",
                    num(c.send_kbps) ? formatRate(c.send_kbps) : "",
                    num(c.retransmitted) ? c.retransmitted + " retransmitted" : "",
                    num(c.dropped) ? c.dropped + " dropped" : ""].filter(function (p) { return p !== ""; });
        details.push((typeof c.peer === "string" ? c.peer : "peer") + (link.length ? " (" + link.join(", ") + ")" : ""));
      }
    });
    Object.keys(o).forEach(function (k) {
      var v = o[k];
      if (WORDED.indexOf(k) < 0 && (typeof v === "string" || num(v) || typeof v === "boolean")) {
        details.push(k.replace(/_/g, " ") + " " + v);
      }
    });
    var error = typeof o.error === "string" ? o.error : "";
    if (error && num(o.error_time) && o.error_time > 0 && num(now)) {
      error += " (" + formatDuration(Math.max(0, now - o.error_time)) + " ago)";
    }
    var state = typeof o.state === "string" ? o.state : "";
    return {
      kind: typeof o.kind === "string" ? o.kind : "output",
      name: typeof o.name === "string" && o.name ? o.name : (typeof o.kind === "string" ? o.kind : "output"),
      target: typeof o.target === "string" ? o.target : "",
      state: state || "unknown",
      cls: STATES[state] || "unknown",
      rate: formatRate(o.kbps),
      details: details.join(" \u00b7 "),
      error: error
    };
  }

  // A viewer of the WebRTC server's live picture, as an output row of its own.
  var VIEWER_STATES = { connected: "ok", connecting: "waiting", failed: "error" };
  function viewerRow(v) {
    var state = typeof v.state === "string" ? v.state : "";
    return {
      kind: "webrtc",
      name: "WebRTC viewer" + (typeof v.stream === "string" && v.stream !== "main" ? " (" + v.stream + ")" : ""),
      target: typeof v.address === "string" ? v.address : "",
      state: state || "unknown",
      cls: VIEWER_STATES[state] || "unknown",
      rate: formatRate(v.bitrate_kbps),
      details: joined([num(v.rtt_ms) ? "RTT " + v.rtt_ms.toFixed(1) + " ms" : "",
                       num(v.packets_lost) ? v.packets_lost + " packets lost" : "",
                       num(v.connected_s) ? "connected for " + formatDuration(v.connected_s) : ""]),
      error: ""
    };
  }

  // The WebRTC server's part of the outputs: its viewers and its WHIP output; the server itself only
  // when it reports an error (off is said by the live picture's line).
  function webrtcRows(w, now) {
    if (!w || typeof w !== "object") {
      return [];
    }
    var rows = [];
    if (w.state === "error") {
      rows.push({ kind: "webrtc", name: "WebRTC server", target: "", state: "error", cls: "error", rate: "",
                  details: "", error: typeof w.error === "string" ? w.error : "" });
    }
    (Array.isArray(w.viewers) ? w.viewers : []).forEach(function (v) {
      if (v && typeof v === "object") {
        rows.push(viewerRow(v));
      }
    });
    if (w.whip && typeof w.whip === "object") {
      var whip = outputRow(w.whip, now);
      whip.kind = "whip";
      rows.push(whip);
    }
    return rows;
  }

  // Outputs of one kind that all wait or are off (no error to see) make one folded row: a box with
  // eleven idle TCP slots shows one line for them. A kind with anything else shows its rows.
  var KIND_LABELS = { tcp: "TCP slots", udp: "UDP outputs", http: "HTTP outputs", fifo: "RTSP hand-offs",
                      rtmp: "RTMP destinations", srt: "SRT outputs", recorder: "Recorders", whip: "WHIP outputs" };
  function foldIdle(rows) {
    var kinds = [];
    var byKind = {};
    rows.forEach(function (r) {
      if (!byKind[r.kind]) {
        byKind[r.kind] = [];
        kinds.push(r.kind);
      }
      byKind[r.kind].push(r);
    });
    return kinds.map(function (k) {
      var list = byKind[k];
      var idle = list.every(function (r) { return r.cls === "waiting" || r.cls === "off"; });
      var folded = idle && list.length > 1;
      return {
        kind: k,
        folded: folded,
        summary: folded ? (KIND_LABELS[k] || k + " outputs") + ": 0 of " + list.length + " in use" : "",
        rows: list
      };
    });
  }

  // A level as the width of its bar: -60 dBFS and below empty, 0 dBFS full.
  function levelPercent(db) {
    return num(db) ? Math.max(0, Math.min(100, (db + 60) / 60 * 100)) : 0;
  }

  function levelRow(l, i) {
    l = l || {};
    var db = function (v) { return num(v) ? v.toFixed(1) + " dBFS" : "\u2013"; };
    return {
      channel: i,
      label: ["L", "R"][i] || "Ch " + (i + 1),
      peakPct: levelPercent(l.peak_dbfs),
      rmsPct: levelPercent(l.rms_dbfs),
      text: "peak " + db(l.peak_dbfs) + ", RMS " + db(l.rms_dbfs)
    };
  }

  // What the dashboard shows for one status document.
  function dashModel(status) {
    status = status || {};
    var streams = status.streams && typeof status.streams === "object" ? status.streams : {};
    var audio = status.audio && typeof status.audio === "object" ? status.audio : null;
    var outputs = Array.isArray(status.outputs) ? status.outputs : [];
    var levels = audio && audio.on !== false && Array.isArray(audio.levels) ? audio.levels : [];
    var rows = outputs.filter(function (o) { return o && typeof o === "object"; }).map(function (o) {
      return outputRow(o, status.time);
    }).concat(webrtcRows(status.webrtc, status.time));
    return {
      input: inputLine(status.input),
      streams: Object.keys(streams).map(function (k) {
        return streamLine(STREAM_NAMES[k] || k, streams[k]);
      }).join("; "),
      audio: !audio ? "unknown" : audio.on === false ? "off" :
        joined([typeof audio.codec === "string" ? audio.codec.toUpperCase() : "",
                num(audio.rate) ? audio.rate + " Hz" : "", formatRate(audio.kbps)]) || "on",
      outputs: rows,
      groups: foldIdle(rows),
      levels: levels.map(levelRow),
      uptime: joined([num(status.uptime_s) ? "up " + formatDuration(status.uptime_s) : "",
                      num(status.cpu_percent) ? "CPU " + status.cpu_percent.toFixed(0) + " %" : "",
                      typeof status.version === "string" ? "version " + status.version : ""])
    };
  }

  // The box streams again after a restart asked for `sinceClickS` seconds ago: a fresh status from
  // an encoder that started after the click (by its own uptime, so no two clocks are compared) with
  // the main stream moving. The encoder that was asked to restart keeps writing until it is gone, so
  // a fresh status alone proves nothing.
  function restartDone(status, age, sinceClickS) {
    var main = status && status.streams && status.streams.main;
    return !!main && num(main.fps) && main.fps > 0 && num(status.uptime_s) && status.uptime_s < sinceClickS &&
      (age === null || age <= STALE_S);
  }

  if (typeof module === "object" && module.exports) {
    module.exports = { statusAge: statusAge, dashModel: dashModel, restartDone: restartDone };
  }
  if (typeof document === "undefined" || !document.getElementById("dashboard")) {
    return;
  }

  var STATUS_URL = "/cgi-bin/status.cgi";
  var el = function (id) { return document.getElementById(id); };
  var offline = el("dash-offline");
  var restart = null;

  function setOffline(reason) {
    offline.hidden = reason === "";
    offline.textContent = reason === "" ? "" : "No answer from the box: " + reason;
  }

  function span(cls, text) {
    var s = document.createElement("span");
    s.className = cls;
    s.textContent = text;
    return s;
  }

  function outputItem(r) {
    var li = document.createElement("li");
    li.dataset.kind = r.kind;
    li.dataset.state = r.state;
    li.append(span("dash-state state-" + r.cls, r.state), span("dash-name", r.name),
              span("dash-target", r.target), span("dash-rate", r.rate));
    if (r.details) {
      li.append(span("dash-details", r.details));
    }
    if (r.error) {
      li.append(span("dash-error", r.error));
    }
    return li;
  }

  // Kinds the operator opened stay open across the redraws of each second.
  var opened = {};

  function renderOutputs(groups) {
    var list = el("dash-outputs");
    list.replaceChildren();
    if (groups.length === 0) {
      list.append(span("dash-none", "No outputs reported."));
    }
    groups.forEach(function (g) {
      if (!g.folded) {
        g.rows.forEach(function (r) { list.append(outputItem(r)); });
        return;
      }
      var li = document.createElement("li");
      li.className = "dash-fold";
      li.dataset.kind = g.kind;
      var box = document.createElement("details");
      box.open = !!opened[g.kind];
      var summary = document.createElement("summary");
      summary.append(span("dash-state state-waiting", "idle"), span("dash-name", g.summary));
      var inner = document.createElement("ul");
      inner.className = "dash-outputs";
      g.rows.forEach(function (r) { inner.append(outputItem(r)); });
      box.append(summary, inner);
      box.addEventListener("toggle", function () { opened[g.kind] = box.open; });
      li.append(box);
      list.append(li);
    });
  }

  function renderLevels(rows) {
    var box = el("dash-levels");
    box.replaceChildren();
    rows.forEach(function (r) {
      var row = document.createElement("div");
      row.className = "level";
      row.dataset.channel = String(r.channel);
      var bar = span("level-bar", "");
      var rms = span("level-rms", "");
      rms.style.width = r.rmsPct.toFixed(1) + "%";
      var peak = span("level-peak", "");
      peak.style.left = r.peakPct.toFixed(1) + "%";
      bar.append(rms, peak);
      bar.title = r.text;
      row.append(span("level-label", r.label), bar, span("level-text", r.text));
      box.append(row);
    });
  }

  function render(m) {
    el("dash-input").textContent = m.input;
    el("dash-streams").textContent = m.streams || "unknown";
    el("dash-audio").textContent = m.audio;
    el("dash-uptime").textContent = m.uptime || "unknown";
    renderOutputs(m.groups);
    renderLevels(m.levels);
  }

  function tick() {
    fetch(STATUS_URL, { cache: "no-store" })
      .then(function (response) {
        return response.text().then(function (text) {
          if (!response.ok) {
            throw new Error(text.split("\n")[0] || "HTTP " + response.status);
          }
          var status = JSON.parse(text);
          var age = statusAge(status, response.headers.get("Date"));
          render(dashModel(status));
          if (window.encoderLive) {
            window.encoderLive.onStatus(status);
          }
          if (window.encoderHls) {
            window.encoderHls.onStatus(status);
          }
          if (age !== null && age > STALE_S) {
            setOffline("its status is " + Math.round(age) + " s old (is the encoder running?)");
          } else {
            setOffline("");
          }
          watchRestart(status, age);
        });
      })
      .catch(function (err) {
        setOffline(err instanceof SyntaxError ? "its status is unreadable" : err.message);
        watchRestart(null, null);
      })
      .finally(function () {
        setTimeout(tick, 1000);
      });
  }

  // --- Preview: a new picture every 2 s, the next asked for only once the last has come; none
  // while a live picture plays in its place (whep.js, or hlsplay.js where WebRTC is off or failed). ---

  var preview = el("dash-preview");
  var previewState = el("dash-preview-state");
  var previewWaiting = false;
  function nextPreview() {
    if ((window.encoderLive && window.encoderLive.playing()) || (window.encoderHls && window.encoderHls.playing())) {
      previewWaiting = true;
      return;
    }
    preview.src = STATUS_URL + "?what=jpeg&t=" + Date.now();
  }
  document.addEventListener("encoder-live", function (ev) {
    preview.hidden = ev.detail.playing;
    if (!ev.detail.playing && previewWaiting) {
      previewWaiting = false;
      nextPreview();
    }
  });
  preview.addEventListener("load", function () {
    preview.classList.remove("missing");
    previewState.textContent = "";
    setTimeout(nextPreview, 2000);
  });
  preview.addEventListener("error", function () {
    preview.classList.add("missing");
    previewState.textContent = "No preview picture.";
    setTimeout(nextPreview, 2000);
  });

  // --- Log: read when opened, and again with its button. ---

  var log = el("dash-log");
  var logText = el("dash-log-text");
  function loadLog() {
    logText.textContent = "Reading the log\u2026";
    fetch(STATUS_URL + "?what=log", { cache: "no-store" })
      .then(function (response) {
        return response.text().then(function (text) {
          logText.textContent = text || (response.ok ? "The log is empty." : "HTTP " + response.status);
          logText.scrollTop = logText.scrollHeight;
        });
      })
      .catch(function (err) {
        logText.textContent = "The log could not be read (" + err.message + ").";
      });
  }
  log.addEventListener("toggle", function () {
    if (log.open) {
      loadLog();
    }
  });
  el("dash-log-reload").addEventListener("click", loadLog);

  // --- Apply and restart ---

  var button = el("apply-restart");
  var progress = el("restart-progress");

  function sayProgress(text, cls) {
    progress.hidden = false;
    progress.className = cls || "";
    progress.textContent = text;
  }

  function endRestart(text, cls) {
    restart = null;
    button.disabled = false;
    sayProgress(text, cls);
  }

  function watchRestart(status, age) {
    if (!restart) {
      return;
    }
    var since = (performance.now() - restart.start) / 1000;
    if (restartDone(status, age, since)) {
      endRestart("The box streams again (after " + Math.round(since) + " s). Reading the values it now uses\u2026",
                 "restart-done");
      window.encoderValues.reload().then(function (ok) {
        sayProgress(ok ? "The box streams again after " + Math.round(since) + " s; the fields show the values it uses."
                       : "The box streams again, but its values could not be read: reload the page.",
                    ok ? "restart-done" : "restart-failed");
      });
      return;
    }
    if (since > RESTART_LIMIT_S) {
      endRestart("The box has not come back streaming within " + RESTART_LIMIT_S + " s. Check its power, network " +
                 "and input, and its log; the fields may not show what it uses.", "restart-failed");
      return;
    }
    var what = !status ? "no answer from the box yet" :
      status.uptime_s >= since ? "the encoder has not restarted yet" : "the encoder is starting";
    sayProgress("Restarting\u2026 " + Math.round(since) + " s (" + what + ").", "restart-waiting");
  }

  button.addEventListener("click", function (ev) {
    ev.preventDefault();
    if (restart || !window.confirm(button.dataset.confirm)) {
      return;
    }
    button.disabled = true;
    sayProgress("Asking the box to restart\u2026", "restart-waiting");
    // The clock runs from the click: an encoder started after it is a restarted one.
    restart = { start: performance.now() };
    var body = new URLSearchParams();
    body.append(button.name, button.value);
    fetch(button.form.action, { method: "POST", body: body, cache: "no-store" })
      .then(function (response) {
        return response.text().then(function (text) {
          if (!response.ok || text.indexOf("reboot now") < 0) {
            endRestart("The box refused the restart: " + (text.trim() || "HTTP " + response.status), "restart-failed");
          }
        });
      })
      .catch(function () {
        // A box going down may drop the answer to the very request that took it down: keep watching.
      });
  });

  tick();
  nextPreview();
})();
