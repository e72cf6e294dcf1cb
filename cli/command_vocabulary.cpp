#include "cli/command_vocabulary.h"

#include <string.h>

namespace {

enum class Match { exact, prefix };

struct CommandForm {
    const char* text;
    Match match;
};

// Compared byte for byte, case-sensitively. "backglow fill" has no trailing
// space, so "backglow fill" alone and "backglow fillFF8000" are accepted.
constexpr CommandForm COMMAND_FORMS[] = {
    {"proximity on", Match::exact},
    {"proximity off", Match::exact},
    {"proximity auto", Match::exact},
    {"status", Match::exact},
    {"ipd ", Match::prefix},
    {"ipd?", Match::exact},
    {"load_lh_config ", Match::prefix},
    {"backglow fill", Match::prefix},
    {"backglow set ", Match::prefix},
    {"backglow bri ", Match::prefix},
    {"backglow off", Match::exact},
    {"backglow on", Match::exact},
    {"backglow status", Match::exact},
};

bool matches(const CommandForm& form, const char* command)
{
    size_t length = strlen(form.text);
    if (strncmp(command, form.text, length) != 0)
        return false;
    return form.match == Match::prefix || command[length] == '\0';
}

} // namespace

bool is_known_command(const char* command)
{
    for (const CommandForm& form : COMMAND_FORMS) {
        if (matches(form, command))
            return true;
    }
    return false;
}
