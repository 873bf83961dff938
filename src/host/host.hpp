// The host layer, for a host's own file: what the browser hosts (the WinForms host, the pywebview
// host and the GTK host) do the same way, written once, one job a header.
#pragma once

#include "engine.hpp"      // what a browser view must offer, and the WebView2 engine
#include "marshal.hpp"     // work on the window's UI thread
#include "navigation.hpp"  // the hosts' callables: the pending-navigation rule, history, the address box
#include "settings.hpp"    // the hosts' parameters and settings
#include "signals.hpp"     // signals that close the window
#include "tracker.hpp"     // the page tracker and its events
#include "window.hpp"      // the window's control server
