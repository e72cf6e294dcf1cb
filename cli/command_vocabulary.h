// The fixed set of commands the tool passes on to the driver. The stand-in
// driver dispatches on the same table.
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
constexpr CommandForm COMMAND_FORMS[] = {
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

// True when `command` is one of the exact forms, or begins with one of the
// prefix forms. Arguments after a prefix form are the driver's business.
bool is_known_command(const char* command);
