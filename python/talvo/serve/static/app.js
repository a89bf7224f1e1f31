// The live view: frames from the WebSocket onto the canvas, each frame's audio slice scheduled
// with Web Audio to start exactly when that frame is shown, and the figures beside them. When
// the server delivers over WebRTC instead (hello.transport), a <video> element plays its stream
// and the figures come from getStats(); speech goes to the server on the WebSocket either way.
"use strict";

const HEADER_BYTES = 44; // protocol.FRAME_HEADER: <IHHBxHIIIddf
const SPEECH = 1, END_OF_SPEECH = 2;
const LEAD_MS = 80;      // frames are shown this long after the renderer's deadline reaches us
const MAX_DUE = 25;      // frames held for display at most (one second)

const $ = (id) => document.getElementById(id);
const canvas = $("face");
const ctx2d = canvas.getContext("2d");
let image = null;

const stats = { received: 0, speechFrames: 0, micChunks: 0, drawn: 0, droppedPage: 0, rebased: 0, lastFps: 0,
                drawTimes: [], latencies: [], session: null, speaking: false, refused: false,
                draining: false, worker: null };
window.talvoStats = stats; // read by the browser test

let ws = null;
let hello = null;
let audioCtx = null;
let nextAudioTime = 0;
let base = null;          // {perf, ts}: when a renderer timestamp is shown on our clock
const due = [];           // frames waiting for their display time, oldest first
const slack = [];         // how early the last frames arrived for their display time (ms)
let mic = null;
const voices = new Set();  // audio slices scheduled and not yet ended
let shownSpeech = 0;      // seconds of the current utterance's speech shown so far
let interrupting = false; // frames sent before the server's "interrupted" are of the cut utterance

function say(text, kind) {
  const el = $("message");
  el.textContent = text;
  el.className = "message" + (kind ? " " + kind : "");
}

function setSpeaking(on) {
  stats.speaking = on;
  $("speaking").textContent = $("rtc-speaking").textContent = on ? "yes" : "no";
  canvas.classList.toggle("speaking", on);
  video.classList.toggle("speaking", on);
  const ready = hello !== null && ws && ws.readyState === WebSocket.OPEN && !stats.draining;
  $("builtin").disabled = !ready || on;
  $("upload").disabled = !ready || on;
  $("mic").disabled = !ready || (on && mic === null) || !navigator.mediaDevices;
  $("interrupt").disabled = !ready || !on;
}

function ensureAudio() {
  if (audioCtx === null) {
    const Ctx = window.AudioContext || window.webkitAudioContext;
    if (Ctx) audioCtx = new Ctx();
  }
  if (audioCtx && audioCtx.state === "suspended") audioCtx.resume();
  if (pc !== null && video.paused) video.play().catch(() => {}); // sound needs a click in most browsers
}

function connect() {
  const scheme = location.protocol === "https:" ? "wss://" : "ws://";
  ws = new WebSocket(scheme + location.host + "/ws");
  ws.binaryType = "arraybuffer";
  ws.onmessage = (ev) => {
    if (typeof ev.data === "string") onText(JSON.parse(ev.data));
    else onFrame(ev.data);
  };
  ws.onclose = (ev) => {
    if (pc !== null) pc.close();
    const wasOpen = hello !== null;
    stopMic(false);
    hello = null;
    setSpeaking(false);
    if (stats.draining) {
      say("The server restarted this session. Reload to reconnect.", "refused");
    } else if (!stats.refused && !wasOpen) {
      // A server that is stopping refuses before the socket opens; it says why on /readyz.
      fetch("/readyz").then((r) => r.json()).then((j) => {
        say(j.message || "Could not connect (code " + ev.code + "). Reload to try again.", "refused");
      }).catch(() => say("Could not connect (code " + ev.code + "). Reload to try again.", "error"));
    } else if (!stats.refused) {
      say("Disconnected" + (ev.reason ? ": " + ev.reason : "") + " (code " + ev.code + "). Reload to reconnect.", "error");
    }
  };
}

