// The WebDriver commands' half that runs inside the page: one library, defined once per window
// object (and again after a navigation has replaced it), that every command script calls into.
//
// A command script is `<library>(op, args, frames, bridge)` (see command_script): the library resolves the
// browsing context the session has switched to (a path of frame element references from the top
// document), runs `op` there and answers one JSON object:
//     {"v": value}                  the command's value, already in the protocol's JSON forms
//     {"e": "error code", "m": msg} a protocol error ("no such element", "javascript error", ...)
//     {"p": token}                  a script whose promise has not settled yet: poll with op "poll"
//
// Element references. Every document gets a registry the first time a command touches it: an id
// for the document, a map from reference to element (or shadow root) and back. A reference is
// "<navigable id><document id>.<n>" (16 hex digits each): the navigable is the browsing context
// that showed the document (the top one, or a frame element's, named in its parent document's
// registry), so the same element keeps its reference while its document lives, and by its form
// alone a reference is known to be stale (a document this context has left behind: a navigation,
// a reload) or no element of this context at all (another frame's, or the top document's while a
// frame is current); one of this document answers stale once its element is no longer connected.
// The registry is a non-enumerable property of the document, held where the library runs: in a
// script world of our own where the engine has them (WebKitGTK), so that the page's own script
// cannot see or change it; in the page's world otherwise (WebView2's scripts run only there).
#pragma once

#include "pk.hpp"

#include <algorithm>
#include <string>
#include <string_view>

