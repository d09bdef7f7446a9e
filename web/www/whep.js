// The dashboard's live picture: the page's own WHEP client of the box's main stream (/whep/main, same
// origin, so the session cookie goes with it), with the JPEG preview as the fallback whenever the live
// picture is off, refused or fails; one line under the picture says which and why. The status that
// dash.js reads each second is handed in here (its "webrtc" member), so no request of its own asks
// whether the WebRTC server runs.
//
// The latency shown runs from a frame's capture to its display, the median over the last second. The
// capture time comes from the browser where it gives one (requestVideoFrameCallback's captureTime,
// which Chromium gives only with the abs-capture-time header extension) or from the picture itself:
// the encoder's virtual capture draws it as a row of black and white blocks (the wall clock's
// milliseconds, low 32 bits), which the page reads back from the frame it shows; the box and the
// browser must then share a clock (one machine, or NTP). Where neither is there, the page says so
// rather than guess.
(function () {
  "use strict";

  var GATHER_MS = 2000;    // the offer goes with what ICE gathered by then
  var FIRST_FRAME_MS = 5000;
  var RETRY_MS = 15000;    // after a refusal or a failure, before the next try
  var LATENCY_WINDOW_MS = 1000;
  var REPORTS_MS = 5000;   // how long frames may come without a capture time before it is said to be missing
  var MARK_BITS = 32;
  var MARK_MARGIN = 16;

  // Whether to try the live picture for this status and the page's WebRTC switch; "" when so,
  // otherwise the line that says why the JPEG is shown.
  function liveOff(status, switchedOff) {
    var w = status && typeof status === "object" ? status.webrtc : null;
    if (switchedOff) {
      return "Live picture off in the settings: the preview picture is shown.";
    }
    if (!w || typeof w !== "object" || w.state === "off") {
      return "Live picture off (the WebRTC server is not running): the preview picture is shown.";
    }
    if (w.state !== "ok") {
      return "Live picture unavailable (" + (typeof w.error === "string" && w.error ? w.error : "WebRTC server " +
        String(w.state)) + "): the preview picture is shown.";
    }
    return "";
  }

  // The median of the samples ({t, ms}) of the last window before `now`; null without one.
  function medianLatency(samples, now) {
    var recent = samples.filter(function (s) { return s.t > now - LATENCY_WINDOW_MS && s.t <= now; })
      .map(function (s) { return s.ms; }).sort(function (a, b) { return a - b; });
    if (recent.length === 0) {
      return null;
    }
    var mid = Math.floor(recent.length / 2);
    return recent.length % 2 ? recent[mid] : (recent[mid - 1] + recent[mid]) / 2;
  }

  function latencyLine(ms, measured) {
    if (!measured) {
      return "latency: not measured (no capture time from this browser or in the picture)";
    }
    return ms === null ? "latency \u2026" : "latency " + Math.max(0, Math.round(ms)) + " ms";
  }

  // The block size of the capture-time row in a picture this wide.
  function markBlock(width) {
    return width >= 2 * MARK_MARGIN + (MARK_BITS + 4) * 16 ? 16 : 8;
  }

  // The capture time's low 32 bits of milliseconds read from the RGBA pixels of the picture's top
  // left corner (`stride` pixels a row, at least the row's width and MARK_MARGIN + 2 rows of blocks
  // deep), or null when the picture carries none: a white and a black block, the 32 bits, a black
  // and a white block, each read from the inner half of its block.
  function captureMark(rgba, stride, bs) {
    var y0 = 2 * MARK_MARGIN + bs;
    function level(i) {
      var sum = 0;
      var n = 0;
      for (var y = y0 + bs / 4; y < y0 + 3 * bs / 4; y++) {
        for (var x = MARK_MARGIN + i * bs + bs / 4; x < MARK_MARGIN + i * bs + 3 * bs / 4; x++) {
          var o = (y * stride + x) * 4;
          sum += 0.299 * rgba[o] + 0.587 * rgba[o + 1] + 0.114 * rgba[o + 2];
          n++;
        }
      }
      var mean = sum / n;
      return mean >= 176 ? 1 : mean <= 80 ? 0 : -1;
    }
    if (level(0) !== 1 || level(1) !== 0 || level(MARK_BITS + 2) !== 0 || level(MARK_BITS + 3) !== 1) {
      return null;
    }
    var value = 0;
    for (var b = 0; b < MARK_BITS; b++) {
      var bit = level(2 + b);
      if (bit < 0) {
        return null;
      }
      value = value * 2 + bit;
    }
    return value;
  }

  // Milliseconds from the marked capture time to `wallMs` (the page's wall clock), across the wrap
  // of the 32 bits.
  function sinceMark(mark, wallMs) {
    var d = (wallMs % 4294967296) - mark;
    return d < -2147483648 ? d + 4294967296 : d;
  }

  // The line of a refused offer: the program's one line, else the status.
  function refusedLine(httpStatus, text) {
    var line = String(text || "").split("\n")[0].trim();
    return "Live picture refused (" + (line || "HTTP " + httpStatus) + "): the preview picture is shown.";
  }

  if (typeof module === "object" && module.exports) {
    module.exports = { liveOff: liveOff, medianLatency: medianLatency, latencyLine: latencyLine,
                       refusedLine: refusedLine, markBlock: markBlock, captureMark: captureMark, sinceMark: sinceMark };
  }
  if (typeof window === "object") {
    // The capture mark's reader, for a tester or a benchmark that reads frames of its own.
    window.encoderWhep = { markBlock: markBlock, captureMark: captureMark, sinceMark: sinceMark };
  }
  if (typeof document === "undefined" || !document.getElementById("dash-live")) {
    return;
  }

  var video = document.getElementById("dash-live");
  var unmute = document.getElementById("dash-unmute");
  var latency = document.getElementById("dash-latency");
  var line = document.getElementById("dash-live-state");
  var switchOff = document.getElementById("webrtc_enable-male");

  var session = null;  // {pc, location, timer, ended}
  var retryAt = 0;     // performance.now() before which no new try starts
  var samples = [];
  var playing = false;

  function say(text) {
    line.textContent = text;
  }

  function showLive(on) {
    playing = on;
    video.hidden = !on;
    unmute.hidden = !on;
    latency.hidden = !on;
    document.dispatchEvent(new CustomEvent("encoder-live", { detail: { playing: on } }));
  }

  function endSession(s) {
    if (!s || s.ended) {
      return;
    }
    s.ended = true;
    clearTimeout(s.timer);
    try {
      s.pc.close();
    } catch (e) {
      // already closed
    }
    if (s.location) {
      fetch(s.location, { method: "DELETE", keepalive: true, cache: "no-store" }).catch(function () {});
    }
  }

  // The live picture given up: the JPEG again, the reason said, and a pause before the next try.
  function fallBack(s, why) {
    if (s !== session) {
      return;
    }
    endSession(s);
    session = null;
    video.srcObject = null;
    showLive(false);
    say(why);
    retryAt = performance.now() + RETRY_MS;
  }

  function gathered(pc) {
    if (pc.iceGatheringState === "complete") {
      return Promise.resolve();
    }
    return new Promise(function (resolve) {
      var timer = setTimeout(resolve, GATHER_MS);
      pc.addEventListener("icegatheringstatechange", function () {
        if (pc.iceGatheringState === "complete") {
          clearTimeout(timer);
          resolve();
        }
      });
    });
  }

  function firstFrame(s) {
    if (!playing && !s.ended) {
      clearTimeout(s.timer);
      showLive(true);
      say("Live picture (WebRTC).");
    }
  }

  // The capture mark of the frame on show: only the corner that holds it is drawn and read.
  var markCanvas = null;
  function markOf(meta) {
    var width = meta && meta.width ? meta.width : video.videoWidth;
    if (!width) {
      return null;
    }
    var bs = markBlock(width);
    var w = 2 * MARK_MARGIN + (MARK_BITS + 4) * bs;
    var h = 2 * MARK_MARGIN + 2 * bs;
    if (markCanvas === null) {
      markCanvas = document.createElement("canvas");
    }
    markCanvas.width = w;
    markCanvas.height = h;
    var cx = markCanvas.getContext("2d", { willReadFrequently: true });
    cx.drawImage(video, 0, 0, w, h, 0, 0, w, h);
    return captureMark(cx.getImageData(0, 0, w, h).data, w, bs);
  }

  function watchFrames(s) {
    if (typeof video.requestVideoFrameCallback !== "function") {
      latency.textContent = latencyLine(null, false);
      video.addEventListener("loadeddata", function () { firstFrame(s); }, { once: true });
      return;
    }
    // The sender's reports that captureTime comes from take a few seconds to arrive: only a browser
    // that gave none for that long is said not to measure it.
    var measured = false;
    var firstAt = null;
    var onFrame = function (now, meta) {
      if (s.ended) {
        return;
      }
      firstFrame(s);
      firstAt = firstAt === null ? now : firstAt;
      // The capture time and the frame's display time, both on the page's own clock.
      var shown = meta && typeof meta.expectedDisplayTime === "number" ? meta.expectedDisplayTime : now;
      var ms = null;
      if (meta && typeof meta.captureTime === "number") {
        ms = shown - meta.captureTime;
      } else {
        var mark = markOf(meta);
        ms = mark === null ? null : sinceMark(mark, performance.timeOrigin + shown);
      }
      if (ms !== null) {
        samples.push({ t: now, ms: ms });
        samples = samples.filter(function (x) { return x.t > now - LATENCY_WINDOW_MS; });
        measured = true;
      }
      latency.textContent = latencyLine(medianLatency(samples, now), measured || now - firstAt < REPORTS_MS);
      video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
  }

  function start() {
    if (window.encoderHls) {
      window.encoderHls.yieldPicture(); // the WebRTC picture has the first claim on the element
    }
    var pc = new RTCPeerConnection();
    var s = { pc: pc, location: "", timer: 0, ended: false };
    session = s;
    // Where a tester (or a curious operator at the console) finds the connection's statistics.
    video.whepPeer = pc;
    samples = [];
    say("Connecting the live picture\u2026");
    pc.addTransceiver("video", { direction: "recvonly" });
    pc.addTransceiver("audio", { direction: "recvonly" });
    pc.addEventListener("track", function (ev) {
      if (!video.srcObject) {
        video.srcObject = ev.streams[0] || new MediaStream([ev.track]);
      } else if (!ev.streams[0]) {
        video.srcObject.addTrack(ev.track);
      }
    });
    pc.addEventListener("connectionstatechange", function () {
      if (pc.connectionState === "failed") {
        fallBack(s, "Live picture failed (the connection to the box failed): the preview picture is shown.");
      }
    });
    pc.createOffer()
      .then(function (offer) { return pc.setLocalDescription(offer); })
      .then(function () { return gathered(pc); })
      .then(function () {
        return fetch("/whep/main", { method: "POST", headers: { "Content-Type": "application/sdp" },
                                     body: pc.localDescription.sdp, cache: "no-store" });
      })
      .then(function (response) {
        return response.text().then(function (text) {
          if (response.status !== 201) {
            throw { refused: refusedLine(response.status, text) };
          }
          s.location = response.headers.get("Location") || "";
          if (s.ended) {
            endSession(s); // the page went away while the answer came: end it at once
            return null;
          }
          return pc.setRemoteDescription({ type: "answer", sdp: text });
        });
      })
      .then(function () {
        if (s.ended) {
          return;
        }
        s.timer = setTimeout(function () {
          fallBack(s, "Live picture failed (no picture within " + FIRST_FRAME_MS / 1000 + " s): the preview " +
                      "picture is shown.");
        }, FIRST_FRAME_MS);
        video.play().catch(function () {});
        watchFrames(s);
      })
      .catch(function (err) {
        fallBack(s, err && err.refused ? err.refused : "Live picture failed (" + (err && err.message ? err.message :
          "no answer") + "): the preview picture is shown.");
      });
  }

  // Each status of the dashboard: start the live picture when it may run, give it up when it may not.
  function onStatus(status) {
    var why = typeof RTCPeerConnection === "function" ? liveOff(status, !!(switchOff && switchOff.checked))
      : "This browser has no WebRTC: the preview picture is shown.";
    if (why) {
      if (session) {
        fallBack(session, why);
      } else if (!playing) {
        say(why);
      }
      retryAt = 0; // once it may run, it is tried at once
      return;
    }
    if (!session && performance.now() >= retryAt) {
      start();
    }
  }

  unmute.addEventListener("click", function () {
    video.muted = !video.muted;
    unmute.textContent = video.muted ? "Unmute" : "Mute";
    if (!video.muted) {
      video.play().catch(function () {});
    }
  });
  window.addEventListener("pagehide", function () {
    endSession(session);
    session = null;
  });

  window.encoderLive = {
    onStatus: onStatus,
    playing: function () { return playing; },
    // No session being tried or playing: the picture is free for another player (hlsplay.js).
    idle: function () { return !session && !playing; }
  };
})();
