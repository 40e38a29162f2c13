import { t } from './i18n.js';
import { fetchOutputPiece, outputStreams, outputWorkerSource } from './output_streams.js';
import { webviewChannel } from './webview_channel.js';

// The one road to the native side, whichever host shows the page:
//   desktop: window.webkit.messageHandlers.morvane.postMessage({op, args}) answers a promise;
//            the native side evaluates page calls in the page itself. On Windows (WebView2)
//            the same calls travel over window.chrome.webview (webview_channel.js).
//   browser: POST /bridge?token=..., page calls arrive on GET /events?token=... (server-sent).
const config = window.__MORVANE__ || {};
const params = new URLSearchParams(location.search);
const token = params.get('token') || '';
const webkitHandler = window.webkit?.messageHandlers?.morvane;
const webview = !webkitHandler && window.chrome?.webview;
const webviewBridge = webview ? webviewChannel(webview, (msg) => new BridgeError(msg)) : null;

export const hostKind =
  config.host || (webkitHandler || webview ? 'desktop' : location.protocol.startsWith('http') ? 'browser' : 'none');
const ops = new Set(config.ops || []);

// Whether the native side offers an operation (an unknown one answers an error).
export function hasOp(name) {
  return ops.has(name);
}

export class BridgeError extends Error {}

export async function call(op, ...args) {
  if (hostKind === 'desktop' && webviewBridge) return webviewBridge.call(op, args);
  if (hostKind === 'desktop') {
    try {
      return await webkitHandler.postMessage({ op, args });
    } catch (e) {
      throw new BridgeError(String(e?.message ?? e));
    }
  }
  if (hostKind === 'browser') {
    let res;
    try {
      res = await fetch(`/bridge?token=${encodeURIComponent(token)}`, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify({ op, args }),
        cache: 'no-store',
      });
    } catch (e) {
      throw new BridgeError(t('e.no_answer', { err: e.message }));
    }
    let body;
    try {
      body = await res.json();
    } catch {
      throw new BridgeError(`HTTP ${res.status}`);
    }
    if (!body.ok) throw new BridgeError(body.error || `HTTP ${res.status}`);
    return body.result;
  }
  throw new BridgeError(t('e.no_native'));
}

// The visible tab's output stream (output_streams.js): `send` takes its messages, `onMessage`
// gets the pieces. In the browser host it runs in a worker (the page's script may start
// workers from blob: URLs, nothing else); in the desktop window, or where a worker cannot
// start, on the page's thread.
export function openOutput(cfg, onMessage) {
  const here = () => {
    const fetchPiece = hostKind === 'browser'
      ? (tab, wait, min) => fetchOutputPiece('', token, tab, wait, min)
      : (tab, wait, min) => call('drain_terminal_piece', tab, 0, wait, min);
    return outputStreams(fetchPiece, (m) => queueMicrotask(() => onMessage(m)), cfg);
  };
  if (hostKind !== 'browser' || typeof Worker !== 'function') return here();
  let send = null;
  let heard = false;
  const last = new Map(); // each tab's last start or stop, for a worker that never ran
  try {
    const url = URL.createObjectURL(new Blob([outputWorkerSource(location.origin, token, cfg)], { type: 'text/javascript' }));
    const worker = new Worker(url);
    setTimeout(() => URL.revokeObjectURL(url), 60000);
    worker.onmessage = (e) => {
      heard = true;
      onMessage(e.data);
    };
    // A worker that could not start (a policy that forbids it) has asked for nothing yet:
    // its streams start again here.
    worker.onerror = (e) => {
      console.error('output worker', e.message);
      if (heard || send !== post) return;
      send = here();
      for (const m of last.values()) send(m);
    };
    const post = (m) => worker.postMessage(m);
    send = post;
  } catch (e) {
    console.warn('output worker', e);
    return here();
  }
  return (m) => {
    if (m.op !== 'parsed') last.set(m.tab, m);
    send(m);
  };
}

// Page calls the native side may make; nothing else is ever run.
const PAGE_FUNCTIONS = new Set(['setTerminalInfo', 'terminalConnected', 'xferOnEvent']);
const SCRIPT = /^(?:if\s*\(\s*window\.(\w+)\s*\)\s*)?(\w+)\(([\s\S]*)\)\s*;?\s*$/;

// Runs one page-call script such as `setTerminalInfo("1a2b3c4d", "text", false)` without
// eval: the arguments are JSON values separated by commas.
export function runPageScript(script) {
  const m = SCRIPT.exec(script.trim());
  if (!m || !PAGE_FUNCTIONS.has(m[2])) return false;
  const fn = window[m[2]];
  if (typeof fn !== 'function') return false;
  let args;
  try {
    args = JSON.parse(`[${m[3]}]`);
  } catch {
    return false;
  }
  fn(...args);
  return true;
}

// Browser host: page calls come as server-sent events. onState(connected) reports the link.
export function listen(onState) {
  if (hostKind !== 'browser') {
    onState?.(hostKind === 'desktop');
    return;
  }
  const es = new EventSource(`/events?token=${encodeURIComponent(token)}`);
  es.onopen = () => onState?.(true);
  es.onerror = () => onState?.(false);
  es.onmessage = (ev) => {
    try {
      runPageScript(ev.data);
    } catch (e) {
      console.error('page call failed', e);
    }
  };
}