namespace pk::wd {
namespace nb = nanobind;

inline constexpr const char *kElementKey = "element-6066-11e4-a52e-4f735466cecf";
inline constexpr const char *kShadowKey = "shadow-6066-11e4-a52e-4f735466cecf";
inline constexpr const char *kWindowKey = "window-fcc6-11e5-b4f8-330a88ab9d7f";

// The window's one handle (the top window serialises as it in script results).
inline constexpr const char *kWindowHandle = "panekit-window";

// What the library and the page-world script share: the protocol's JSON forms of a script's
// arguments and value, and running a script body. It expects W (the window it runs in) and gives
// each function the way to name nodes: ref(node) is a node's reference, node(ref, shadow) the node
// a reference names (each raising the protocol's error when there is none).
inline constexpr const char *kScriptCore = R"JS(
var EL = 'element-6066-11e4-a52e-4f735466cecf', SH = 'shadow-6066-11e4-a52e-4f735466cecf',
    WIN = 'window-fcc6-11e5-b4f8-330a88ab9d7f', FRAME = 'frame-075b-4da1-b6ba-e579c2d3230a', HANDLE = 'panekit-window';
function Fail(code, message) { this.code = code; this.message = String(message); }
function fail(code, message) { throw new Fail(code, message); }
function hex() {
  var a = new Uint8Array(8), s = '';
  W.crypto.getRandomValues(a);
  for (var i = 0; i < a.length; i++) s += (a[i] + 256).toString(16).slice(1);
  return s;
}
function isWindow(v) {
  try { return typeof v === 'object' && v !== null && v.window === v; } catch (e) { return false; }
}
function isShadow(node) { return !!node && node.nodeType === 11 && 'host' in node && 'mode' in node; }
function docOf(node) { return node.nodeType === 9 ? node : node.ownerDocument; }
// JSON clone of a script's value (elements, shadow roots and the top window as references).
function clone(v, seen, win, ref) {
  if (v === undefined || v === null) return null;
  var t = typeof v;
  if (t === 'boolean' || t === 'number' || t === 'string') return v;
  if (t === 'bigint' || t === 'symbol') fail('javascript error', 'a ' + t + ' has no JSON form');
  if (v.nodeType === 1 && typeof v.tagName === 'string') {
    if (!v.isConnected) fail('stale element reference', 'the element is no longer in the document');
    var o = {}; o[EL] = ref(v); return o;
  }
  if (isShadow(v)) {
    if (!v.host.isConnected) fail('detached shadow root', 'the shadow root is no longer in the document');
    var s = {}; s[SH] = ref(v); return s;
  }
  if (v === W || v === W.top) { var w = {}; w[WIN] = HANDLE; return w; }
  if (isWindow(v)) {
    // A frame's window: named by its frame element's reference (a frame of another origin, whose
    // element cannot be reached from here, has no JSON form).
    var fe = null;
    try { fe = v.frameElement; } catch (e) { fe = null; }
    if (!fe) fail('javascript error', 'the window of a frame of another origin has no JSON form');
    var f = {}; f[FRAME] = ref(fe); return f;
  }
  if (typeof v.toJSON === 'function') return v.toJSON();
  if (seen.indexOf(v) >= 0) fail('javascript error', 'cyclic object value');
  seen.push(v);
  var out, collection = Array.isArray(v) || (typeof v.length === 'number' && t === 'object' &&
      (v instanceof win.NodeList || v instanceof win.HTMLCollection || Object.prototype.toString.call(v) === '[object Arguments]'));
  try {
    if (collection) {
      out = [];
      for (var i = 0; i < v.length; i++) out.push(clone(v[i], seen, win, ref));
    } else {
      out = {};
      for (var k in v) {
        var pv;
        try { pv = v[k]; } catch (e) { fail('javascript error', e && e.message || e); }
        out[k] = clone(pv, seen, win, ref);
      }
    }
  } finally { seen.pop(); }
  return out;
}
// The arguments of a script: references back to their nodes.
function revive(v, node) {
  if (v === null || typeof v !== 'object') return v;
  if (Array.isArray(v)) return v.map(function (x) { return revive(x, node); });
  if (Object.prototype.hasOwnProperty.call(v, EL)) return node(v[EL], false);
  if (Object.prototype.hasOwnProperty.call(v, SH)) return node(v[SH], true);
  if (Object.prototype.hasOwnProperty.call(v, WIN)) return W;
  if (Object.prototype.hasOwnProperty.call(v, FRAME)) {
    var fe = node(v[FRAME], false);
    if (!fe.contentWindow) fail('no such frame', 'the frame has gone');
    return fe.contentWindow;
  }
  var out = {};
  for (var k in v) out[k] = revive(v[k], node);
  return out;
}
function scriptError(e) {
  if (e instanceof Fail) return e;
  var m = e && e.message !== undefined ? (e.name ? e.name + ': ' : '') + e.message : String(e);
  return new Fail('javascript error', m);
}
function answerOf(e) {
  if (e instanceof Fail) return {e: e.code, m: e.message};
  return {e: 'javascript error', m: e && e.message || String(e)};
}
// Runs the script body a.script on a.args in `win`: {v: its value}, or {p: token} for a promise,
// whose outcome ({v: value} or {e, m}) park(promise) has arranged to keep under that token.
function run(a, win, node, ref, park) {
  var args = revive(a.args || [], node), fn, result;
  try { fn = new win.Function(a.script); }
  catch (e) { throw scriptError(e); }
  if (a.async) return {p: park(new win.Promise(function (resolve) { args.push(resolve); fn.apply(win, args); }))};
  try { result = fn.apply(win, args); } catch (e) { throw scriptError(e); }
  if (result && (typeof result === 'object' || typeof result === 'function') && typeof result.then === 'function')
    return {p: park(result)};
  return {v: clone(result, [], win, ref)};
}
// Calls keep(outcome) once the promise `p` has settled.
function settled(p, win, ref, keep) {
  var out = function (f) { var r; try { r = {v: f()}; } catch (e) { r = answerOf(scriptError(e)); } keep(r); };
  try {
    p.then(function (v) { out(function () { return clone(v, [], win, ref); }); },
           function (e) { out(function () { throw e; }); });
  } catch (e) { out(function () { throw e; }); }
}
)JS";

