// Preview only: stands in for the launcher's natives and the window's
// `Engine` object so the page can be looked at in a plain browser. The query
// string picks the scenario:
//   lang=en|ru|fr|cn          saved language
//   key=..&value=..&progress=N  status line and bar (-1..10000)
//   play=1 repair=1           button flags
//   data=good|none|offline|malformed|hostile   launcher data
//   hover=play|close|menu     nothing (hover is forced by the harness)
"use strict";

(() => {
  const q = new URLSearchParams(location.search);
  const base = location.origin;
  const calls = [];

  const status = [q.get("key") || "LoadingStatus", q.get("value") || "",
    Number(q.get("progress") ?? 0), q.get("speed") || "", q.get("size") || ""];
  const buttons = [q.get("repair") === "1", q.get("play") === "1", false, false];

  const banner = (n) =>
    `<div class="banner" id="banner${n}"><a href="https://www.kestrune.example/news/${n}">` +
    `<img src="${base}/preview-banner${n}.png" alt="Banner ${n}"></a></div>`;

  const samples = {
    good: {
      servertime: "18:42",
      serverstatus: "<font color=#5ecb52>Online</font>",
      lastupdates: [
        "<a href=\"https://www.kestrune.example/patch/212\">Patch 2.12: the Ashen Vale</a> <i>12.06</i>",
        "<a href=\"https://www.kestrune.example/patch/211\">Hotfix 2.11.3</a> <i>04.06</i>",
        "<a href=\"https://www.kestrune.example/patch/211\">Balance changes for duelists</a>",
      ],
      lastnews: [
        "<a href=\"https://www.kestrune.example/news/1\">Midsummer festival starts Friday</a>",
        "<a href=\"https://www.kestrune.example/news/2\">Server maintenance on Tuesday</a>",
        "<b>Guild wars</b>: season 4 standings",
      ],
      banners: [banner(1), banner(2), banner(3)],
    },
    none: { servertime: "18:42", serverstatus: "Online", lastupdates: [], lastnews: [], banners: [] },
    hostile: {
      servertime: "<img src=x onerror=alert(1)>",
      serverstatus: "<script>AppClose()</script><b onclick=\"AppClose()\">Online</b>",
      lastupdates: [
        "<iframe src=\"https://evil.example/\"></iframe>framed",
        "<a href=\"javascript:AppClose()\">js link</a>",
        "<form action=\"https://evil.example/\"><input name=x><button>go</button></form>",
        "<div style=\"position:fixed;inset:0;background:red\" id=\"launchgamebtn\">cover</div>",
      ],
      lastnews: ["<img src=x onerror=\"LaunchGame('a','b',true)\">",
        "<label for=\"launchgameissave\">toggle</label><style>body{display:none}</style>"],
      banners: ["<svg onload=alert(1)><circle r=5></circle></svg>"],
    },
  };

  const answer = (name, value) => async (...args) => {
    calls.push([name, ...args]);
    return value;
  };
  Object.assign(window, {
    LaunchVersionCheck: answer("LaunchVersionCheck", 0),
    LaunchUpdate: answer("LaunchUpdate", 0),
    LaunchRepair: answer("LaunchRepair", 0),
    LaunchGame: answer("LaunchGame", 0),
    LangSave: answer("LangSave", 0),
    AppClose: answer("AppClose", 0),
    GetAuthAndLangData: answer("GetAuthAndLangData",
      [q.get("login") || "Aldric", "secret", q.get("save") !== "0", q.get("lang") || "en"]),
    GetStatusMessages: async () => [...status],
    GetButtonsState: async () => [...buttons],
  });

  // Scenario state that checks.js may change while the page runs.
  const preview = { calls, status, buttons, data: q.get("data") || "good", samples };
  window.__preview = preview;
  window.Engine = Object.freeze({
    workArea: async () => ({ x: 0, y: 0, width: 1920, height: 1080 }),
    moveWindow: answer("moveWindow", undefined),
    resizeWindow: answer("resizeWindow", undefined),
    minimizeWindow: answer("minimizeWindow", undefined),
    closeWindow: answer("closeWindow", undefined),
    beginDrag: answer("beginDrag", undefined),
    launcherData: async (lang) => {
      calls.push(["launcherData", lang]);
      const data = preview.data;
      if (data === "offline") throw new Error("time-out");
      if (data === "malformed") return "({servertime: '1', serverstatus: alert(1)})";
      return "(" + JSON.stringify(samples[data]) + ")";
    },
  });
})();