function onText(msg) {
  switch (msg.type) {
    case "hello":
      hello = msg;
      canvas.width = msg.width;
      canvas.height = msg.height;
      image = ctx2d.createImageData(msg.width, msg.height);
      stats.session = msg.session;
      stats.worker = msg.worker;
      $("session").textContent = "#" + msg.session + " (" + msg.frame_wait + ", pid " + msg.worker + ")";
      say("Connected. Pick something for the avatar to say.");
      setSpeaking(false);
      if (msg.transport === "webrtc") startWebRTC(msg);
      break;
    case "webrtc_answer":
      pc.setRemoteDescription({ type: "answer", sdp: msg.sdp }).catch((e) => say("WebRTC: " + e.message, "error"));
      break;
    case "delivery":
      $("rtc-dropped-server").textContent = msg.dropped;
      if (msg.utterances > stats.utterances && mic === null) {
        // The stream plays a jitter buffer's delay behind what the server has sent.
        setTimeout(() => { setSpeaking(false); say("Done. Pick something else to say."); }, stats.rtc.jitterMs || 100);
      }
      stats.utterances = msg.utterances;
      break;
    case "refused":
      stats.refused = true;
      say(msg.message, "refused");
      break;
    case "draining":
      stats.draining = true;
      say("The server is restarting: what is being said may finish, then this session closes " +
          "(within " + msg.seconds + " s). Reload afterwards to reconnect.", "refused");
      setSpeaking(stats.speaking);  // the buttons stay off from now on
      break;
    case "speaking":
      setSpeaking(true);
      say("Speaking " + msg.source + (msg.seconds ? " (" + msg.seconds + " s)" : "") + ".");
      break;
    case "interrupted":
      interrupting = false;
      stats.interrupted = msg;
      break;
    case "error":
      say(msg.message, "error");
      if (mic === null) setSpeaking(false);
      break;
  }
}

function onFrame(buf) {
  const dv = new DataView(buf);
  const f = {
    index: dv.getUint32(0, true), width: dv.getUint16(4, true), height: dv.getUint16(6, true),
    flags: dv.getUint8(8), depth: dv.getUint16(10, true), rate: dv.getUint32(12, true),
    dropped: dv.getUint32(16, true), audioBytes: dv.getUint32(20, true),
    ts: dv.getFloat64(24, true), latency: dv.getFloat32(40, true),
  };
  const pixels = f.width * f.height * 3;
  f.rgb = new Uint8Array(buf, HEADER_BYTES, pixels);
  f.audio = f.audioBytes ? new Int16Array(buf.slice(HEADER_BYTES + pixels, HEADER_BYTES + pixels + f.audioBytes)) : null;
  stats.received++;
  if (interrupting && f.flags & SPEECH) return; // of the utterance just cut: never shown
  if (f.flags & SPEECH) stats.speechFrames++;
  stats.latencies.push(f.latency);
  if (stats.latencies.length > 25) stats.latencies.shift();
  $("depth").textContent = f.depth;
  $("dropped-server").textContent = f.dropped;

  // One clock for picture and sound: the renderer's timestamp, shifted by a fixed delay.
  const now = performance.now();
  let at = base === null ? -Infinity : base.perf + (f.ts - base.ts) * 1000;
  if (at < now) { // first frame, or this one came late: show frames later from now on
    if (base !== null) stats.rebased++;
    base = { perf: now + LEAD_MS, ts: f.ts };
    at = base.perf;
    nextAudioTime = 0;
    slack.length = 0;
  } else {
    // After a late frame the delay stays longer than needed; take the excess back when the
    // face is idle (no sound to cut), once a whole second of frames has shown it is not needed.
    slack.push(at - now);
    if (slack.length > 25) slack.shift();
    const spare = Math.min(...slack) - LEAD_MS;
    if (slack.length === 25 && spare > 40 && !f.audio && !stats.speaking) {
      base.perf -= spare;
      at -= spare;
      slack.length = 0;
    }
  }
  if (due.length) at = Math.max(at, due[due.length - 1].at); // never shown out of order
  f.at = at;
  $("buffer").textContent = Math.round(at - now) + " ms";
  if (f.audio) scheduleAudio(f, at - now);
  due.push(f);
  // A hidden tab gets no animation frames: keep the newest second, not the whole backlog.
  while (due.length > MAX_DUE) { due.shift(); stats.droppedPage++; }
  stats.pending = due.length;
  if (f.flags & END_OF_SPEECH && mic === null) {
    setTimeout(() => { setSpeaking(false); if (!stats.draining) say("Done. Pick something else to say."); }, Math.max(0, at - now));
  }
}

