// Preview only: checks of the page's behaviour against the stand-ins of
// shim.js, run in headless Chromium under virtual time. Writes one line per
// check ("PASS name" or "FAIL name: detail") into <pre id="preview-report">,
// which preview.py --check reads from the dumped document.
"use strict";

(() => {
  if (new URLSearchParams(location.search).get("check") !== "1") return;
  const p = window.__preview;
  const lines = [];
  const errors = [];
  const origError = console.error;
  console.error = (...args) => {
    errors.push(args.join(" "));
    origError.apply(console, args);
  };
  const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
  const $ = (id) => document.getElementById(id);
  const check = (name, ok, detail = "") => lines.push((ok ? "PASS " : "FAIL ") + name +
    (ok ? "" : ": " + detail));
  const eq = (name, got, want) => check(name, got === want,
    "got " + JSON.stringify(got) + ", want " + JSON.stringify(want));
  const calls = (name) => p.calls.filter((c) => c[0] === name);

  async function run() {
    // Document ready: window placed with room for the animation, shown.
    await sleep(700);
    const resize = calls("resizeWindow")[0];
    eq("window size", JSON.stringify(resize), JSON.stringify(["resizeWindow", 1483, 901]));
    eq("window centred", JSON.stringify(calls("moveWindow")[0]),
      JSON.stringify(["moveWindow", 218, 89]));
    check("body shown", document.body.classList.contains("shown"));
    eq("version check once", calls("LaunchVersionCheck").length, 1);
    eq("title is the caption", document.title, "Myrefall EU - www.kestrune.example");
    eq("login filled", $("launchgamelogin").value, "Aldric");
    check("checkbox filled", $("launchgameissave").checked);

    // Banners 1, 2, 3, 1.
    const order = [];
    const seen = new MutationObserver((records) => {
      for (const r of records) {
        if (r.target.classList.contains("shown")) order.push(r.target.id);
      }
    });
    seen.observe($("marketplace"), { subtree: true, attributeFilter: ["class"] });
    await sleep(4300 * 4);
    seen.disconnect();
    const rotation = order.slice(0, 4).join(",");
    check("banners rotate", rotation === "banner2,banner3,banner1,banner2" ||
      rotation === "banner1,banner2,banner3,banner1", order.join(","));
    const shownNow = $("marketplace").querySelectorAll(".banner.shown").length;
    check("at most one banner shown", shownNow <= 1, String(shownNow));

    // Progress bar.
    for (const [progress, want] of [[10000, 198], [-1, 0], [0, 0], [5000, 99]]) {
      p.status[2] = progress;
      await sleep(450);
      eq("progress " + progress, $("progressbar").value, want);
    }

    // Status line texts.
    for (const [key, value, want] of [
      ["CheckingFile", "\\bin32\\a.dll", "Checking files"],
      ["ApplicationReady", "", "The game is ready, press the Play button to launch it."],
      ["NoSuchKey", "", "NoSuchKey"],
      ["LoadingStatus", "$& $1", "Loading..."],
    ]) {
      p.status[0] = key;
      p.status[1] = value;
      await sleep(450);
      eq("status " + key, $("launchstatusmessage").textContent, want);
    }

    // Play stays disabled after a click until the launcher enables it again.
    p.buttons[1] = true;
    await sleep(300);
    check("play enabled", !$("launchgamebtn").disabled);
    $("launchgamebtn").click();
    await sleep(300);
    check("play disabled after click", $("launchgamebtn").disabled);
    const game = calls("LaunchGame")[0];
    eq("LaunchGame arguments", JSON.stringify(game),
      JSON.stringify(["LaunchGame", "Aldric", "secret", true]));
    await sleep(500);
    check("play still disabled", $("launchgamebtn").disabled);
    p.buttons[1] = false;
    await sleep(300);
    p.buttons[1] = true;
    await sleep(300);
    check("play enabled again", !$("launchgamebtn").disabled);

    // Repair: both the link and its item follow the flag.
    p.buttons[0] = false;
    await sleep(300);
    check("repair disabled", $("launchrepairbtn").disabled && $("launchrepairbtnli").disabled);
    $("launchrepairbtn").click();
    await sleep(50);
    eq("no repair while disabled", calls("LaunchRepair").length, 0);
    p.buttons[0] = true;
    await sleep(300);
    $("launchrepairbtn").click();
    await sleep(50);
    eq("repair started", calls("LaunchRepair").length, 1);

    // The remember label toggles the box.
    const before = $("launchgameissave").checked;
    $("launchgamesavelabel").click();
    eq("label toggles", $("launchgameissave").checked, !before);

    // A missing key in a label shows the key.
    const label = document.createElement("label");
    label.textContent = "NoSuchKey";
    $("play").append(label);
    Lang.retranslate();
    eq("label of a missing key", label.textContent, "NoSuchKey");
    label.text = "PlayBtnCaption";
    eq("label text sets the key", label.textContent, "PLAY");
    label.remove();
    eq("translate missing", Lang.translate("NoSuchKey"), undefined);
    eq("x is translate", Lang.x("ServerTime"), "Server time: %s");

    // Switching to Chinese.
    $("langchangecn").click();
    await sleep(400);
    eq("drop-down shows CN", document.querySelector("#dropdown > label").textContent, "CN");
    eq("window title is the Chinese caption", document.title,
      "\u8fc8\u5c14\u9668\u843d EU - www.kestrune.example");
    eq("lang attribute", document.documentElement.getAttribute("lang"), "cn");
    eq("language property", document.documentElement.language, "cn");
    eq("LangSave cn", JSON.stringify(calls("LangSave").at(-1)), JSON.stringify(["LangSave", "cn"]));
    eq("launcher data in cn", JSON.stringify(calls("launcherData").at(-1)),
      JSON.stringify(["launcherData", "cn"]));
    eq("play caption cn", $("launchgamebtn").textContent, "\u5f00\u51b2");

    // An unknown language changes nothing and names the missing link.
    let thrown = "";
    try {
      document.documentElement.language = "xx";
    } catch (e) {
      thrown = e.message;
    }
    eq("unknown language error", thrown, "link element for lang xx not found");
    eq("unknown language leaves lang", document.documentElement.getAttribute("lang"), "cn");

    // Back to English; then launcher data offline, malformed, and empty.
    $("langchangeen").click();
    await sleep(400);
    eq("back to English", document.querySelector("#dropdown > label").textContent, "ENG");
    for (const data of ["offline", "malformed"]) {
      p.data = data;
      LoadLauncherData();
      await sleep(300);
      eq(data + " time", $("servtime").textContent, "Server time: XX:XX");
      const font = $("servstatus").querySelector("font");
      check(data + " status red", font && font.getAttribute("color") === "#ff0000" &&
        font.textContent === "Offline", $("servstatus").innerHTML);
      eq(data + " leaves lists empty", $("last-news__content").children.length +
        $("last-update__content").children.length + $("marketplace").children.length, 0);
    }
    p.data = "none";
    const errorsBefore = errors.length;
    LoadLauncherData();
    await sleep(2000);
    eq("no banners: no errors", errors.slice(errorsBefore).join("|"), "");
    eq("no banners: status", $("servstatus").textContent, "Server status: Online");

    // Hostile fragments stay inert and inside their boxes.
    p.data = "hostile";
    LoadLauncherData();
    await sleep(1500);
    const boxes = ["last-update__content", "last-news__content", "marketplace", "servstatus"];
    const inserted = boxes.map((id) => $(id).innerHTML).join("");
    for (const bad of ["<script", "<iframe", "<form", "<input", "<style", "<svg", "onerror",
      "onclick", "javascript:", "style=", " for=", "id=\"launchgamebtn\""]) {
      check("hostile: no " + bad, !inserted.includes(bad), inserted);
    }
    eq("hostile: natives not called", calls("AppClose").length + calls("LaunchGame").length, 1);
    eq("hostile: one play button", document.querySelectorAll("#launchgamebtn").length, 1);

    // Close: shrink away, then close the window.
    // (Without frames, as here, no transition ends: the fallback closes.)
    OnCloseFinished(0);
    await sleep(100);
    check("close: body hidden", !document.body.classList.contains("shown"));
    eq("close: not before the animation", calls("closeWindow").length, 0);
    await sleep(1700);
    eq("close: window closed", calls("closeWindow").length, 1);
    OnCloseFinished(0);
    await sleep(1700);
    eq("close: only once", calls("closeWindow").length, 1);

    document.documentElement.insertAdjacentHTML("beforeend",
      "<pre id=\"preview-report\"></pre>");
    document.getElementById("preview-report").textContent = lines.join("\n") + "\nEND";
  }

  document.addEventListener("DOMContentLoaded", () => {
    run().catch((e) => {
      lines.push("FAIL checks stopped: " + e.message);
      document.documentElement.insertAdjacentHTML("beforeend", "<pre id=\"preview-report\"></pre>");
      document.getElementById("preview-report").textContent = lines.join("\n") + "\nEND";
    });
  });
})();
