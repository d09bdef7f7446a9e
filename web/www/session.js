// The pages' side of the login: a program that answers 401 means the session has ended (idle, logged
// out elsewhere, the password changed), so the page goes to the login page instead of showing a
// refusal; the header's log-out button ends the session. Loaded first by every page.
(function () {
  "use strict";
  if (typeof window === "undefined" || typeof window.fetch !== "function") {
    return;
  }
  var fetchAnswer = window.fetch.bind(window);
  window.fetch = function () {
    return fetchAnswer.apply(null, arguments).then(function (r) {
      if (r.status === 401) {
        window.location.assign("/login.html");
      }
      return r;
    });
  };
  document.addEventListener("DOMContentLoaded", function () {
    var nav = document.querySelector("header nav");
    if (!nav) {
      return;
    }
    var out = document.createElement("button");
    out.type = "button";
    out.id = "logout";
    out.textContent = "Log out";
    out.addEventListener("click", function () {
      var body = new URLSearchParams();
      body.append("logout_submit", "Log out");
      fetchAnswer("/cgi-bin/login.cgi", { method: "POST", body: body, cache: "no-store", credentials: "same-origin" })
        .finally(function () { window.location.assign("/login.html"); });
    });
    nav.appendChild(out);
  });
})();
