// The bridge over WebView2's message channel (window.chrome.webview): a call goes out as
// {id, op, args}; the native side answers with {id, ok, result} or {id, ok: false, error}
// posted back as JSON. Answers may come in any order, as the calls run on threads of their own.
export function webviewChannel(webview, makeError = (msg) => new Error(msg)) {
  const pending = new Map();
  let next = 1;
  webview.addEventListener('message', (ev) => {
    const m = ev?.data;
    if (!m || typeof m !== 'object' || !Number.isSafeInteger(m.id)) return;
    const waiter = pending.get(m.id);
    if (!waiter) return;
    pending.delete(m.id);
    if (m.ok === true) waiter.resolve(m.result);
    else waiter.reject(makeError(String(m.error ?? 'no answer')));
  });
  return {
    call(op, args) {
      const id = next++;
      return new Promise((resolve, reject) => {
        pending.set(id, { resolve, reject });
        try {
          webview.postMessage({ id, op, args });
        } catch (e) {
          pending.delete(id);
          reject(makeError(String(e?.message ?? e)));
        }
      });
    },
    get waiting() {
      return pending.size;
    },
  };
}
