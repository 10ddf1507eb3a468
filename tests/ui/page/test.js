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
