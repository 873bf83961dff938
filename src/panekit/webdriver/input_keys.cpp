// The WebDriver key table: what a key value names (its normalised key, physical code, location,
// modifier, shifted form) and how text splits into the graphemes that are typed one at a time.
#include "input.hpp"

#include <array>
#include <cstring>

namespace pk::input {

namespace {

// ---- UTF-8 --------------------------------------------------------------------------------------
// The code point at `at` (advanced past it); U+FFFD for a malformed sequence.
char32_t next_code_point(std::string_view s, std::size_t &at) {
    auto b = static_cast<unsigned char>(s[at++]);
    int more = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (more < 0) return 0xFFFD;
    char32_t cp = more == 0 ? b : b & (0x3F >> more);
    for (int i = 0; i < more; ++i) {
        if (at >= s.size() || (static_cast<unsigned char>(s[at]) & 0xC0) != 0x80) return 0xFFFD;
        cp = (cp << 6) | (static_cast<unsigned char>(s[at++]) & 0x3F);
    }
    return cp;
}

// A code point that joins the one before it into one grapheme: combining marks, variation
// selectors, the zero-width joiner, emoji modifiers and tags.
bool joins_previous(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x0483 && c <= 0x0489) || (c >= 0x0591 && c <= 0x05BD) ||
           (c >= 0x0610 && c <= 0x061A) || (c >= 0x064B && c <= 0x065F) || (c >= 0x0900 && c <= 0x0903) ||
           (c >= 0x093A && c <= 0x094F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
           (c >= 0x20D0 && c <= 0x20FF) || (c >= 0x3099 && c <= 0x309A) || (c >= 0xFE00 && c <= 0xFE0F) ||
           (c >= 0xFE20 && c <= 0xFE2F) || c == 0x200D || (c >= 0x1F3FB && c <= 0x1F3FF) ||
           (c >= 0xE0020 && c <= 0xE007F) || (c >= 0xE0100 && c <= 0xE01EF);
}

struct Named {
    char32_t cp;
    const char *key;
    const char *code;
    int location;
    unsigned modifier;
};
// The \uE000 range: the normalised key value, the code and the location of each.
constexpr Named kNamed[] = {
    {0xE000, "Unidentified", "", 0, 0},   {0xE001, "Cancel", "", 0, 0},
    {0xE002, "Help", "Help", 0, 0},       {0xE003, "Backspace", "Backspace", 0, 0},
    {0xE004, "Tab", "Tab", 0, 0},         {0xE005, "Clear", "", 0, 0},
    {0xE006, "Enter", "Enter", 0, 0},     {0xE007, "Enter", "NumpadEnter", 3, 0},
    {0xE008, "Shift", "ShiftLeft", 1, kShift},   {0xE009, "Control", "ControlLeft", 1, kCtrl},
    {0xE00A, "Alt", "AltLeft", 1, kAlt},  {0xE00B, "Pause", "Pause", 0, 0},
    {0xE00C, "Escape", "Escape", 0, 0},   {0xE00D, " ", "Space", 0, 0},
    {0xE00E, "PageUp", "PageUp", 0, 0},   {0xE00F, "PageDown", "PageDown", 0, 0},
    {0xE010, "End", "End", 0, 0},         {0xE011, "Home", "Home", 0, 0},
    {0xE012, "ArrowLeft", "ArrowLeft", 0, 0},   {0xE013, "ArrowUp", "ArrowUp", 0, 0},
    {0xE014, "ArrowRight", "ArrowRight", 0, 0}, {0xE015, "ArrowDown", "ArrowDown", 0, 0},
    {0xE016, "Insert", "Insert", 0, 0},   {0xE017, "Delete", "Delete", 0, 0},
    {0xE018, ";", "Semicolon", 0, 0},     {0xE019, "=", "Equal", 0, 0},
    {0xE01A, "0", "Numpad0", 3, 0},       {0xE01B, "1", "Numpad1", 3, 0},
    {0xE01C, "2", "Numpad2", 3, 0},       {0xE01D, "3", "Numpad3", 3, 0},
    {0xE01E, "4", "Numpad4", 3, 0},       {0xE01F, "5", "Numpad5", 3, 0},
    {0xE020, "6", "Numpad6", 3, 0},       {0xE021, "7", "Numpad7", 3, 0},
    {0xE022, "8", "Numpad8", 3, 0},       {0xE023, "9", "Numpad9", 3, 0},
    {0xE024, "*", "NumpadMultiply", 3, 0}, {0xE025, "+", "NumpadAdd", 3, 0},
    {0xE026, ",", "NumpadComma", 3, 0},   {0xE027, "-", "NumpadSubtract", 3, 0},
    {0xE028, ".", "NumpadDecimal", 3, 0}, {0xE029, "/", "NumpadDivide", 3, 0},
    {0xE031, "F1", "F1", 0, 0},   {0xE032, "F2", "F2", 0, 0},   {0xE033, "F3", "F3", 0, 0},
    {0xE034, "F4", "F4", 0, 0},   {0xE035, "F5", "F5", 0, 0},   {0xE036, "F6", "F6", 0, 0},
    {0xE037, "F7", "F7", 0, 0},   {0xE038, "F8", "F8", 0, 0},   {0xE039, "F9", "F9", 0, 0},
    {0xE03A, "F10", "F10", 0, 0}, {0xE03B, "F11", "F11", 0, 0}, {0xE03C, "F12", "F12", 0, 0},
    {0xE03D, "Meta", "MetaLeft", 1, kMeta},     {0xE040, "ZenkakuHankaku", "Lang1", 0, 0},
    {0xE050, "Shift", "ShiftRight", 2, kShift}, {0xE051, "Control", "ControlRight", 2, kCtrl},
    {0xE052, "Alt", "AltRight", 2, kAlt},       {0xE053, "Meta", "MetaRight", 2, kMeta},
    {0xE054, "PageUp", "Numpad9", 3, 0},  {0xE055, "PageDown", "Numpad3", 3, 0},
    {0xE056, "End", "Numpad1", 3, 0},     {0xE057, "Home", "Numpad7", 3, 0},
    {0xE058, "ArrowLeft", "Numpad4", 3, 0},  {0xE059, "ArrowUp", "Numpad8", 3, 0},
    {0xE05A, "ArrowRight", "Numpad6", 3, 0}, {0xE05B, "ArrowDown", "Numpad2", 3, 0},
    {0xE05C, "Insert", "Numpad0", 3, 0},  {0xE05D, "Delete", "NumpadDecimal", 3, 0},
};

// The printable keys of a US keyboard: unshifted and shifted character, and the code of the key.
struct Printable {
    char plain, shifted;
    const char *code;
};
constexpr Printable kPrintable[] = {
    {'`', '~', "Backquote"},   {'\\', '|', "Backslash"},   {'[', '{', "BracketLeft"},
    {']', '}', "BracketRight"}, {',', '<', "Comma"},       {'=', '+', "Equal"},
    {'-', '_', "Minus"},       {'.', '>', "Period"},       {'\'', '"', "Quote"},
    {';', ':', "Semicolon"},   {'/', '?', "Slash"},        {' ', ' ', "Space"},
    {'0', ')', "Digit0"}, {'1', '!', "Digit1"}, {'2', '@', "Digit2"}, {'3', '#', "Digit3"},
    {'4', '$', "Digit4"}, {'5', '%', "Digit5"}, {'6', '^', "Digit6"}, {'7', '&', "Digit7"},
    {'8', '*', "Digit8"}, {'9', '(', "Digit9"},
};

}  // namespace

bool single_grapheme(std::string_view raw) {
    if (raw.empty()) return false;
    std::size_t at = 0;
    next_code_point(raw, at);
    char32_t prev = 0;
    while (at < raw.size()) {
        char32_t c = next_code_point(raw, at);
        if (!joins_previous(c) && prev != 0x200D) return false;
        prev = c;
    }
    return true;
}

std::vector<std::string> graphemes(std::string_view text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    char32_t prev = 0;
    while (at < text.size()) {
        std::size_t start = at;
        char32_t c = next_code_point(text, at);
        bool joined = !out.empty() && (joins_previous(c) || prev == 0x200D) && !(prev >= 0xE000 && prev <= 0xF8FF);
        if (joined) out.back().append(text.substr(start, at - start));
        else out.emplace_back(text.substr(start, at - start));
        prev = c;
    }
    return out;
}

Key describe_key(std::string_view raw) {
    Key k;
    k.key = std::string(raw);
    std::size_t at = 0;
    char32_t cp = raw.empty() ? 0 : next_code_point(raw, at);
    if (at != raw.size()) return k;  // a cluster of several code points: the key is its text
    // Control characters that clients send for the keys they stand for.
    if (cp == '\n' || cp == '\r') cp = 0xE006;
    if (cp == '\t') cp = 0xE004;
    if (cp == '\b') cp = 0xE003;
    for (const Named &n : kNamed) {
        if (n.cp == cp) {
            k.key = n.key;
            k.code = n.code;
            k.location = n.location;
            k.modifier = n.modifier;
            return k;
        }
    }
    if (cp >= 'a' && cp <= 'z') {
        k.code = std::string("Key") + static_cast<char>(cp - 'a' + 'A');
    } else if (cp >= 'A' && cp <= 'Z') {
        k.code = std::string("Key") + static_cast<char>(cp);
        k.shifted = true;
    } else if (cp < 0x80) {
        for (const Printable &p : kPrintable) {
            if (static_cast<char32_t>(p.plain) == cp || static_cast<char32_t>(p.shifted) == cp) {
                k.code = p.code;
                k.shifted = cp != ' ' && static_cast<char32_t>(p.shifted) == cp;
                break;
            }
        }
    }
    return k;
}

}  // namespace pk::input