// The library (page_library()): an expression whose value, once called, is the function (op, args, frames, bridge).
// Where the engine has script worlds of its own, it runs in one (the page's script neither sees nor
// reaches it nor the registry) and `bridge` names the events through which the page-world script
// (page_world_script()) asks it for the nodes a script's arguments name and for the references of the
// nodes its value holds; elsewhere it runs in the page's world and `bridge` is empty.
inline constexpr const char *kLibraryOpen = R"JS((function () {
var W = window, KEY = '__panekit_wd';
if (!Object.prototype.hasOwnProperty.call(W, KEY)) {
)JS";
inline constexpr const char *kLibraryRest = R"JS(
  var REF = /^([0-9a-f]{16})([0-9a-f]{16})\.([0-9]+)$/, TOP = '0000000000000000';
  function registry(doc) {
    var r = doc[KEY];
    if (!r) {
      r = {nav: navigable(doc), doc: hex(), n: 0, byRef: new Map(), refOf: new WeakMap(), frames: new WeakMap()};
      r.id = r.nav + r.doc;
      Object.defineProperty(doc, KEY, {value: r, enumerable: false});
    }
    return r;
  }
  // The id of the browsing context showing `doc`: the one its frame element keeps in the parent
  // document's registry, else (the top document, or a frame that cannot see its parent's) the top one's.
  function navigable(doc) {
    var win = doc.defaultView, fe = null;
    try { fe = win && win.frameElement; } catch (e) { fe = null; }
    if (!fe) return TOP;
    var p = registry(fe.ownerDocument), id = p.frames.get(fe);
    if (!id) { id = hex(); p.frames.set(fe, id); }
    return id;
  }
  function refFor(node) {
    var r = registry(docOf(node)), ref = r.refOf.get(node);
    if (!ref) {
      ref = r.id + '.' + (++r.n);
      r.refOf.set(node, ref);
      r.byRef.set(ref, node);
    }
    return ref;
  }
  // The element (or shadow root) `ref` names in `doc`.
  function lookup(doc, ref, shadow) {
    if (typeof ref !== 'string') fail('invalid argument', 'a reference is a string');
    var m = REF.exec(ref), r = registry(doc);
    var none = shadow ? 'no such shadow root' : 'no such element';
    if (!m) fail(none, 'no ' + (shadow ? 'shadow root' : 'element') + ' has the reference ' + ref);
    if (m[1] !== r.nav)
      fail(none, 'the ' + (shadow ? 'shadow root' : 'element') + ' ' + ref + ' is not of this browsing context');
    if (m[2] !== r.doc)
      fail(shadow ? 'detached shadow root' : 'stale element reference',
           'the ' + (shadow ? 'shadow root' : 'element') + ' ' + ref + ' belongs to a document no longer shown here');
    var node = r.byRef.get(ref);
    if (!node || isShadow(node) !== !!shadow) fail(none, 'no ' + (shadow ? 'shadow root' : 'element') + ' has the reference ' + ref);
    var live = shadow ? node.host && node.host.isConnected : node.isConnected;
    if (!live)
      fail(shadow ? 'detached shadow root' : 'stale element reference',
           'the ' + (shadow ? 'shadow root' : 'element') + ' ' + ref + ' is no longer in the document');
    return node;
  }
  // The browsing context the session works in: the top window, then each frame of `frames`.
  function context(frames) {
    var win = W;
    for (var i = 0; i < (frames || []).length; i++) {
      var el;
      try { el = lookup(win.document, frames[i], false); } catch (e) { fail('no such frame', 'the frame is gone'); }
      var inner = el.contentWindow, doc = null;
      try { doc = inner && inner.document; } catch (e) { doc = null; }
      if (!doc) fail('no such frame', 'the frame cannot be reached (gone, or of another origin)');
      hook(inner);
      win = inner;
    }
    return win;
  }
  // ---- locating elements ----
  function displayed(el) {
    var win = docOf(el).defaultView;
    if (!el.isConnected) return false;
    var tag = el.localName;
    if (tag === 'option' || tag === 'optgroup') {
      var sel = el.closest('select,datalist');
      return sel ? displayed(sel) : true;
    }
    if (tag === 'input' && String(el.type).toLowerCase() === 'hidden') return false;
    if (tag === 'noscript') return false;
    for (var n = el; n && n.nodeType === 1; n = n.parentElement || (n.getRootNode && n.getRootNode().host)) {
      var cs = win.getComputedStyle(n);
      if (cs.display === 'none') return false;
      if (Number(cs.opacity) === 0 && tag !== 'img') return false;
    }
    var own = win.getComputedStyle(el);
    if (own.visibility === 'hidden' || own.visibility === 'collapse') return false;
    return hasArea(el, win);
  }
  function hasArea(el, win) {
    var rects = el.getClientRects();
    for (var i = 0; i < rects.length; i++) if (rects[i].width > 0 && rects[i].height > 0) return true;
    for (var c = el.firstElementChild; c; c = c.nextElementSibling) {
      var cs = win.getComputedStyle(c);
      if (cs.display !== 'none' && cs.visibility !== 'hidden' && hasArea(c, win)) return true;
    }
    return false;
  }
  function text(el) {
    if (!displayed(el)) return '';
    var t = hostsShadow(el) ? flatText(el, docOf(el).defaultView) : el.innerText;
    if (typeof t !== 'string') t = el.textContent || '';
    return t.replace(/\u00a0/g, ' ').replace(/[ \t]+\n/g, '\n').replace(/\n[ \t]+/g, '\n').replace(/^\s+|\s+$/g, '');
  }
  // The engine's innerText does not enter shadow trees: an element that holds one has its text
  // read from the tree as rendered (a host's shadow tree, a slot's assigned nodes or else its
  // fallback content), block boxes and line breaks as new lines, white space collapsed.
  function hostsShadow(el) {
    if (el.shadowRoot) return true;
    var all = el.querySelectorAll('*');
    for (var i = 0; i < all.length; i++) if (all[i].shadowRoot) return true;
    return false;
  }
  function flatText(el, win) {
    var out = '';
    (function walk(n) {
      if (n.nodeType === 3) { out += n.data.replace(/[ \t\n\r\f]+/g, ' '); return; }
      if (n.nodeType !== 1 && n.nodeType !== 11) return;
      var kids = n.childNodes, block = false;
      if (n.nodeType === 1) {
        var cs = win.getComputedStyle(n);
        if (cs.display === 'none' || cs.visibility === 'hidden') return;
        if (n.localName === 'br') { out += '\n'; return; }
        block = !/^inline/.test(cs.display) && cs.display !== 'contents';
        if (n.shadowRoot) kids = n.shadowRoot.childNodes;
        else if (n.localName === 'slot') {
          var assigned = n.assignedNodes({flatten: true});
          if (assigned.length) kids = assigned;
        }
      }
      if (block) out += '\n';
      for (var i = 0; i < kids.length; i++) walk(kids[i]);
      if (block) out += '\n';
    })(el);
    return out.replace(/ *\n */g, '\n').replace(/\n+/g, '\n').replace(/ +/g, ' ');
  }
  function find(start, using, value, win) {
    var doc = docOf(start), found = [];
    if (typeof value !== 'string') fail('invalid argument', 'the selector is not a string');
    if (using === 'css selector') {
      try { found = Array.prototype.slice.call(start.querySelectorAll(value)); }
      catch (e) { fail('invalid selector', 'not a valid CSS selector: ' + value); }
    } else if (using === 'tag name') {
      try { found = Array.prototype.slice.call(start.querySelectorAll(value)); }
      catch (e) { fail('invalid selector', 'not a valid tag name: ' + value); }
      var want = value.toLowerCase();
      found = found.filter(function (e) { return e.localName.toLowerCase() === want; });
    } else if (using === 'link text' || using === 'partial link text') {
      var links = start.querySelectorAll('a');
      for (var i = 0; i < links.length; i++) {
        var t = text(links[i]);
        if (using === 'link text' ? t === value : t.indexOf(value) >= 0) found.push(links[i]);
      }
    } else if (using === 'xpath') {
      var snap;
      try { snap = doc.evaluate(value, start, null, win.XPathResult.ORDERED_NODE_SNAPSHOT_TYPE, null); }
      catch (e) { fail('invalid selector', 'not a valid XPath expression: ' + value); }
      for (var j = 0; j < snap.snapshotLength; j++) {
        var node = snap.snapshotItem(j);
        if (node.nodeType !== 1) fail('invalid selector', 'the XPath expression selects something other than elements: ' + value);
        found.push(node);
      }
    } else {
      fail('invalid argument', 'unknown location strategy: ' + using);
    }
    return found;
  }
  function startNode(a, win) {
    if (a.from === undefined || a.from === null) return win.document;
    return lookup(win.document, a.from, !!a.shadow);
  }
  var BOOLEAN_ATTRS = ('allowfullscreen allowpaymentrequest allowusermedia async autofocus autoplay checked compact ' +
      'complete controls declare default defaultchecked defaultselected defer disabled ended formnovalidate hidden ' +
      'indeterminate iscontenteditable ismap itemscope loop multiple muted nohref nomodule noresize noshade ' +
      'novalidate nowrap open paused playsinline pubdate readonly required reversed scoped seamless seeking selected ' +
      'truespeed typemustmatch willvalidate').split(' ');
  // ---- the outcomes of scripts whose promise had not settled when they returned ----
  var pending = {};
  function keep(token) {
    pending[token] = null;
    return function (r) { if (token in pending) pending[token] = r; };
  }
  var ops = {
    find: function (a, win) {
      var found = find(startNode(a, win), a.using, a.value, win);
      if (a.one) {
        if (!found.length) fail('no such element', 'no element matches ' + a.using + ' ' + JSON.stringify(a.value));
        return clone(found[0], [], win, refFor);
      }
      return clone(found, [], win, refFor);
    },
    shadow: function (a, win) {
      var el = lookup(win.document, a.el, false), root = el.shadowRoot;
      if (!root) fail('no such shadow root', 'the element has no open shadow root');
      return clone(root, [], win, refFor);
    },
    active: function (a, win) {
      var el = win.document.activeElement;
      if (!el) fail('no such element', 'no element is active');
      return clone(el, [], win, refFor);
    },
    selected: function (a, win) {
      var el = lookup(win.document, a.el, false), tag = el.localName;
      if (tag === 'input' && /^(checkbox|radio)$/i.test(el.type)) return !!el.checked;
      if (tag === 'option') return !!el.selected;
      return false;
    },
    attribute: function (a, win) {
      var el = lookup(win.document, a.el, false), name = String(a.name);
      if (BOOLEAN_ATTRS.indexOf(name.toLowerCase()) >= 0) return el.hasAttribute(name) ? 'true' : null;
      return el.getAttribute(name);
    },
    css: function (a, win) {
      var el = lookup(win.document, a.el, false);
      if (win.document.contentType && /xml/.test(win.document.contentType) && !(win.document instanceof win.HTMLDocument)) return '';
      return win.getComputedStyle(el).getPropertyValue(a.name);
    },
    text: function (a, win) { return text(lookup(win.document, a.el, false)); },
    name: function (a, win) { return lookup(win.document, a.el, false).localName; },
    rect: function (a, win) {
      var r = lookup(win.document, a.el, false).getBoundingClientRect();
      return {x: r.left + win.pageXOffset, y: r.top + win.pageYOffset, width: r.width, height: r.height};
    },
    enabled: function (a, win) {
      var el = lookup(win.document, a.el, false);
      if (!(win.document instanceof win.HTMLDocument)) return false;
      try { return !el.matches(':disabled'); } catch (e) { return true; }
    },
    displayed: function (a, win) { return displayed(lookup(win.document, a.el, false)); },
    role: function (a, win) {
      var el = lookup(win.document, a.el, false);
      if (typeof el.computedRole === 'string') return el.computedRole;
      fail('unsupported operation', 'this engine does not report computed roles');
    },
    label: function (a, win) {
      var el = lookup(win.document, a.el, false);
      if (typeof el.computedName === 'string') return el.computedName;
      fail('unsupported operation', 'this engine does not report computed labels');
    },
    // The element scrolled into view: its rectangle in the view's pixels (for a cropped picture).
    view_rect: function (a, win) {
      var el = lookup(win.document, a.el, false);
      el.scrollIntoView({block: 'center', inline: 'center'});
      var r = el.getBoundingClientRect(), x = r.left, y = r.top;
      for (var w = win; w !== W; w = w.parent) {
        var fr = w.frameElement.getBoundingClientRect();
        x += fr.left + w.frameElement.clientLeft; y += fr.top + w.frameElement.clientTop;
      }
      return {x: x, y: y, width: r.width, height: r.height, scale: W.devicePixelRatio || 1};
    },
    // A frame to switch to (by index or element): the reference of its element; for a frame of
    // another origin, which this script cannot enter, {ref, name (its name attribute), only
    // (whether it is the document's one frame)}.
    frame: function (a, win) {
      var el;
      if (typeof a.index === 'number') {
        var target = win.frames[a.index];
        if (!target) fail('no such frame', 'no frame has the index ' + a.index);
        var all = win.document.querySelectorAll('iframe,frame');
        for (var i = 0; i < all.length && !el; i++) if (all[i].contentWindow === target) el = all[i];
        if (!el) fail('no such frame', 'no frame has the index ' + a.index);
      } else {
        el = lookup(win.document, a.el, false);
        if (!/^i?frame$/.test(el.localName)) fail('no such frame', 'the element is not a frame');
      }
      var d = null;
      try { d = el.contentWindow && el.contentWindow.document; } catch (e) { d = null; }
      if (!d) {
        if (!el.contentWindow) fail('no such frame', 'the frame has no document');
        var only = win.frames.length === 1 && win.document.querySelectorAll('iframe,frame').length === 1;
        return {ref: refFor(el), name: el.getAttribute('name'), only: only};
      }
      return refFor(el);
    },
    // Where a frame's document starts in the view: its element's content box (scrolled into view
    // first), with the view's size.
    origin: function (a, win) {
      var el = lookup(win.document, a.el, false);
      el.scrollIntoView({block: 'nearest', inline: 'nearest'});
      var r = el.getBoundingClientRect(), cs = win.getComputedStyle(el);
      return {x: r.left + el.clientLeft + (parseFloat(cs.paddingLeft) || 0),
              y: r.top + el.clientTop + (parseFloat(cs.paddingTop) || 0), width: win.innerWidth, height: win.innerHeight};
    },
    // The element itself, for the engine's own use (a DevTools remote object); no JSON form.
    node: function (a, win) { return lookup(win.document, a.el, false); },
    source: function (a, win) {
      var d = win.document;
      return d.documentElement ? new win.XMLSerializer().serializeToString(d) : '';
    },
    // Runs a script body with its arguments in this world; a promise it returns is settled later
    // (op poll).
    execute: function (a, win) {
      var node = function (ref, shadow) { return lookup(win.document, ref, shadow); };
      return run(a, win, node, refFor, function (p) { var t = 'p' + hex(); settled(p, win, refFor, keep(t)); return t; });
    },
    poll: function (a) {
      if (!(a.token in pending)) fail('javascript error', 'the page was replaced while the script ran');
      var r = pending[a.token];
      if (r === null) return {p: a.token};
      delete pending[a.token];
      if (r.e !== undefined) fail(r.e, r.m);
      return {v: r.v};
    },
    forget: function (a) { delete pending[a.token]; return null; },
    hook: function () { return null; }
  };
  // ---- the bridge: requests of the page-world script, as events of its session's random type ----
  // A request is an event `<bridge>q` whose detail is JSON text; the answer an event `<bridge>a`
  // on the top document (detail: JSON text), or on the node asked for (the page-world script reads
  // it as the event's first target). Events reach the listeners of every world synchronously, so a
  // request is answered before its dispatch returns. Asked only for what the page can reach itself
  // (its own nodes) and for references of its nodes, the bridge gives the page nothing it lacks.
  var bridge = '', hooked = null;
  function hook(win) {
    if (!bridge || hooked.has(win.document)) return;
    hooked.add(win.document);
    win.addEventListener(bridge + 'q', ask, true);
  }
  function sweep(win) {
    hook(win);
    for (var i = 0; i < win.frames.length; i++) {
      var inner = win.frames[i], reachable = false;
      try { reachable = !!inner.document; } catch (e) { reachable = false; }
      if (reachable) sweep(inner);
    }
  }
  function tell(at, d) {
    at.dispatchEvent(new W.CustomEvent(bridge + 'a', {bubbles: true, composed: true, detail: JSON.stringify(d)}));
  }
  function ask(e) {
    if (e.type !== bridge + 'q' || typeof e.detail !== 'string') return;
    e.stopImmediatePropagation();
    var q, top = W.document;
    try { q = JSON.parse(e.detail); } catch (x) { return; }
    if (!q || typeof q !== 'object') return;
    try {
      if (q.q === 'node') return tell(lookup(context(q.frames).document, q.ref, !!q.shadow), 1);
      if (q.q === 'ref') {
        var n = e.composedPath()[0];
        if (!n || !(n.nodeType === 1 || isShadow(n))) fail('javascript error', 'only elements and shadow roots have references');
        return tell(top, refFor(n));
      }
      if (q.q === 'sweep') sweep(W);
      else if (q.q === 'keep') keep(String(q.token));
      else if (q.q === 'kept' && q.token in pending && pending[q.token] === null && q.r && typeof q.r === 'object')
        pending[q.token] = q.r.e !== undefined ? {e: String(q.r.e), m: String(q.r.m)} : {v: q.r.v};
      tell(top, 1);
    } catch (x) { tell(top, answerOf(x)); }
  }
  // Execute Script in the page's world: {missing: 1} while the page's half is not installed.
  function script(a, frames) {
    var got = null, heard = function (e) { got = e.detail; e.stopImmediatePropagation(); };
    W.addEventListener(bridge + 'y', heard, true);
    try { W.document.dispatchEvent(new W.CustomEvent(bridge + 'x', {detail: JSON.stringify({a: a, frames: frames})})); }
    finally { W.removeEventListener(bridge + 'y', heard, true); }
    return typeof got === 'string' ? JSON.parse(got) : {missing: 1};
  }
  var lib = function (op, a, frames, type) {
    try {
      if (type && type !== bridge) { bridge = type; hooked = new WeakSet(); }
      hook(W);
      if (op === 'script' && bridge) return script(a || {}, frames || []);
      var win = context(frames), v = ops[op](a || {}, win);
      return {v: v === undefined ? null : v};
    } catch (e) { return answerOf(e); }
  };
  Object.defineProperty(W, KEY, {value: lib, enumerable: false});
}
return W[KEY];
}))JS";

