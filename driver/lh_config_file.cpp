// The rules for lighthouse config paths that hold on every system.
#include "driver/lh_config_file.h"

namespace tamrel_sim {

namespace {

bool is_slash(char c)
{
    return c == '\\' || c == '/';
}

} // namespace

bool names_device_or_network(std::string_view path)
{
    if (path.size() >= 2 && is_slash(path[0]) && is_slash(path[1]))
        return true;
    return path.size() >= 4 && is_slash(path[0]) && path[1] == '?' && path[2] == '?' && is_slash(path[3]);
}

FileLoad load_lh_config_file(const std::string& path)
{
    FileLoad load = read_lh_config_file(path);
    if (load.status != FileStatus::loaded)
        load.bytes = 0;
    return load;
}

} // namespace tamrel_sim
