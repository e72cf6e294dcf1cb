#include "control/command_forms.h"

#include <string.h>

const CommandForm* find_form(const char* bytes, size_t length)
{
    for (const CommandForm& form : COMMAND_FORMS) {
        size_t form_length = strlen(form.text);
        bool fits = form.match == FormMatch::exact ? length == form_length : length >= form_length;
        if (fits && memcmp(bytes, form.text, form_length) == 0)
            return &form;
    }
    return nullptr;
}

bool is_known_command(const char* command)
{
    return find_form(command, strlen(command)) != nullptr;
}