// The library the window object holds, without its text (see command_script).
inline constexpr const char *kLibraryHeld =
    "(function () { var d = Object.getOwnPropertyDescriptor(window, '__panekit_wd');"
    " return d ? d.value : function () { return {missing: 1}; }; })";

// page_world_script(): Execute Script's half in the page's own world, where the library runs in a
// world of its own: an expression whose value, called with the bridge's type T, installs in the
// document a listener of the event `<T>x`. The library's op "script" dispatches that event with
// {a: {script, args, async}, frames} as its detail; the listener runs the script in the page's
// world, asking the library over the bridge for the nodes of its arguments and the references of
// the nodes of its value, and answers with the event `<T>y` whose detail is the library's execute
// answer ({v: {v: value} or {p: token}} or {e, m}) as JSON text. The page's script sees no name of
// it, and the library, compiled once per document, is no longer sent with each script.
inline constexpr const char *kPageScriptOpen = R"JS((function (T) {
var W = window;
// The event methods as the platform defines them: a page may have replaced its window's own.
var ET = W.EventTarget.prototype, on = ET.addEventListener, off = ET.removeEventListener, send = ET.dispatchEvent;
)JS";
inline constexpr const char *kPageScriptRest = R"JS(
function ask(q, at, win) {
  var got = null, first = null;
  var heard = function (e) {
    if (got !== null) return;
    got = e.detail; first = e.composedPath()[0];
    e.stopImmediatePropagation();
  };
  on.call(W, T + 'a', heard, true);
  if (win !== W) on.call(win, T + 'a', heard, true);
  try { send.call(at, new W.CustomEvent(T + 'q', {bubbles: true, composed: true, detail: JSON.stringify(q)})); }
  finally {
    off.call(W, T + 'a', heard, true);
    if (win !== W) off.call(win, T + 'a', heard, true);
  }
  if (typeof got !== 'string') return null;
  var d = JSON.parse(got);
  if (d && typeof d === 'object' && d.e !== undefined) fail(d.e, d.m);
  return {d: d, n: first};
}
function execute(a, frames) {
  var win = W;
  for (var i = 0; i < frames.length; i++) {
    var r = null;
    try { r = ask({q: 'node', frames: frames.slice(0, i), ref: frames[i]}, W.document, win); } catch (e) { r = null; }
    if (!r) fail('no such frame', 'the frame is gone');
    var inner = r.n.contentWindow, doc = null;
    try { doc = inner && inner.document; } catch (e) { doc = null; }
    if (!doc) fail('no such frame', 'the frame cannot be reached (gone, or of another origin)');
    win = inner;
  }
  var node = function (ref, shadow) {
    var r = ask({q: 'node', frames: frames, ref: ref, shadow: shadow}, W.document, win);
    if (!r) fail(shadow ? 'no such shadow root' : 'no such element', 'no node has the reference ' + ref);
    return r.n;
  };
  var ref = function (n) {
    // A node of a closed shadow tree is not its event's first target for a listener outside it.
    for (var root = isShadow(n) ? n : n.getRootNode(); isShadow(root); root = root.host.getRootNode())
      if (root.mode !== 'open') fail('javascript error', 'a node inside a closed shadow root has no reference');
    var at = docOf(n).defaultView || W, r = ask({q: 'ref'}, n, at);
    if (!r) { ask({q: 'sweep'}, W.document, W); r = ask({q: 'ref'}, n, at); }
    if (!r) fail('javascript error', 'the node cannot be referenced from this browsing context');
    return r.d;
  };
  var park = function (p) {
    var t = 'p' + hex();
    ask({q: 'keep', token: t}, W.document, W);
    settled(p, win, ref, function (r) { try { ask({q: 'kept', token: t, r: r}, W.document, W); } catch (e) {} });
    return t;
  };
  return run(a, win, node, ref, park);
}
on.call(W, T + 'x', function (e) {
  if (typeof e.detail !== 'string') return;
  e.stopImmediatePropagation();
  var out;
  try {
    var q = JSON.parse(e.detail);
    out = {v: execute(q.a, q.frames || [])};
  } catch (x) { out = answerOf(x); }
  send.call(W.document, new W.CustomEvent(T + 'y', {detail: JSON.stringify(out)}));
}, true);
return 1;
}))JS";

