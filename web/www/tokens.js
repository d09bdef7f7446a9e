// The settings page's API tokens: the list that tokens.cgi answers to get=1, each token a row with its
// Revoke button. Making and revoking are forms of the page like the others: form.js posts them, asks
// before a revoke and shows the answer (a new token's secret with it) in the answer panel; after each
// answer the list is read again, so that it shows what the box holds.
(function () {
  "use strict";

  var CGI = "/cgi-bin/tokens.cgi";

  function when(seconds) {
    return seconds > 0 ? new Date(seconds * 1000).toLocaleString() : "never";
  }

  // One line for a token of the list: its name, scope, when it was made and last used.
  function describe(t) {
    return t.name + " \u2014 " + (t.scope === "write" ? "read and write" : "read only") +
      ", made " + when(t.created) + ", last used " + when(t.last_used);
  }

  if (typeof module === "object" && module.exports) {
    module.exports = { describe: describe };
  }
  if (typeof document === "undefined") {
    return;
  }

  var list = document.getElementById("token-list");
  var state = document.getElementById("token-state");
  if (!list || !state) {
    return;
  }

  function element(tag, props) {
    var e = document.createElement(tag);
    Object.keys(props).forEach(function (k) {
      if (k === "text") {
        e.textContent = props[k];
      } else {
        e.setAttribute(k, props[k]);
      }
    });
    return e;
  }

  function row(t) {
    var form = element("form", { "class": "row token", action: CGI, method: "post",
                                 "data-applies": "At once: the token opens nothing from now on." });
    form.dataset.token = t.id;
    form.append(element("span", { "class": "token-text", text: describe(t) }),
                element("input", { type: "hidden", name: "token_id", value: t.id }),
                element("button", { name: "token_revoke", value: "Revoke", "class": "secondary", text: "Revoke",
                                    "data-confirm": "Revoke the token " + t.name + "? Its client is refused from then on." }));
    return form;
  }

  function say(text) {
    state.textContent = text;
    state.hidden = text === "";
  }

  function load() {
    return fetch(CGI + "?get=1", { cache: "no-store" })
      .then(function (response) {
        if (!response.ok) {
          throw new Error("HTTP " + response.status);
        }
        return response.json();
      })
      .then(function (doc) {
        var tokens = (doc && doc.tokens) || [];
        list.textContent = "";
        tokens.forEach(function (t) { list.appendChild(row(t)); });
        say(tokens.length === 0 ? "No tokens: no software can use the box without the password." : "");
      })
      .catch(function (err) {
        say("The tokens could not be read (" + err.message + ").");
      });
  }

  document.addEventListener("encoder-answer", function (ev) {
    var form = ev.target;
    if (!(form instanceof HTMLFormElement) || form.getAttribute("action") !== CGI) {
      return;
    }
    // The secret is in the answer panel; the name is not needed again.
    if (ev.detail && ev.detail.outcome === "done" && form.elements.token_name) {
      form.elements.token_name.value = "";
    }
    load();
  });

  load();
})();
