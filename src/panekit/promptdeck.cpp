// panekit.promptdeck: the console command loop that steers a running window over the control
// plane. `Webview2ControlReplBase` is an ordinary class made with type(...): every call between
// its members goes through attribute lookup on `self`, so a Python subclass that overrides
// `emit`, `format_result`, a `handle_*` or a `help_*` member changes the behaviour everywhere.
// The client calls of helmwire are imported inside the handler that uses them, at call time.
#include "pk.hpp"

#include <cstring>

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;
using pk::Def;

namespace {

const char *const kModule = "panekit.promptdeck";
const char *const kClass = "Webview2ControlReplBase";

const char *const kPrompt = "webview2> ";
const char *const kSummary =
    "命令: n <url> 跳转 | b 后退 | f 前进 | r 刷新 | u 当前URL | h 帮助 | q 退出";
const char *const kDetail =
    "  n <url> / nav <url>  — 打开 URL（可省略 https://）\n"
    "  b / back             — 后退\n"
    "  f / forward          — 前进\n"
    "  r / reload           — 刷新\n"
    "  u / url              — 打印当前地址\n";
const char *const kUnknown = "  未知命令，输入 h 查看帮助。";
const char *const kMissingUrl = "  请提供 URL，例如: n https://www.example.com";

const char *const kClassDoc =
    "Console REPL bound to one control HTTP port of a running browser window.\n"
    "\n"
    "Each line read from standard input is parsed (first word = command, rest = argument) and\n"
    "dispatched to a handle_* method; what a handler returns is printed through\n"
    "format_result and emit. Commands: n <url>, b, f, r, u, h, q (and their long forms).\n"
    "The default handlers call the control client of panekit.helmwire with this port.\n"
    "\n"
    "Subclass it and override handle_*, emit or format_result to customise it::\n"
    "\n"
    "    from panekit.promptdeck import Webview2ControlReplBase\n"
    "\n"
    "    class MyRepl(Webview2ControlReplBase):\n"
    "        def handle_navigate(self, url: str) -> object:\n"
    "            result = super().handle_navigate(url)\n"
    "            self.emit(f\"navigated -> {result.get('url', '')}\")\n"
    "            return result\n"
    "\n"
    "    MyRepl.run_on_port(18765)\n";

// The module's globals, captured by every method (closure cell 0) for the relative import of
// the client module.
nb::handle globals_of(pk::Args &a) { return a.cell(0); }

// `from .helmwire import <name>`, done when the handler runs.
nb::object client_function(pk::Args &a, const char *name) {
    nb::handle globals = globals_of(a);
    nb::object fromlist = nb::make_tuple(nb::str(name));
    PyObject *mod = PyImport_ImportModuleLevel("helmwire", globals.ptr(), globals.ptr(),
                                               fromlist.ptr(), 1);
    if (!mod) throw nb::python_error();
    nb::object module = nb::steal(mod);
    PyObject *fn = PyObject_GetAttrString(mod, name);
    if (fn) return nb::steal(fn);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    // The same error as Python's import statement gives for a missing name.
    nb::object mod_name = nb::getattr(module, "__name__", nb::str("panekit.helmwire"));
    nb::object file = nb::getattr(module, "__file__", nb::none());
    nb::str msg = file.is_none()
                      ? nb::str(nb::str("cannot import name '{}' from '{}' (unknown location)")
                                    .format(name, mod_name))
                      : nb::str(nb::str("cannot import name '{}' from '{}' ({})")
                                    .format(name, mod_name, file));
    PyErr_SetImportError(msg.ptr(), mod_name.ptr(), file.is_none() ? nullptr : file.ptr());
    throw nb::python_error();
}

nb::object port_of(nb::handle self) { return self.attr("_port"); }

// ---- module functions -------------------------------------------------------------------

nb::object help_commands_text(pk::Args &) { return nb::str(kSummary); }
nb::object help_detail_text(pk::Args &) { return nb::str(kDetail); }

const pk::Spec help_commands_spec{"help_commands_text", nullptr, {}, "str",
                                  "The one-line command summary printed when the REPL starts.",
                                  help_commands_text};
const pk::Spec help_detail_spec{"help_detail_text", nullptr, {}, "str",
                                "The detail help shown by h / help / ?: five lines, each ended "
                                "by a line feed.",
                                help_detail_text};

// ---- methods ----------------------------------------------------------------------------

nb::object m_init(pk::Args &a) {
    a[0].attr("_port") = a[1];  // already converted with int()
    return nb::none();
}

nb::object m_port(pk::Args &a) { return port_of(a[0]); }

nb::object m_emit(pk::Args &a) {
    pk::print_line(a[1]);
    return nb::none();
}

nb::object m_format_result(pk::Args &a) { return nb::str(a[1]); }

nb::object m_help_commands_line(pk::Args &a) {
    return pk::module_global(globals_of(a), "help_commands_text")();
}

nb::object m_help_detail_block(pk::Args &a) {
    return pk::module_global(globals_of(a), "help_detail_text")();
}

nb::object m_handle_navigate(pk::Args &a) {
    nb::object fn = client_function(a, "remote_navigate");
    return fn(a[1], "port"_a = port_of(a[0]));
}

template <const char *Name>
nb::object m_remote_call(pk::Args &a) {
    nb::object fn = client_function(a, Name);
    return fn("port"_a = port_of(a[0]));
}

constexpr char kGoBack[] = "remote_go_back";
constexpr char kGoForward[] = "remote_go_forward";
constexpr char kReload[] = "remote_reload";
constexpr char kGetUrl[] = "remote_get_url";

nb::object m_handle_help(pk::Args &a) {
    nb::handle self = a[0];
    self.attr("emit")(self.attr("help_detail_block")());
    return nb::none();
}

nb::object m_handle_quit(pk::Args &) { return nb::none(); }

nb::object m_handle_navigate_missing_arg(pk::Args &a) {
    a[0].attr("emit")(nb::str(kMissingUrl));
    return nb::none();
}

nb::object m_handle_unknown(pk::Args &a) {
    a[0].attr("emit")(nb::str(kUnknown));
    return nb::none();
}

// The command table: the first row whose words contain the command word wins.
enum class Command { Quit, Help, Navigate, Back, Forward, Reload, Url };
struct Row {
    Command command;
    const char *words[4];
};
const Row kCommands[] = {
    {Command::Quit, {"q", "quit", "exit", nullptr}},
    {Command::Help, {"h", "help", "?", nullptr}},
    {Command::Navigate, {"n", "nav", "goto", "open"}},
    {Command::Back, {"b", "back", nullptr, nullptr}},
    {Command::Forward, {"f", "forward", nullptr, nullptr}},
    {Command::Reload, {"r", "reload", nullptr, nullptr}},
    {Command::Url, {"u", "url", nullptr, nullptr}},
};

const Row *find_command(nb::handle cmd) {
    for (const Row &row : kCommands)
        for (const char *w : row.words)
            if (w && PyUnicode_EqualToUTF8(cmd.ptr(), w)) return &row;
    return nullptr;
}

void show(nb::handle self, nb::handle result) {
    self.attr("emit")(self.attr("format_result")(result));
}

nb::object m_dispatch(pk::Args &a) {
    nb::handle self = a[0];
    nb::str line = nb::borrow<nb::str>(a[1].attr("strip")());
    if (nb::len(line) == 0) return nb::bool_(false);
    nb::list parts = nb::borrow<nb::list>(line.attr("split")("maxsplit"_a = 1));
    nb::object cmd = parts[0].attr("lower")();
    nb::object arg = nb::str("");
    if (nb::len(parts) > 1) arg = parts[1].attr("strip")();

    const Row *row = find_command(cmd);
    if (!row) {
        self.attr("handle_unknown")(line);
        return nb::bool_(false);
    }
    switch (row->command) {
        case Command::Quit:
            self.attr("handle_quit")();
            return nb::bool_(true);
        case Command::Help: self.attr("handle_help")(); break;
        case Command::Navigate:
            if (nb::len(arg) > 0)
                show(self, self.attr("handle_navigate")(arg));
            else
                self.attr("handle_navigate_missing_arg")();
            break;
        case Command::Back: show(self, self.attr("handle_go_back")()); break;
        case Command::Forward: show(self, self.attr("handle_go_forward")()); break;
        case Command::Reload: show(self, self.attr("handle_reload")()); break;
        case Command::Url: show(self, self.attr("handle_get_url")()); break;
    }
    return nb::bool_(false);
}

nb::object m_run_repl(pk::Args &a) {
    nb::handle self = a[0];
    nb::handle prompt = a[1];
    self.attr("emit")(self.attr("help_commands_line")());
    for (;;) {
        nb::object line;
        try {
            // Looked up at each read, as `input(prompt)` in Python code would be.
            line = pk::import("builtins").attr("input")(prompt);
        } catch (nb::python_error &e) {
            // Only reading is guarded: end of input or Ctrl-C at the prompt ends the loop.
            if (!e.matches(PyExc_EOFError) && !e.matches(PyExc_KeyboardInterrupt)) throw;
        }
        if (!line.is_valid()) {
            self.attr("emit")(nb::str(""));
            break;
        }
        if (nb::bool_(self.attr("dispatch")(line))) break;
    }
    return nb::none();
}

nb::object m_run_on_port(pk::Args &a) {
    nb::object inst = nb::borrow(a[0])(a[1]);
    inst.attr("run_repl")("prompt"_a = a[2]);
    return inst;
}

// ---- signatures -------------------------------------------------------------------------

const pk::Param p_self[] = {pk::pos("self", nullptr)};
const pk::Param p_init[] = {pk::pos("self", nullptr), pk::pos("port", "int", Check::Int)};
const pk::Param p_emit[] = {pk::pos("self", nullptr), pk::pos("text", "str", Check::Str)};
const pk::Param p_format[] = {pk::pos("self", nullptr), pk::pos("result", "object")};
const pk::Param p_url[] = {pk::pos("self", nullptr), pk::pos("url", "str", Check::Str)};
const pk::Param p_line[] = {pk::pos("self", nullptr), pk::pos("line", "str", Check::Str)};
const pk::Param p_run_repl[] = {pk::pos("self", nullptr),
                                pk::kw("prompt", "str", Check::Str, Def::Str, 0, kPrompt)};
const pk::Param p_run_on_port[] = {pk::pos("cls", "Type[T]"), pk::pos("port", "int", Check::Int),
                                   pk::kw("prompt", "str", Check::Str, Def::Str, 0, kPrompt)};

#define PK_QUAL(n) "Webview2ControlReplBase." n

// In class order.
const pk::Spec kMethods[] = {
    {"__init__", PK_QUAL("__init__"), p_init, nullptr, nullptr, m_init},
    {"port", PK_QUAL("port"), p_self, "int", "The control port every default handler talks to.",
     m_port},
    {"emit", PK_QUAL("emit"), p_emit, "None", "Print one line of output (flushed at once).",
     m_emit},
    {"format_result", PK_QUAL("format_result"), p_format, "str",
     "Text printed for a handler's result: str(result).", m_format_result},
    {"help_commands_line", PK_QUAL("help_commands_line"), p_self, "str",
     "The command summary printed when the loop starts.", m_help_commands_line},
    {"help_detail_block", PK_QUAL("help_detail_block"), p_self, "str",
     "The detail help emitted by handle_help.", m_help_detail_block},
    {"handle_navigate", PK_QUAL("handle_navigate"), p_url, "object",
     "Navigate the window to url (n <url>); returns the control client's result.",
     m_handle_navigate},
    {"handle_go_back", PK_QUAL("handle_go_back"), p_self, "object",
     "History back (b); returns the control client's result.", m_remote_call<kGoBack>},
    {"handle_go_forward", PK_QUAL("handle_go_forward"), p_self, "object",
     "History forward (f); returns the control client's result.", m_remote_call<kGoForward>},
    {"handle_reload", PK_QUAL("handle_reload"), p_self, "object",
     "Reload the page (r); returns the control client's result.", m_remote_call<kReload>},
    {"handle_get_url", PK_QUAL("handle_get_url"), p_self, "object",
     "Ask for the current address (u); returns the control client's result.",
     m_remote_call<kGetUrl>},
    {"handle_help", PK_QUAL("handle_help"), p_self, "None", "Emit the detail help (h).",
     m_handle_help},
    {"handle_quit", PK_QUAL("handle_quit"), p_self, "None",
     "Hook called just before the loop ends on q / quit / exit; does nothing by default.",
     m_handle_quit},
    {"handle_navigate_missing_arg", PK_QUAL("handle_navigate_missing_arg"), p_self, "None",
     "Emit the hint shown when n comes without an address.", m_handle_navigate_missing_arg},
    {"handle_unknown", PK_QUAL("handle_unknown"), p_line, "None",
     "Emit the hint shown for an unknown command word.", m_handle_unknown},
    {"dispatch", PK_QUAL("dispatch"), p_line, "bool",
     "Handle one input line; returns True when the loop should end.", m_dispatch},
    {"run_repl", PK_QUAL("run_repl"), p_run_repl, "None",
     "Print the command summary, then read and dispatch lines until q / quit / exit, end of "
     "input or Ctrl-C at the prompt.",
     m_run_repl},
    {"run_on_port", PK_QUAL("run_on_port"), p_run_on_port, "T",
     "Create an instance for port, run its loop and return the instance when the loop ends.",
     m_run_on_port},
};

#undef PK_QUAL

}  // namespace

