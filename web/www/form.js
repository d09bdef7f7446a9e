// Sends a form to its CGI program without leaving the page and shows the plain-text answer in the
// page's answer panel. The pressed button travels with the form, as it would in a normal submit: the
// programs act on the buttons they find. Without script the forms still post and the browser shows
// the answer on its own.
(function () {
  "use strict";
  var answer = document.getElementById("answer");
  var title = document.getElementById("answer-title");

  function show(heading, text) {
    title.textContent = heading;
    answer.textContent = text;
    answer.scrollTop = 0;
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
    var body = new URLSearchParams();
    new FormData(form).forEach(function (value, name) {
      body.append(name, typeof value === "string" ? value : "");
    });
    if (button && button.name) {
      body.append(button.name, button.value || "");
    }
    var label = (button && button.textContent.trim()) || "Request";
    if (button) {
      button.disabled = true;
    }
    show(label + " …", "");
    fetch(form.action, { method: "POST", body: body, cache: "no-store" })
      .then(function (response) {
        return response.text().then(function (text) {
          if (!response.ok) {
            show(label + ": HTTP " + response.status, text);
          } else if (text === "") {
            show(label + ": no answer", "The program could not read the request.");
          } else {
            show(label, text);
          }
        });
      })
      .catch(function (err) {
        show(label + ": failed", "The appliance did not answer (" + err + ").");
      })
      .finally(function () {
        if (button) {
          button.disabled = false;
        }
      });
  });
})();
