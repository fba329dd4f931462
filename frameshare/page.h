// The page served at "/": the live image and a status panel fed by
// /status.json.
#pragma once

namespace frameshare {

constexpr const char* kPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>frameshare</title>
<style>
  body { margin: 0; font: 14px/1.4 system-ui, sans-serif; background: #16181d; color: #e4e6eb; }
  header { padding: 10px 16px; background: #20232a; font-weight: 600; }
  main { display: flex; flex-wrap: wrap; gap: 16px; padding: 16px; }
  #view { flex: 3 1 480px; }
  #live { width: 100%; background: #000; display: block; min-height: 120px; }
  aside { flex: 1 1 260px; background: #20232a; padding: 12px 16px; border-radius: 6px; }
  table { border-collapse: collapse; width: 100%; }
  td, th { text-align: left; padding: 2px 6px 2px 0; vertical-align: top; }
  th { color: #9aa0aa; font-weight: 400; }
  .publishing { color: #5fd47a; } .stalled, .no-frame-yet { color: #e6c84f; } .no-producer, .error { color: #f0645a; }
  h2 { font-size: 13px; color: #9aa0aa; margin: 14px 0 4px; font-weight: 400; }
</style>
</head>
<body>
<header>frameshare: live view</header>
<main>
  <div id="view"><img id="live" src="/stream.mjpg" alt="live camera frame"></div>
  <aside>
    <table>
      <tr><th>state</th><td id="state">?</td></tr>
      <tr><th>rate</th><td id="rate"></td></tr>
      <tr><th>frame</th><td id="frame"></td></tr>
      <tr><th>age</th><td id="age"></td></tr>
      <tr><th>taken at</th><td id="wall"></td></tr>
      <tr><th>shown</th><td id="decoded"></td></tr>
      <tr><th>viewers</th><td id="viewers"></td></tr>
    </table>
    <h2>colour consumers</h2><table id="color"></table>
    <h2>depth consumers</h2><table id="depth"></table>
  </aside>
</main>
<script>
const $ = (id) => document.getElementById(id);
const live = $("live");
live.addEventListener("error", () => {
  // The stream ended (server restart, too many viewers): try again shortly.
  setTimeout(() => { live.src = "/stream.mjpg?" + Date.now(); }, 2000);
});
function showDecoded() {
  $("decoded").textContent = live.naturalWidth > 0 ? live.naturalWidth + "x" + live.naturalHeight : "nothing yet";
}
live.addEventListener("load", showDecoded);
function table(element, slots) {
  const taken = (slots || []).filter((slot) => slot.occupied);
  element.replaceChildren();
  if (taken.length === 0) {
    element.insertRow().insertCell().textContent = "none";
    return;
  }
  for (const slot of taken) {
    const row = element.insertRow();
    row.insertCell().textContent = "slot " + slot.slot;
    row.insertCell().textContent = "pid " + slot.pid + (slot.alive ? "" : " (gone)");
    row.insertCell().textContent = "missed " + slot.missedChecks;
  }
}
async function refresh() {
  try {
    const status = await (await fetch("/status.json", { cache: "no-store" })).json();
    $("state").textContent = status.state;
    $("state").className = status.state.replace(/ /g, "-");
    $("rate").textContent = status.rate_fps.toFixed(1) + " frames/s";
    const frame = status.frame;
    $("frame").textContent = frame ? frame.width + "x" + frame.height + ", " + (frame.size / 1024).toFixed(0) + " KiB" : "none";
    $("age").textContent = frame ? frame.age_ms.toFixed(1) + " ms" : "";
    $("wall").textContent = frame ? frame.wall_time : "";
    $("viewers").textContent = status.server.viewers + " of " + status.server.max_viewers;
    table($("color"), status.consumers && status.consumers.color);
    table($("depth"), status.consumers && status.consumers.depth);
  } catch (e) {
    $("state").textContent = "server unreachable";
    $("state").className = "error";
  }
  showDecoded();
}
refresh();
setInterval(refresh, 1000);
</script>
</body>
</html>
)PAGE";

}  // namespace frameshare