// `js` without its indentation and its comment lines (what the page is sent and parses on every
// call; the texts above hold no string that spans lines or starts a line with "//").
inline std::string compact(std::string_view js) {
    std::string out;
    out.reserve(js.size());
    while (!js.empty()) {
        std::size_t end = js.find('\n');
        std::string_view line = js.substr(0, end);
        js = end == std::string_view::npos ? std::string_view() : js.substr(end + 1);
        line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
        if (line.empty() || line.starts_with("//")) continue;
        out += line;
        out += '\n';
    }
    return out;
}

// The library's text and the page-world script's, each with the part they share.
inline const std::string &page_library() {
    static const std::string text = compact(std::string(kLibraryOpen) + kScriptCore + kLibraryRest);
    return text;
}
inline const std::string &page_world_script() {
    static const std::string text = compact(std::string(kPageScriptOpen) + kScriptCore + kPageScriptRest);
    return text;
}

// The page-world script's installation for the bridge `bridge` (where the library runs in a world
// of its own): an expression run in the page's world.
inline nb::str page_world_source(std::string_view bridge) {
    std::string s = page_world_script();
    s += "(\"";
    s += bridge;  // hex digits after a fixed prefix: nothing to escape
    s += "\")";
    return nb::str(s.c_str(), s.size());
}

}  // namespace pk::wd