function scheduleAudio(f, inMs) {
  if (audioCtx === null || audioCtx.state !== "running" || !f.rate) return;
  let when = audioCtx.currentTime + inMs / 1000;
  // Back-to-back slices start where the previous one ended, so the sound has no clicks.
  if (Math.abs(when - nextAudioTime) < 0.02) when = nextAudioTime;
  if (when < audioCtx.currentTime) return;
  const buffer = audioCtx.createBuffer(1, f.audio.length, f.rate);
  const out = buffer.getChannelData(0);
  for (let i = 0; i < f.audio.length; i++) out[i] = f.audio[i] / 32768;
  const source = audioCtx.createBufferSource();
  source.buffer = buffer;
  source.connect(audioCtx.destination);
  source.start(when);
  voices.add(source);
  source.onended = () => voices.delete(source);
  nextAudioTime = when + buffer.duration;
}

function draw(f) {
  if (image === null || image.width !== f.width || image.height !== f.height) {
    canvas.width = f.width; canvas.height = f.height;
    image = ctx2d.createImageData(f.width, f.height);
  }
  const px = image.data, rgb = f.rgb;
  for (let i = 0, j = 0; i < rgb.length; i += 3, j += 4) {
    px[j] = rgb[i]; px[j + 1] = rgb[i + 1]; px[j + 2] = rgb[i + 2]; px[j + 3] = 255;
  }
  ctx2d.putImageData(image, 0, 0);
  stats.drawn++;
  if (f.flags & SPEECH && f.audio) shownSpeech += f.audio.length / f.rate;
  if (f.flags & END_OF_SPEECH) shownSpeech = 0;
  const now = performance.now();
  stats.drawTimes.push(now);
  while (stats.drawTimes.length && stats.drawTimes[0] < now - 2000) stats.drawTimes.shift();
}

function tick() {
  const now = performance.now();
  let latest = null;
  while (due.length && due[0].at <= now) {
    if (latest !== null) stats.droppedPage++; // two frames due in one paint: only the newer shows
    latest = due.shift();
  }
  if (latest !== null) draw(latest);
  requestAnimationFrame(tick);
}

function showFigures() {
  const t = stats.drawTimes;
  stats.lastFps = t.length > 1 ? (t.length - 1) * 1000 / (t[t.length - 1] - t[0]) : 0;
  if (t.length && t[t.length - 1] < performance.now() - 1000) stats.lastFps = 0;
  $("fps").textContent = stats.lastFps.toFixed(1);
  const l = stats.latencies.slice().sort((a, b) => a - b);
  $("latency").textContent = l.length ? l[l.length >> 1].toFixed(1) + " ms" : "–";
  $("frames").textContent = stats.drawn;
  $("dropped-page").textContent = stats.droppedPage;
}

// -- speaking -----------------------------------------------------------------------------------

$("builtin").onclick = () => {
  ensureAudio();
  setSpeaking(true);
  ws.send(JSON.stringify({ type: "builtin" }));
};

