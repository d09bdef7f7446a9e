// Sends a form to its CGI program without leaving the page and shows the plain-text answer in the
// page's answer panel. The pressed button travels with the form, as it would in a normal submit: the
// programs act on the buttons they find. Without script the forms still post and the browser shows
// the answer on its own.
(function () {
  "use strict";

  // What the three programs print when they refuse a value or cannot store it. They answer 200 either
  // way, so an answer holding any of these changed less than was asked, whatever else it says.
  var REFUSALS = [
    "error len", "input empty", "Can't open file", "can not open file", "error open", "not rewritten",
    "nothing changed", "not changed", "recover failed", "set failed", "invalid or out of range"
  ];
  var REFUSAL_LINES = [
    /refused [A-Za-z0-9_]+: /, // a typed value failed its check
    /erro1?=-?[0-9]/,          // the subtitle text could not be converted
    /^error$/m                 // a store file the report reads is damaged
  ];

  function refused(text) {
    return REFUSALS.some(function (s) { return text.indexOf(s) >= 0; }) ||
      REFUSAL_LINES.some(function (re) { return re.test(text); });
  }

  // The panel's heading, text and outcome ("done", "refused" or "empty") for the program's answer.
  function readAnswer(label, status, text) {
    if (status < 200 || status > 299) {
      return { outcome: "refused", heading: label + ": refused (HTTP " + status + ")",
               text: text || "The web server answered HTTP " + status + " and nothing else." };
    }
    // The programs print nothing when the request held nothing they act on, such as a button sent
    // without a choice they know; the request itself was read.
    if (text === "") {
      return { outcome: "empty", heading: label + ": nothing to apply",
               text: "The program received the request and changed nothing: no value or choice it acts on was sent." };
    }
    if (refused(text)) {
      return { outcome: "refused", heading: label + ": refused", text: text };
    }
    return { outcome: "done", heading: label + ": done", text: text };
  }

  if (typeof module === "object" && module.exports) {
    module.exports = { readAnswer: readAnswer };
  }
  if (typeof document === "undefined") {
    return;
  }

  var answer = document.getElementById("answer");
  var title = document.getElementById("answer-title");
  var hint = document.getElementById("restart-hint");

  // The confirmation lines come last; a report printed before the change would show the old values,
  // so the panel opens at its end.
  function show(heading, text, outcome) {
    title.textContent = heading;
    title.className = outcome ? "answer-" + outcome : "";
    answer.textContent = text;
    answer.scrollTop = answer.scrollHeight;
  }

  // When a stored change takes effect: the form's data-applies says it ("" for a form that only
  // shows); without it, at the next start of the encoder.
  function showWhen(form, outcome) {
    if (!hint) {
      return;
    }
    hint.hidden = true;
    hint.textContent = "";
    if (outcome !== "done") {
      return;
    }
    var when = form.dataset.applies;
    if (when === undefined) {
      hint.append("Stored. It takes effect when the encoder restarts: ");
      var link = document.createElement("a");
      link.href = "index.html#apply-restart";
      link.textContent = "Apply and restart";
      hint.append(link, ".");
    } else if (when !== "") {
      hint.textContent = when;
    }
    hint.hidden = hint.textContent === "";
  }

  document.addEventListener("submit", function (ev) {
    var form = ev.target;
    if (!(form instanceof HTMLFormElement) || !answer) {
      return;
    }
    var button = ev.submitter || null;
    if (button && button.dataset.confirm && !window.confirm(button.dataset.confirm)) {
      ev.preventDefault();
      return;
    }
    ev.preventDefault();
    // A form with files goes as multipart, the way the browser would post it; the others as the
    // plain fields.
    var body;
    if (form.enctype === "multipart/form-data") {
      body = new FormData(form);
    } else {
      body = new URLSearchParams();
      new FormData(form).forEach(function (value, name) {
        body.append(name, typeof value === "string" ? value : "");
      });
    }
    if (button && button.name) {
      body.append(button.name, button.value || "");
    }
    var label = (button && button.textContent.trim()) || "Request";
    if (button) {
      button.disabled = true;
    }
    show(label + " …", "", "");
    showWhen(form, "");
    fetch(form.action, { method: "POST", body: body, cache: "no-store" })
      .then(function (response) {
        return response.text().then(function (text) {
          var a = readAnswer(label, response.status, text);
          show(a.heading, a.text, a.outcome);
          showWhen(form, a.outcome);
          // The fields of this form show again what is stored, whatever the answer was.
          form.dispatchEvent(new CustomEvent("encoder-answer", { bubbles: true, detail: { outcome: a.outcome } }));
        });
      })
      .catch(function (err) {
        show(label + ": failed", "The appliance did not answer (" + err + ").", "failed");
      })
      .finally(function () {
        if (button) {
          button.disabled = false;
        }
      });
  });
})();
