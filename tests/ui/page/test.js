// The test page's script: sizes the window, records what the launcher asks.
globalThis.pageReady = false;
globalThis.closeCalls = [];
globalThis.Echo = (...args) => args;
globalThis.Count = (...args) => args.length;
globalThis.Later = async (x) => { await new Promise((r) => setTimeout(r, 50)); return x * 2; };
globalThis.Fails = () => { throw new Error('no'); };
globalThis.OnCloseFinished = (closedelay) => {
  closeCalls.push(closedelay);
  if (globalThis.closeOnFinish) setTimeout(() => Engine.closeWindow(), 100);
  return closeCalls.length;
};
document.addEventListener('DOMContentLoaded', async () => {
  await Engine.resizeWindow(200, 120);
  const area = await Engine.workArea();
  await Engine.moveWindow(area.x + Math.floor((area.width - 200) / 2),
                          area.y + Math.floor((area.height - 120) / 2));
  globalThis.pageReady = true;
});
globalThis.IsReady = () => pageReady;
globalThis.CloseCalls = () => closeCalls;
globalThis.ReturnsDate = () => new Date(Date.UTC(2024, 0, 2, 3, 4, 5));
globalThis.ReturnsMap = () => ({a: 1, b: 'x', c: [true, null]});
globalThis.FetchText = async (url) => {
  try {
    const r = await fetch(url);
    return r.ok ? (r.headers.get('content-type') + ' ' + await r.text()) : 'HTTP ' + r.status;
  } catch (e) {
    return 'failed';
  }
};
globalThis.CallNative = async (name, ...args) => {
  try {
    return ['ok', await globalThis[name](...args)];
  } catch (e) {
    return ['rejected', e instanceof Error ? e.message : String(e)];
  }
};