$("upload").onchange = async (ev) => {
  const file = ev.target.files[0];
  ev.target.value = "";
  if (!file) return;
  ensureAudio();
  if (file.size > hello.max_upload_bytes) {
    say(file.name + " is too large: " + file.size + " bytes (limit " + hello.max_upload_bytes + ").", "error");
    return;
  }
  setSpeaking(true);
  ws.send(JSON.stringify({ type: "upload", size: file.size, name: file.name }));
  ws.send(await file.arrayBuffer());
};

// Interrupting drops at once what the page holds of the utterance (its frames due, its sound
// scheduled) and tells the server, which drops the rest; idle frames carry on meanwhile.
$("interrupt").onclick = () => {
  stopMic(false);
  interrupting = true;
  for (let i = due.length - 1; i >= 0; i--) if (due[i].flags & SPEECH) due.splice(i, 1);
  voices.forEach((v) => { try { v.stop(); } catch (e) { /* already ended */ } });
  voices.clear();
  nextAudioTime = 0;
  stats.interruptedAfter = shownSpeech;
  say("Interrupted after " + shownSpeech.toFixed(1) + " s. Pick something else to say.");
  shownSpeech = 0;
  ws.send(JSON.stringify({ type: "interrupt" }));
  setSpeaking(false);
};

async function startMic() {
  ensureAudio();
  try {
    const stream = await navigator.mediaDevices.getUserMedia({ audio: { channelCount: 1, echoCancellation: true } });
    await audioCtx.audioWorklet.addModule("/static/mic-worklet.js");
    const source = audioCtx.createMediaStreamSource(stream);
    const node = new AudioWorkletNode(audioCtx, "talvo-mic");
    node.port.onmessage = (ev) => {
      stats.micChunks++;
      if (ws.readyState === WebSocket.OPEN) ws.send(ev.data);
    };
    ws.send(JSON.stringify({ type: "audio_start", sample_rate: audioCtx.sampleRate })); // before any chunk
    source.connect(node);
    node.connect(audioCtx.destination); // keeps the node pulled; its output is silence
    mic = { stream, source, node };
    $("mic").textContent = "Stop speaking";
    $("mic").classList.add("recording");
  } catch (e) {
    say("The microphone is not available here: " + e.message, "error");
  }
}

function stopMic(send) {
  if (mic === null) return;
  mic.source.disconnect();
  mic.node.disconnect();
  mic.stream.getTracks().forEach((t) => t.stop());
  mic = null;
  if (send && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ type: "audio_end" }));
  $("mic").textContent = "Speak into the microphone";
  $("mic").classList.remove("recording");
}

$("mic").onclick = () => { if (mic === null) startMic(); else stopMic(true); };
if (!navigator.mediaDevices) $("mic").title = "this browser offers no microphone on this page";

// -- WebRTC ---------------------------------------------------------------------------------------

const video = $("video");
let pc = null;
let lastStats = null;

async function startWebRTC(msg) {
  canvas.hidden = true;
  video.hidden = false;
  document.querySelector(".figures").hidden = true;
  $("rtc-figures").hidden = false;
  $("rtc-session").textContent = "#" + msg.session + " (" + msg.codec + ")";
  stats.rtc = { framesDecoded: 0 };
  stats.utterances = 0;
  pc = new RTCPeerConnection({ iceServers: msg.ice_servers });
  pc.addTransceiver("video", { direction: "recvonly" });
  pc.addTransceiver("audio", { direction: "recvonly" });
  pc.ontrack = (ev) => { // both tracks arrive in one stream: the browser keeps them in step
    if (video.srcObject !== ev.streams[0]) { video.srcObject = ev.streams[0]; video.play().catch(() => {}); }
  };
  pc.onconnectionstatechange = () => {
    if (pc.connectionState === "failed") say("The WebRTC connection failed.", "error");
  };
  await pc.setLocalDescription(await pc.createOffer());
  // The server takes one complete offer (no trickle): wait for every candidate, at most 3 s.
  await new Promise((done) => {
    if (pc.iceGatheringState === "complete") return done();
    pc.onicegatheringstatechange = () => { if (pc.iceGatheringState === "complete") done(); };
    setTimeout(done, 3000);
  });
  ws.send(JSON.stringify({ type: "webrtc_offer", sdp: pc.localDescription.sdp }));
  setInterval(rtcFigures, 500);
}

