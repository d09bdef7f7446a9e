// Fills the page's fields with what the box holds. The page's program (data-values on <body>)
// answers a GET with get=1 as {"values": {field name: text or null}, "notes": {field name: line}},
// read with the same readers it writes with; a field answered null is left empty, and its note,
// shown under it, says why. After every answer the fields are read again (one change, such as the
// audio codec switch, may change many), except those edited and not yet sent: typing is never lost.
(function () {
  "use strict";

  // Sets the elements `byName(name)` gives (text inputs, outputs, radios, selects) to the answer's
  // values, for every field that `keep(name)` allows. Returns the notes to show, one per field
  // filled: [{name, text}] with "" where there is nothing to say.
  function fillValues(doc, byName, keep) {
    var values = (doc && doc.values) || {};
    var notes = (doc && doc.notes) || {};
    var shown = [];
    Object.keys(values).forEach(function (name) {
      if (!keep(name)) {
        return;
      }
      var els = byName(name);
      if (els.length === 0) {
        return;
      }
      var value = values[name];
      var text = value === null || value === undefined ? "" : String(value);
      var placed = value === null || value === undefined;
      els.forEach(function (el) {
        if (el.type === "radio") {
          el.checked = !placed && el.value === text;
          placed = placed || el.checked;
        } else if (el.tagName === "SELECT") {
          var has = Array.prototype.some.call(el.options, function (o) { return o.value === text; });
          if (has && text !== "") {
            el.value = text;
            placed = true;
          } else {
            el.selectedIndex = -1;
          }
        } else {
          el.value = text;
          placed = true;
        }
      });
      var note = typeof notes[name] === "string" ? notes[name] : "";
      if (!placed) {
        // A choice this page does not offer: nothing is shown as chosen, and the page says so.
        note = "The box holds \u201c" + text + "\u201d, which this page does not offer.";
      }
      shown.push({ name: name, text: note });
    });
    return shown;
  }

  if (typeof module === "object" && module.exports) {
    module.exports = { fillValues: fillValues };
  }
  if (typeof document === "undefined") {
    return;
  }

  var source = document.body.dataset.values;
  var state = document.getElementById("values-state");

  function byName(name) {
    return Array.prototype.filter.call(document.getElementsByName(name), function (el) {
      return el.tagName !== "BUTTON";
    });
  }

  // The note sits at the end of the field's form row, one per field.
  function placeNote(note) {
    var first = byName(note.name)[0];
    var row = first && first.closest("form");
    if (!row) {
      return;
    }
    var p = row.querySelector('p.field-note[data-note-for="' + note.name + '"]');
    if (!note.text) {
      if (p) {
        p.remove();
      }
      return;
    }
    if (!p) {
      p = document.createElement("p");
      p.className = "field-note";
      p.dataset.noteFor = note.name;
      row.appendChild(p);
    }
    p.textContent = note.text;
  }

  function say(text, failed) {
    if (!state) {
      return;
    }
    state.textContent = text;
    state.hidden = text === "";
    state.className = failed ? "values-failed" : "";
  }

  // Fields typed into or chosen and not sent since.
  var edited = {};
  document.addEventListener("input", function (ev) {
    if (ev.target.name) {
      edited[ev.target.name] = true;
    }
  });

  // Reads the values and fills every field not edited; `sent` (a form) has just been sent, so its
  // fields are filled whatever was typed. Resolves to true when the values were read.
  function reload(sent) {
    if (!source) {
      return Promise.resolve(false);
    }
    if (sent) {
      Array.prototype.forEach.call(sent.elements, function (el) {
        delete edited[el.name];
      });
    } else {
      say("Reading the current values\u2026", false);
    }
    return fetch(source + "?get=1", { cache: "no-store" })
      .then(function (response) {
        if (!response.ok) {
          throw new Error("HTTP " + response.status);
        }
        return response.json();
      })
      .then(function (doc) {
        fillValues(doc, byName, function (name) { return !edited[name]; }).forEach(placeNote);
        say("", false);
        return true;
      })
      .catch(function (err) {
        say("The current values could not be read (" + err.message + "); the fields may not show what the box uses.", true);
        return false;
      });
  }

  document.addEventListener("encoder-answer", function (ev) {
    reload(ev.target);
  });

  window.encoderValues = { reload: reload };
  reload();
})();
