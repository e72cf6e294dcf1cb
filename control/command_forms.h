// Tool source: C headers only, no heap, no exceptions, no C++ library (README.md, Layout).
//
// The forms of the commands that a request may take: the tool sends nothing
// else, and a driver dispatches on the same table.
#pragma once

#include <stddef.h>

// How a form is compared with a command: byte for byte, case included, with
// the whole command (exact) or with its first bytes, for exactly as many
// bytes as the form has (prefix: the rest is the command's arguments).
enum class FormMatch { exact, prefix };

struct CommandForm {
    const char* text;
    FormMatch match;
};

// In the order they are tested. "backglow fill" has no trailing space, so
// "backglow fill" alone and "backglow fillFF8000" are commands.
inline constexpr CommandForm COMMAND_FORMS[] = {
    {"proximity on", FormMatch::exact},
    {"proximity off", FormMatch::exact},
    {"proximity auto", FormMatch::exact},
    {"status", FormMatch::exact},
    {"ipd ", FormMatch::prefix},
    {"ipd?", FormMatch::exact},
    {"load_lh_config ", FormMatch::prefix},
    {"backglow fill", FormMatch::prefix},
    {"backglow set ", FormMatch::prefix},
    {"backglow bri ", FormMatch::prefix},
    {"backglow off", FormMatch::exact},
    {"backglow on", FormMatch::exact},
    {"backglow status", FormMatch::exact},
};
constexpr size_t COMMAND_FORM_COUNT = sizeof COMMAND_FORMS / sizeof COMMAND_FORMS[0];

// The form that the `length` bytes at `bytes` take: the exact form they are,
// or the prefix form they begin with. Null for none. The bytes are counted,
// not terminated: a request may hold a NUL, and "status\0x" is not "status".
const CommandForm* find_form(const char* bytes, size_t length);

// Whether the C string `command` takes a form: what the tool sends.
bool is_known_command(const char* command);