// The browser lines the two tracks up from the sender's reports, but leaves up to about 30 ms
// (more on a busy machine) uncorrected, nearly always with the picture ahead: hold the video
// back by what the figures show, in half steps (each figure is noisy), within 0-400 ms.
function keepInStep(offsetMs) {
  const receiver = pc.getReceivers().find((x) => x.track.kind === "video");
  if (!receiver || !("jitterBufferTarget" in receiver) || !Number.isFinite(offsetMs) || Math.abs(offsetMs) < 10) return;
  const target = Math.min(400, Math.max(0, (receiver.jitterBufferTarget || 0) + offsetMs / 2));
  receiver.jitterBufferTarget = target;
  stats.rtc.videoHoldMs = target;
}

async function rtcFigures() {
  if (pc === null || pc.connectionState === "closed") return;
  const found = {};
  (await pc.getStats()).forEach((s) => {
    if (s.type === "inbound-rtp") found[s.kind] = s;
    else if (s.type === "candidate-pair" && s.nominated && s.state === "succeeded") found.pair = s;
  });
  const v = found.video, a = found.audio, r = stats.rtc, now = performance.now();
  if (!v) return;
  const bytes = v.bytesReceived + (a ? a.bytesReceived : 0);
  if (lastStats !== null) {
    const dt = (now - lastStats.at) / 1000;
    r.fps = (v.framesDecoded - lastStats.decoded) / dt;
    r.kbps = (bytes - lastStats.bytes) * 8 / dt / 1000;
  }
  lastStats = { at: now, decoded: v.framesDecoded, bytes };
  r.framesDecoded = v.framesDecoded;
  r.framesDropped = v.framesDropped || 0;
  r.jitterMs = v.jitterBufferEmittedCount ? 1000 * v.jitterBufferDelay / v.jitterBufferEmittedCount : null;
  r.audioJitterMs = a && a.jitterBufferEmittedCount ? 1000 * a.jitterBufferDelay / a.jitterBufferEmittedCount : null;
  r.rttMs = found.pair && found.pair.currentRoundTripTime !== undefined ? 1000 * found.pair.currentRoundTripTime : null;
  r.audioPackets = a ? a.packetsReceived : 0;
  // When each track plays what it plays now, on the sender's clock: their difference is how far
  // the mouth is from its sound (positive: the picture is ahead).
  r.offsetMs = a && v.estimatedPlayoutTimestamp && a.estimatedPlayoutTimestamp
    ? v.estimatedPlayoutTimestamp - a.estimatedPlayoutTimestamp : null;
  keepInStep(r.offsetMs);
  const ms = (x) => (x === null || x === undefined ? "–" : x.toFixed(1) + " ms");
  $("rtc-fps").textContent = r.fps === undefined ? "–" : r.fps.toFixed(1);
  $("rtc-decoded").textContent = r.framesDecoded;
  $("rtc-dropped").textContent = r.framesDropped;
  $("rtc-jitter").textContent = r.jitterMs === null ? "–" : r.jitterMs.toFixed(0) + " / " + ms(r.audioJitterMs);
  $("rtc-rtt").textContent = ms(r.rttMs);
  $("rtc-bitrate").textContent = r.kbps === undefined ? "–" : Math.round(r.kbps) + " kbit/s";
  $("rtc-audio").textContent = r.audioPackets;
  $("rtc-offset").textContent = ms(r.offsetMs);
}

connect();
requestAnimationFrame(tick);
setInterval(showFigures, 250);
