// panekit.promptdeck: the console command loop that steers a running window over the control
// plane. `Webview2ControlReplBase` is an ordinary class made with type(...): every call between
// its members goes through attribute lookup on `self`, so a Python subclass that overrides
// `emit`, `format_result`, a `handle_*` or a `help_*` member changes the behaviour everywhere.
// The client calls of helmwire are imported inside the handler that uses them, at call time.
#include "pk.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using pk::Check;
using pk::Def;
using pk::Kind;

namespace {

constexpr const char *kClass = "Webview2ControlReplBase";

constexpr const char *kPrompt = "webview2> ";
constexpr const char *kSummary =
    "命令: n <url> 跳转 | b 后退 | f 前进 | r 刷新 | u 当前URL | h 帮助 | q 退出";
constexpr const char *kDetail =
    "  n <url> / nav <url>  — 打开 URL（可省略 https://）\n"
    "  b / back             — 后退\n"
    "  f / forward          — 前进\n"
    "  r / reload           — 刷新\n"
    "  u / url              — 打印当前地址\n"
    "  s / state            — 打印页面状态（标题、是否在加载、能否后退/前进）\n"
    "  j <code> / js <code> — 在页面中运行 JavaScript 并打印结果（也可用 script）\n"
    "  shot <file>          — 把页面截图保存为 PNG 文件（也可用 screenshot）\n";
constexpr const char *kUnknown = "  未知命令，输入 h 查看帮助。";
constexpr const char *kMissingUrl = "  请提供 URL，例如: n https://www.example.com";
constexpr const char *kMissingScript = "  请提供脚本，例如: js document.title";
constexpr const char *kMissingFile = "  请提供文件名，例如: shot page.png";

constexpr const char *kClassDoc =
    "Console REPL bound to one control HTTP port of a running browser window.\n"
    "\n"
    "Each line read from standard input is parsed (first word = command, rest = argument) and\n"
    "dispatched to a handle_* method; what a handler returns is printed through\n"
    "format_result and emit. Commands: n <url>, b, f, r, u, s, js <code>, shot <file>, h, q\n"
    "(and their long forms).\n"
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

// `from .helmwire import <name>`, done when the handler runs.
nb::object client(const char *name) { return pk::import_from("panekit.helmwire", name); }

nb::object port_of(nb::handle self) { return self.attr("_port"); }

// ---- module functions -------------------------------------------------------------------

constexpr pk::Spec help_commands_spec{
    .name = "help_commands_text",
    .returns = "str",
    .doc = "The one-line command summary printed when the REPL starts.",
};
nb::object help_commands_text() { return nb::str(kSummary); }

constexpr pk::Spec help_detail_spec{
    .name = "help_detail_text",
    .returns = "str",
    .doc = "The detail help shown by h / help / ?: one line per command, each ended by a line feed.",
};
nb::object help_detail_text() { return nb::str(kDetail); }

// ---- the class, member by member in class order ------------------------------------------

constexpr pk::Param p_self[] = {{.name = "self"}};

constexpr pk::Param p_init[] = {{.name = "self"}, {.name = "port", .annotation = "int", .check = Check::Int}};
constexpr pk::Spec init_spec{.name = "__init__", .params = p_init};
void init(nb::handle self, nb::handle port) {
    self.attr("_port") = port;  // already converted with int()
}

constexpr pk::Spec port_spec{.name = "port", .params = p_self, .returns = "int",
                             .doc = "The control port every default handler talks to."};
nb::object port(nb::handle self) { return port_of(self); }

constexpr pk::Param p_emit[] = {{.name = "self"}, {.name = "text", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec emit_spec{.name = "emit", .params = p_emit, .returns = "None",
                             .doc = "Print one line of output (flushed at once)."};
void emit(nb::handle, nb::str text) { pk::print_line(text); }

constexpr pk::Param p_format[] = {{.name = "self"}, {.name = "result", .annotation = "object"}};
constexpr pk::Spec format_spec{.name = "format_result", .params = p_format, .returns = "str",
                               .doc = "Text printed for a handler's result: str(result)."};
nb::object format_result(nb::handle, nb::handle result) { return nb::str(result); }

constexpr pk::Spec commands_line_spec{.name = "help_commands_line", .params = p_self, .returns = "str",
                                      .doc = "The command summary printed when the loop starts."};
nb::object help_commands_line(const pk::Call &c, nb::handle) { return c.global("help_commands_text")(); }

constexpr pk::Spec detail_block_spec{.name = "help_detail_block", .params = p_self, .returns = "str",
                                     .doc = "The detail help emitted by handle_help."};
nb::object help_detail_block(const pk::Call &c, nb::handle) { return c.global("help_detail_text")(); }

constexpr pk::Param p_url[] = {{.name = "self"}, {.name = "url", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec navigate_spec{.name = "handle_navigate", .params = p_url, .returns = "object",
                                 .doc = "Navigate the window to url (n <url>); returns the control client's result."};
nb::object handle_navigate(nb::handle self, nb::str url) {
    return client("remote_navigate")(url, "port"_a = port_of(self));
}

// A handler that is one call of the control client with this port.
template <const char *Client> nb::object remote_call(nb::handle self) {
    return client(Client)("port"_a = port_of(self));
}

constexpr char kGoBack[] = "remote_go_back";
constexpr pk::Spec go_back_spec{.name = "handle_go_back", .params = p_self, .returns = "object",
                                .doc = "History back (b); returns the control client's result."};

constexpr char kGoForward[] = "remote_go_forward";
constexpr pk::Spec go_forward_spec{.name = "handle_go_forward", .params = p_self, .returns = "object",
                                   .doc = "History forward (f); returns the control client's result."};

constexpr char kReload[] = "remote_reload";
constexpr pk::Spec reload_spec{.name = "handle_reload", .params = p_self, .returns = "object",
                               .doc = "Reload the page (r); returns the control client's result."};

constexpr char kGetUrl[] = "remote_get_url";
constexpr pk::Spec get_url_spec{.name = "handle_get_url", .params = p_self, .returns = "object",
                                .doc = "Ask for the current address (u); returns the control client's result."};

constexpr char kState[] = "remote_state";
constexpr pk::Spec state_spec{.name = "handle_state", .params = p_self, .returns = "object",
                              .doc = "Ask for the page's state (s); returns the control client's result."};

constexpr pk::Param p_script[] = {{.name = "self"}, {.name = "script", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec script_spec{.name = "handle_script", .params = p_script, .returns = "object",
                               .doc = "Run JavaScript in the page (js <code>); returns the control client's result."};
nb::object handle_script(nb::handle self, nb::str script) {
    return client("remote_script")(script, "port"_a = port_of(self));
}

constexpr pk::Param p_file[] = {{.name = "self"}, {.name = "path", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec screenshot_spec{
    .name = "handle_screenshot", .params = p_file, .returns = "object",
    .doc = "Save a PNG picture of the page to path (shot <file>); returns {\"ok\": True, \"file\", \"bytes\"} "
           "or the control client's failure."};
nb::object handle_screenshot(nb::handle self, nb::str path) {
    nb::object shot = client("remote_screenshot")("port"_a = port_of(self));
    if (!PyDict_Check(shot.ptr()) || !nb::object(shot.attr("get")("ok")).is(Py_True)) return shot;
    nb::object png = shot["png"];
    nb::dict out;
    out["ok"] = true;
    out["file"] = path;
    out["bytes"] = nb::int_(nb::len(png));
    return pk::guarded_else(
        [&]() -> nb::object {
            pk::import_from("pathlib", "Path")(path).attr("write_bytes")(png);
            return out;
        },
        [&](nb::python_error &e) -> nb::object {
            nb::dict failed;
            failed["ok"] = false;
            failed["error"] = nb::str(e.value());
            return failed;
        });
}

constexpr pk::Spec help_spec{.name = "handle_help", .params = p_self, .returns = "None",
                             .doc = "Emit the detail help (h)."};
void handle_help(nb::handle self) { self.attr("emit")(self.attr("help_detail_block")()); }

constexpr pk::Spec quit_spec{.name = "handle_quit", .params = p_self, .returns = "None",
                             .doc = "Hook called just before the loop ends on q / quit / exit; does nothing by default."};
void handle_quit(nb::handle) {}

constexpr pk::Spec missing_arg_spec{.name = "handle_navigate_missing_arg", .params = p_self, .returns = "None",
                                    .doc = "Emit the hint shown when n comes without an address."};
void handle_navigate_missing_arg(nb::handle self) { self.attr("emit")(nb::str(kMissingUrl)); }

constexpr pk::Param p_line[] = {{.name = "self"}, {.name = "line", .annotation = "str", .check = Check::Str}};
constexpr pk::Spec unknown_spec{.name = "handle_unknown", .params = p_line, .returns = "None",
                                .doc = "Emit the hint shown for an unknown command word."};
void handle_unknown(nb::handle self, nb::str) { self.attr("emit")(nb::str(kUnknown)); }

// The command table: the first row whose words contain the command word wins.
enum class Command { Quit, Help, Navigate, Back, Forward, Reload, Url, State, Script, Screenshot };
struct Row {
    Command command;
    const char *words[4];
};
constexpr Row kCommands[] = {
    {Command::Quit, {"q", "quit", "exit", nullptr}},
    {Command::Help, {"h", "help", "?", nullptr}},
    {Command::Navigate, {"n", "nav", "goto", "open"}},
    {Command::Back, {"b", "back", nullptr, nullptr}},
    {Command::Forward, {"f", "forward", nullptr, nullptr}},
    {Command::Reload, {"r", "reload", nullptr, nullptr}},
    {Command::Url, {"u", "url", nullptr, nullptr}},
    {Command::State, {"s", "state", nullptr, nullptr}},
    {Command::Script, {"j", "js", "script", nullptr}},
    {Command::Screenshot, {"shot", "screenshot", nullptr, nullptr}},
};

const Row *find_command(nb::handle cmd) {
    for (const Row &row : kCommands)
        for (const char *w : row.words)
            if (w && PyUnicode_EqualToUTF8(cmd.ptr(), w)) return &row;
    return nullptr;
}

void show(nb::handle self, nb::handle result) { self.attr("emit")(self.attr("format_result")(result)); }

constexpr pk::Spec dispatch_spec{.name = "dispatch", .params = p_line, .returns = "bool",
                                 .doc = "Handle one input line; returns True when the loop should end."};
nb::object dispatch(nb::handle self, nb::str text) {
    nb::str line = nb::borrow<nb::str>(text.attr("strip")());
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
        case Command::State: show(self, self.attr("handle_state")()); break;
        case Command::Script:
            if (nb::len(arg) > 0)
                show(self, self.attr("handle_script")(arg));
            else
                self.attr("emit")(nb::str(kMissingScript));
            break;
        case Command::Screenshot:
            if (nb::len(arg) > 0)
                show(self, self.attr("handle_screenshot")(arg));
            else
                self.attr("emit")(nb::str(kMissingFile));
            break;
    }
    return nb::bool_(false);
}

constexpr pk::Param p_run_repl[] = {
    {.name = "self"},
    {.name = "prompt", .annotation = "str", .check = Check::Str, .kind = Kind::KeywordOnly, .def = Def::Str, .text = kPrompt},
};
constexpr pk::Spec run_repl_spec{
    .name = "run_repl",
    .params = p_run_repl,
    .returns = "None",
    .doc = "Print the command summary, then read and dispatch lines until q / quit / exit, end of "
           "input or Ctrl-C at the prompt.",
};
void run_repl(nb::handle self, nb::str prompt) {
    self.attr("emit")(self.attr("help_commands_line")());
    for (;;) {
        nb::object line;
        try {
            // Looked up at each read, as `input(prompt)` in Python code would be.
            nb::object input = pk::import("builtins").attr("input");
            try {
                line = input(prompt);
            } catch (nb::python_error &e) {
                // input() writes the prompt before it reads: a prompt the console cannot show
                // is shown escaped, as every other line is.
                if (!e.matches(PyExc_UnicodeEncodeError)) throw;
                line = input(pk::escaped_for_stdout(prompt));
            }
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
}

constexpr pk::Param p_run_on_port[] = {
    {.name = "cls", .annotation = "Type[T]"},
    {.name = "port", .annotation = "int", .check = Check::Int},
    {.name = "prompt", .annotation = "str", .check = Check::Str, .kind = Kind::KeywordOnly, .def = Def::Str, .text = kPrompt},
};
constexpr pk::Spec run_on_port_spec{
    .name = "run_on_port",
    .params = p_run_on_port,
    .returns = "T",
    .doc = "Create an instance for port, run its loop and return the instance when the loop ends.",
};
nb::object run_on_port(nb::handle cls, nb::handle port, nb::str prompt) {
    nb::object inst = cls(port);
    inst.attr("run_repl")("prompt"_a = prompt);
    return inst;
}

}  // namespace

NB_MODULE(promptdeck, m) {
    pk::Module mod(m, "panekit.promptdeck",
                   "Console REPL that steers a running panekit window through its control port.");
    mod.import_names("typing", {"Type"});  // what the annotations name, beside T
    mod.def<help_commands_spec>(help_commands_text);
    mod.def<help_detail_spec>(help_detail_text);

    nb::object T = pk::import("typing").attr("TypeVar")("T", "bound"_a = kClass);
    nb::setattr(T, "__module__", mod.name());
    mod.set("T", T);

    nb::handle object = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    mod.set(kClass, mod.klass(kClass, nb::make_tuple(object), kClassDoc)
                        .method<init_spec>(init)
                        .property<port_spec>(port)
                        .method<emit_spec>(emit)
                        .method<format_spec>(format_result)
                        .method<commands_line_spec>(help_commands_line)
                        .method<detail_block_spec>(help_detail_block)
                        .method<navigate_spec>(handle_navigate)
                        .method<go_back_spec>(remote_call<kGoBack>)
                        .method<go_forward_spec>(remote_call<kGoForward>)
                        .method<reload_spec>(remote_call<kReload>)
                        .method<get_url_spec>(remote_call<kGetUrl>)
                        .method<state_spec>(remote_call<kState>)
                        .method<script_spec>(handle_script)
                        .method<screenshot_spec>(handle_screenshot)
                        .method<help_spec>(handle_help)
                        .method<quit_spec>(handle_quit)
                        .method<missing_arg_spec>(handle_navigate_missing_arg)
                        .method<unknown_spec>(handle_unknown)
                        .method<dispatch_spec>(dispatch)
                        .method<run_repl_spec>(run_repl)
                        .classmethod<run_on_port_spec>(run_on_port)
                        .build());
}
