#include "cli/command_vocabulary.h"

#include <string.h>

static bool matches(const CommandForm& form, const char* command)
{
    size_t length = strlen(form.text);
    if (strncmp(command, form.text, length) != 0)
        return false;
    return form.match == FormMatch::prefix || command[length] == '\0';
}

bool is_known_command(const char* command)
{
    for (const CommandForm& form : COMMAND_FORMS) {
        if (matches(form, command))
            return true;
    }
    return false;
}