NB_MODULE(promptdeck, m) {
    nb::set_leak_warnings(false);
    pk::init_runtime(m);
    m.doc() = "Console REPL that steers a running panekit window through its control port.";
    nb::handle globals = m.attr("__dict__");
    nb::tuple closure = nb::make_tuple(globals);

    m.attr("help_commands_text") = pk::make_function(help_commands_spec, kModule, closure);
    m.attr("help_detail_text") = pk::make_function(help_detail_spec, kModule, closure);

    nb::object typing = pk::import("typing");
    nb::object T = typing.attr("TypeVar")("T", "bound"_a = kClass);
    nb::setattr(T, "__module__", nb::str(kModule));
    m.attr("T") = T;

    nb::object builtins = pk::import("builtins");
    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = kClass;
    ns["__doc__"] = kClassDoc;
    for (const pk::Spec &spec : kMethods) {
        nb::object fn = pk::make_function(spec, kModule, closure);
        if (std::strcmp(spec.name, "port") == 0)
            ns[spec.name] = builtins.attr("property")(fn);
        else if (std::strcmp(spec.name, "run_on_port") == 0)
            ns[spec.name] = builtins.attr("classmethod")(fn);
        else
            ns[spec.name] = fn;
    }
    nb::handle type = reinterpret_cast<PyObject *>(&PyType_Type);
    nb::handle object = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    m.attr(kClass) = type(kClass, nb::make_tuple(object), ns);
}
