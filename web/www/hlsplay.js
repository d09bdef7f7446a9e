// The dashboard's live picture by HLS, where the WebRTC one (whep.js) is off, refused or failed: the
// box's own /hls/main.m3u8 in the same video element, played by the browser itself where it plays HLS
// (Safari) and by hls.js (vendored by the build at /vendor/) where it has Media Source Extensions. The
// WebRTC picture keeps the first claim: it takes the element back whenever it tries again (whep.js
// calls yieldPicture first), and this player starts only while whep.js has no session. The line under
// the picture says why HLS plays, and the latency span how far behind the playlist's live edge it is.
// dash.js hands in each status; the HLS output's status object (kind "hls", name "main") says whether
// there is anything to play.
(function () {
  "use strict";

  var SOURCE = "/hls/main.m3u8";
  var RETRY_MS = 10000; // after a fatal error, before the next try

  // The playlist to play for this status: "" while the HLS output does not write the main stream.
  function hlsSource(status) {
    var outputs = status && typeof status === "object" && Array.isArray(status.outputs) ? status.outputs : [];
    for (var i = 0; i < outputs.length; i++) {
      var o = outputs[i];
      if (o && o.kind === "hls" && o.name === "main") {
        return o.state === "ok" ? SOURCE : "";
      }
    }
    return "";
  }

  // The line under the picture: the WebRTC line's reason, and that HLS plays in its place.
  function hlsLine(webrtcLine) {
    var why = String(webrtcLine || "").replace(/: the preview picture is shown\.$/, "").trim();
    return (why ? why + "; " : "") + "HLS plays instead (" + SOURCE + ").";
  }

  if (typeof module === "object" && module.exports) {
    module.exports = { hlsSource: hlsSource, hlsLine: hlsLine };
  }
  if (typeof document === "undefined" || !document.getElementById("dash-live")) {
    return;
  }

  var video = document.getElementById("dash-live");
  var unmute = document.getElementById("dash-unmute");
  var latency = document.getElementById("dash-latency");
  var line = document.getElementById("dash-live-state");

  var player = null;  // the hls.js instance, or true for the browser's own
  var playing = false;
  var retryAt = 0;
  var startedAt = 0;  // performance.now() at the start, for the first frame's line
  var webrtcWhy = ""; // whep.js's last line, which ours replaces while HLS plays
  var ours = "";
  var firstNote = "";  // how long the first picture took

  // The browser's own player where it is Safari's (or there is no Media Source for hls.js): Chromium
  // also answers "maybe" for HLS, and then plays nothing.
  function native() {
    var can = typeof video.canPlayType === "function" && video.canPlayType("application/vnd.apple.mpegurl") !== "";
    var Hls = window.Hls;
    return can && (navigator.vendor === "Apple Computer, Inc." || !(Hls && Hls.isSupported()));
  }

  function show(on) {
    playing = on;
    video.hidden = !on;
    unmute.hidden = !on;
    latency.hidden = !on;
    document.dispatchEvent(new CustomEvent("encoder-live", { detail: { playing: on } }));
  }

  function stop() {
    if (!player) {
      return;
    }
    if (player !== true) {
      player.destroy();
    } else {
      video.removeAttribute("src");
      video.load();
    }
    player = null;
    if (playing) {
      show(false);
    }
  }

  function failed(why) {
    stop();
    line.textContent = "HLS failed (" + why + "): the preview picture is shown.";
    retryAt = performance.now() + RETRY_MS;
  }

  function start() {
    var Hls = window.Hls;
    if (!native() && !(Hls && Hls.isSupported())) {
      return false;
    }
    startedAt = performance.now();
    video.srcObject = null;
    if (native()) {
      player = true;
      video.src = SOURCE;
    } else {
      // Close to the live edge: two segments behind it, as the playlist allows.
      // No worker: the pages' policy allows no blob: scripts.
      player = new Hls({ liveSyncDurationCount: 2, liveMaxLatencyDurationCount: 6, enableWorker: false,
                         backBufferLength: 10 });
      player.on(Hls.Events.ERROR, function (event, data) {
        if (data && data.fatal) {
          failed(data.details || data.type || "a fatal error");
        }
      });
      player.loadSource(SOURCE);
      player.attachMedia(video);
    }
    video.addEventListener("loadeddata", function () {
      if (player) {
        show(true);
        firstNote = " First picture after " + ((performance.now() - startedAt) / 1000).toFixed(1) + " s.";
        ours = hlsLine(webrtcWhy) + firstNote;
        line.textContent = ours;
      }
    }, { once: true });
    video.play().catch(function () {});
    return true;
  }

  // Each status of the dashboard, after whep.js has had it.
  function onStatus(status) {
    var live = window.encoderLive;
    var webrtcIdle = !live || live.idle();
    var source = hlsSource(status);
    if (line.textContent !== ours) {
      webrtcWhy = line.textContent; // whep.js said something new this second
      if (playing) {
        ours = hlsLine(webrtcWhy) + firstNote;
        line.textContent = ours;
      }
    }
    if (!webrtcIdle || !source) {
      stop();
      return;
    }
    if (player) {
      if (player !== true && playing && typeof player.latency === "number" && isFinite(player.latency)) {
        latency.textContent = "HLS, " + player.latency.toFixed(1) + " s behind live";
      }
      return;
    }
    if (performance.now() >= retryAt) {
      start();
    }
  }

  window.encoderHls = {
    onStatus: onStatus,
    playing: function () { return playing; },
    // The WebRTC picture is about to be tried: the element is its own again.
    yieldPicture: stop
  };
})();
