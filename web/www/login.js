// The login page: the password goes to the login program, whose answer is shown; once it is taken
// the browser holds the session's cookie and goes to the page it came for (the main page).
(function () {
  "use strict";
  var form = document.getElementById("login");
  var said = document.getElementById("login-answer");
  form.addEventListener("submit", function (event) {
    event.preventDefault();
    var body = new URLSearchParams(new FormData(form));
    body.append("login_submit", "Log in");
    said.textContent = "";
    fetch(form.action, { method: "POST", body: body, cache: "no-store", credentials: "same-origin" })
      .then(function (r) {
        return r.text().then(function (text) { return { ok: r.ok, text: text }; });
      })
      .then(function (a) {
        if (a.ok) {
          window.location.replace("/");
        } else {
          said.textContent = a.text.trim();
        }
      })
      .catch(function () { said.textContent = "The box did not answer."; });
  });
})();
