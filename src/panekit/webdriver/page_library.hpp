// The WebDriver commands' half that runs inside the page: one library, defined once per window
// object (and again after a navigation has replaced it), that every command script calls into.
//
// A command script is `<library>(op, args, frames)` (see command_script): the library resolves the
// browsing context the session has switched to (a path of frame element references from the top
// document), runs `op` there and answers one JSON object:
//     {"v": value}                  the command's value, already in the protocol's JSON forms
//     {"e": "error code", "m": msg} a protocol error ("no such element", "javascript error", ...)
//     {"p": token}                  a script whose promise has not settled yet: poll with op "poll"
//
// Element references. Every document gets a registry the first time a command touches it: a random
// id for the document, a map from reference to element (or shadow root) and back. A reference is
// "<document id>.<n>", so the same element keeps its reference while its document lives, and a
// reference of a document left behind (a navigation, a reload, another frame's document) is known to
// be stale by its form alone; one of this document answers stale once its element is no longer
// connected. The registry is a non-enumerable property of the document.
#pragma once

namespace pk::wd {

inline constexpr const char *kElementKey = "element-6066-11e4-a52e-4f735466cecf";
inline constexpr const char *kShadowKey = "shadow-6066-11e4-a52e-4f735466cecf";
inline constexpr const char *kWindowKey = "window-fcc6-11e5-b4f8-330a88ab9d7f";

// The window's one handle (the top window serialises as it in script results).
inline constexpr const char *kWindowHandle = "panekit-window";

// The library: an expression whose value, once called, is the function (op, args, frames).
inline constexpr const char *kPageLibrary = R"JS((function () {
var W = window, KEY = '__panekit_wd', HANDLE = 'panekit-window';
if (!Object.prototype.hasOwnProperty.call(W, KEY)) {
  var EL = 'element-6066-11e4-a52e-4f735466cecf', SH = 'shadow-6066-11e4-a52e-4f735466cecf',
      WIN = 'window-fcc6-11e5-b4f8-330a88ab9d7f';
  function Fail(code, message) { this.code = code; this.message = String(message); }
  function fail(code, message) { throw new Fail(code, message); }
  function hex() {
    var a = new Uint8Array(8), s = '';
    W.crypto.getRandomValues(a);
    for (var i = 0; i < a.length; i++) s += (a[i] + 256).toString(16).slice(1);
    return s;
  }
  var REF = /^([0-9a-f]{16})\.([0-9]+)$/;
  function registry(doc) {
    var r = doc[KEY];
    if (!r) {
      r = {id: hex(), n: 0, byRef: new Map(), refOf: new WeakMap()};
      Object.defineProperty(doc, KEY, {value: r, enumerable: false});
    }
    return r;
  }
  function docOf(node) { return node.nodeType === 9 ? node : node.ownerDocument; }
  function refFor(node) {
    var r = registry(docOf(node)), ref = r.refOf.get(node);
    if (!ref) {
      ref = r.id + '.' + (++r.n);
      r.refOf.set(node, ref);
      r.byRef.set(ref, node);
    }
    return ref;
  }
  function isShadow(node) { return !!node && node.nodeType === 11 && 'host' in node && 'mode' in node; }
  // The element (or shadow root) `ref` names in `doc`.
  function lookup(doc, ref, shadow) {
    if (typeof ref !== 'string') fail('invalid argument', 'a reference is a string');
    var m = REF.exec(ref), r = registry(doc);
    var none = shadow ? 'no such shadow root' : 'no such element';
    if (!m) fail(none, 'no ' + (shadow ? 'shadow root' : 'element') + ' has the reference ' + ref);
    if (m[1] !== r.id)
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
      win = inner;
    }
    return win;
  }
  // JSON clone of a script's value (elements, shadow roots and the top window as references).
  function clone(v, seen, win) {
    if (v === undefined || v === null) return null;
    var t = typeof v;
    if (t === 'boolean' || t === 'number' || t === 'string') return v;
    if (t === 'bigint' || t === 'symbol') fail('javascript error', 'a ' + t + ' has no JSON form');
    if (v.nodeType === 1 && typeof v.tagName === 'string') {
      if (!v.isConnected) fail('stale element reference', 'the element is no longer in the document');
      var o = {}; o[EL] = refFor(v); return o;
    }
    if (isShadow(v)) {
      if (!v.host.isConnected) fail('detached shadow root', 'the shadow root is no longer in the document');
      var s = {}; s[SH] = refFor(v); return s;
    }
    if (v === W || v === W.top) { var w = {}; w[WIN] = HANDLE; return w; }
    if (typeof v.toJSON === 'function') return v.toJSON();
    if (seen.indexOf(v) >= 0) fail('javascript error', 'cyclic object value');
    seen.push(v);
    var out, collection = Array.isArray(v) || (typeof v.length === 'number' && t === 'object' &&
        (v instanceof win.NodeList || v instanceof win.HTMLCollection || Object.prototype.toString.call(v) === '[object Arguments]'));
    try {
      if (collection) {
        out = [];
        for (var i = 0; i < v.length; i++) out.push(clone(v[i], seen, win));
      } else {
        out = {};
        for (var k in v) {
          var pv;
          try { pv = v[k]; } catch (e) { fail('javascript error', e && e.message || e); }
          out[k] = clone(pv, seen, win);
        }
      }
    } finally { seen.pop(); }
    return out;
  }
  // The arguments of a script: references back to their nodes.
  function revive(v, doc) {
    if (v === null || typeof v !== 'object') return v;
    if (Array.isArray(v)) return v.map(function (x) { return revive(x, doc); });
    if (Object.prototype.hasOwnProperty.call(v, EL)) return lookup(doc, v[EL], false);
    if (Object.prototype.hasOwnProperty.call(v, SH)) return lookup(doc, v[SH], true);
    if (Object.prototype.hasOwnProperty.call(v, WIN)) return W;
    var out = {};
    for (var k in v) out[k] = revive(v[k], doc);
    return out;
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
    var t = el.innerText;
    if (typeof t !== 'string') t = el.textContent || '';
    return t.replace(/\u00a0/g, ' ').replace(/[ \t]+\n/g, '\n').replace(/\n[ \t]+/g, '\n').replace(/^\s+|\s+$/g, '');
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
  var pending = {}, serial = 0;
  function settle(p, then) {
    var token = 'p' + (++serial);
    pending[token] = null;
    var done = function (r) { pending[token] = r; };
    try { then(p, function (v) { done({ok: v}); }, function (e) { done({err: e}); }); }
    catch (e) { done({err: e}); }
    return token;
  }
  function scriptError(e) {
    if (e instanceof Fail) return e;
    var m = e && e.message !== undefined ? (e.name ? e.name + ': ' : '') + e.message : String(e);
    return new Fail('javascript error', m);
  }
  function finish(r, win) {
    if (r.err !== undefined) throw scriptError(r.err);
    return clone(r.ok, [], win);
  }
  var ops = {
    find: function (a, win) {
      var found = find(startNode(a, win), a.using, a.value, win);
      if (a.one) {
        if (!found.length) fail('no such element', 'no element matches ' + a.using + ' ' + JSON.stringify(a.value));
        return clone(found[0], [], win);
      }
      return clone(found, [], win);
    },
    shadow: function (a, win) {
      var el = lookup(win.document, a.el, false), root = el.shadowRoot;
      if (!root) fail('no such shadow root', 'the element has no open shadow root');
      return clone(root, [], win);
    },
    active: function (a, win) {
      var el = win.document.activeElement;
      if (!el) fail('no such element', 'no element is active');
      return clone(el, [], win);
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
    property: function (a, win) {
      var el = lookup(win.document, a.el, false), v = el[a.name];
      return v === undefined ? null : clone(v, [], win);
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
    // Runs a script body with its arguments; a promise it returns is settled later (op poll).
    execute: function (a, win) {
      var args = revive(a.args || [], win.document), fn, result;
      try { fn = new win.Function(a.script); }
      catch (e) { throw scriptError(e); }
      if (a.async) {
        var p = new win.Promise(function (resolve) { args.push(resolve); fn.apply(win, args); });
        return {p: settle(p, function (p, ok, no) { p.then(ok, no); })};
      }
      try { result = fn.apply(win, args); } catch (e) { throw scriptError(e); }
      if (result && (typeof result === 'object' || typeof result === 'function') && typeof result.then === 'function')
        return {p: settle(result, function (p, ok, no) { p.then(ok, no); })};
      return {v: clone(result, [], win)};
    },
    poll: function (a, win) {
      if (!(a.token in pending)) fail('javascript error', 'the page was replaced while the script ran');
      var r = pending[a.token];
      if (r === null) return {p: a.token};
      delete pending[a.token];
      return {v: finish(r, win)};
    },
    forget: function (a) { delete pending[a.token]; return null; }
  };
  var lib = function (op, a, frames) {
    try {
      var win = context(frames), v = ops[op](a || {}, win);
      return {v: v === undefined ? null : v};
    } catch (e) {
      if (e instanceof Fail) return {e: e.code, m: e.message};
      return {e: 'javascript error', m: e && e.message || String(e)};
    }
  };
  Object.defineProperty(W, KEY, {value: lib, enumerable: false});
}
return W[KEY];
}))JS";

// The library the window object holds, without its text (see command_script).
inline constexpr const char *kLibraryHeld =
    "(function () { var d = Object.getOwnPropertyDescriptor(window, '__panekit_wd');"
    " return d ? d.value : function () { return {missing: 1}; }; })";

}  // namespace pk::wd
