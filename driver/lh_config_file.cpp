// The rules for lighthouse config paths that hold on every system.
#include "driver/lh_config_file.h"

#include "driver/system.h"

namespace tamrel_driver_sim {

namespace {

bool is_slash(char c)
{
    return c == '\\' || c == '/';
}

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_case)
{
    if (text.size() != lower_case.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (lower(text[i]) != lower_case[i])
            return false;
    }
    return true;
}

// A port number of COMn or LPTn: a digit, or a superscript 1, 2 or 3.
bool is_port_number(std::string_view text)
{
    static const char* const SUPERSCRIPTS[] = {"\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '9')
        return true;
    for (const char* superscript : SUPERSCRIPTS) {
        if (text == superscript)
            return true;
    }
    return false;
}

} // namespace

bool names_device_or_network(std::string_view path)
{
    if (path.size() >= 2 && is_slash(path[0]) && is_slash(path[1]))
        return true;
    return path.size() >= 4 && is_slash(path[0]) && path[1] == '?' && path[2] == '?' && is_slash(path[3]);
}

bool names_reserved_device(std::string_view path)
{
    std::size_t slash = path.find_last_of("\\/");
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (slash == std::string_view::npos && name.size() >= 2 && name[1] == ':')
        name.remove_prefix(2); // a drive's current folder: C:nul
    name = name.substr(0, name.find_first_of(".:")); // no extension, no stream
    while (!name.empty() && name.back() == ' ')
        name.remove_suffix(1);

    static const char* const DEVICES[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (const char* device : DEVICES) {
        if (equals_ignoring_case(name, device))
            return true;
    }
    return name.size() > 3 && (equals_ignoring_case(name.substr(0, 3), "com") ||
                               equals_ignoring_case(name.substr(0, 3), "lpt")) &&
           is_port_number(name.substr(3));
}

FileLoad load_lh_config_file(const std::string& path)
{
    FileLoad load = read_lh_config_file(path);
    if (load.status != FileStatus::loaded)
        load.bytes = 0;
    return load;
}

} // namespace tamrel_driver_sim
