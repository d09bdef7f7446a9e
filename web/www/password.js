// While the factory password is in force, anyone who has read the manual can change this encoder:
// every page that holds an empty <div id="password-notice"></div> asks the settings program whether
// it still is and, if so, shows one notice with a form to choose a new password. The form is posted
// by this script alone (the pages' answer panel never shows it), and the fields are cleared after
// each try.
(function () {
  "use strict";

  var CGI = "/cgi-bin/settings.cgi";
  var MIN_LENGTH = 8;

  var box = document.getElementById("password-notice");
  if (!box) {
    return;
  }

  function element(tag, props, children) {
    var e = document.createElement(tag);
    Object.keys(props || {}).forEach(function (k) {
      if (k === "text") {
        e.textContent = props[k];
      } else {
        e.setAttribute(k, props[k]);
      }
    });
    (children || []).forEach(function (c) { e.appendChild(c); });
    return e;
  }

  function passwordField(name, label, autocomplete) {
    var input = element("input", { type: "password", name: name, autocomplete: autocomplete, required: "" });
    return element("label", { "class": "text" }, [document.createTextNode(label), input]);
  }

  function showNotice() {
    var answer = element("p", { "class": "note", role: "status" });
    var button = element("button", { name: "password_submit", value: "Change", text: "Change password" });
    var form = element("form", { "class": "row", action: CGI, method: "post" }, [
      passwordField("password_current", "Current password", "current-password"),
      passwordField("password_new", "New password", "new-password"),
      passwordField("password_again", "New password again", "new-password"),
      button
    ]);
    var section = element("section", { role: "alert" }, [
      element("h2", { text: "The factory password is still in force" }),
      element("p", { "class": "note", text: "Anyone who knows it can change this encoder. Choose a new password " +
        "of at least " + MIN_LENGTH + " characters: letters, digits and signs, no spaces; not a common password " +
        "nor the user name, not even with digits or signs added." }),
      form,
      answer
    ]);
    box.textContent = "";
    box.appendChild(section);

    form.addEventListener("submit", function (ev) {
      ev.preventDefault();
      ev.stopPropagation();
      var body = new URLSearchParams(new FormData(form));
      body.append("password_submit", "Change");
      form.reset();
      button.disabled = true;
      answer.textContent = "Changing the password …";
      fetch(CGI, { method: "POST", body: body, cache: "no-store" })
        .then(function (response) {
          return response.text().then(function (text) {
            if (response.ok && text.indexOf("password changed") === 0) {
              box.textContent = "";
              box.appendChild(element("section", { role: "status" }, [
                element("h2", { text: "Password changed" }),
                element("p", { "class": "note",
                  text: "The browser asks for the new password at the next request (user admin)." })
              ]));
              return;
            }
            answer.textContent = text.trim() || "The encoder answered HTTP " + response.status + ".";
          });
        })
        .catch(function (err) {
          answer.textContent = "The encoder did not answer (" + err + ").";
        })
        .finally(function () {
          button.disabled = false;
        });
    }, false);
  }

  fetch(CGI + "?password_state=1", { cache: "no-store" })
    .then(function (response) { return response.ok ? response.json() : null; })
    .then(function (state) {
      if (state && state.factory_password === true) {
        showNotice();
      }
    })
    .catch(function () {
      // Without an answer there is nothing to tell; the pages work as before.
    });
})();
