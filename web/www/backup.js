// The settings page's backup, restore and factory reset, all through the JSON API (/api/v1/) with the
// page's session: the backup is a download link; a restore sends the chosen file whole; a factory
// reset asks first. Each answer goes to the page's answer panel, every refused setting on a line.
(function () {
  "use strict";

  // The panel's text for an API answer: what changed, or each refusal with its reason.
  function describe(status, body) {
    if (body && body.refused && body.refused.length) {
      return "Refused, nothing changed:\n" + body.refused.map(function (r) {
        return r.name + ": " + r.reason;
      }).join("\n");
    }
    if (body && body.error) {
      return body.error;
    }
    if (body && body.changed) {
      var lines = body.changed.map(function (c) { return c.name + " (" + c.takes_effect + ")"; });
      return lines.length ? "Changed:\n" + lines.join("\n") : "Every setting already had the file's value.";
    }
    if (body && body.reset !== undefined) {
      return "Factory settings restored" + (body.kept_login ? ", the login kept" : ", the login too") +
        ". They take effect when the box restarts." + (body.problems ? "\n" + body.problems : "");
    }
    return "HTTP " + status;
  }

  if (typeof module === "object" && module.exports) {
    module.exports = { describe: describe };
  }
  if (typeof document === "undefined") {
    return;
  }

  var answer = document.getElementById("answer");
  var title = document.getElementById("answer-title");

  function show(heading, text, outcome) {
    if (!answer || !title) {
      return;
    }
    title.textContent = heading;
    title.className = "answer-" + outcome;
    answer.textContent = text;
  }

  function post(label, path, body) {
    show(label + " \u2026", "", "");
    return fetch("/api/v1/" + path, {
      method: "POST", body: body, cache: "no-store", headers: { "Content-Type": "application/json" }
    }).then(function (response) {
      return response.json().catch(function () { return null; }).then(function (json) {
        show(label, describe(response.status, json), response.ok ? "done" : "refused");
      });
    }).catch(function (err) {
      show(label + ": failed", "The appliance did not answer (" + err + ").", "failed");
    });
  }

  var restore = document.getElementById("restore-button");
  var file = document.getElementById("restore-file");
  if (restore && file) {
    restore.addEventListener("click", function () {
      if (!file.files.length) {
        show("Restore", "Choose a backup file first.", "refused");
        return;
      }
      file.files[0].text().then(function (text) { post("Restore", "restore", text); });
    });
  }
  var reset = document.getElementById("factory-button");
  var login = document.getElementById("factory-login");
  if (reset && login) {
    reset.addEventListener("click", function () {
      var keep = !login.checked;
      if (!window.confirm("Restore EVERY factory setting, the network address included" +
                          (keep ? "" : ", and the factory login") + "? You may have to reach the box at its " +
                          "factory address afterwards.")) {
        return;
      }
      post("Factory reset", "factory-reset", JSON.stringify({ keep_login: keep }));
    });
  }
})();
