import { t } from './i18n.js';
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

// Browser host: a tab's output comes as plain text from GET /output, held by the host for
// up to `wait` seconds until there is some (no JSON to build or parse for bulk output).
export const canStreamOutput = hostKind === 'browser';
export async function fetchOutput(tabId, wait) {
  let res;
  try {
    res = await fetch(`/output?token=${encodeURIComponent(token)}&tab=${encodeURIComponent(tabId)}&wait=${wait}`, {
      cache: 'no-store',
    });
  } catch (e) {
    throw new BridgeError(t('e.no_answer', { err: e.message }));
  }
  if (!res.ok) throw new BridgeError(`HTTP ${res.status}`);
  return res.text();
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
