// What both transports share.
#include "driver/server.h"

namespace tamrel_sim {

std::string reply_to(const RequestHandler& handler, const Request& request)
{
    try {
        std::string reply = handler(request);
        if (!reply.empty())
            return reply;
    } catch (...) {
    }
    return "ERR internal error: the request could not be handled";
}

std::string describe_failure(const char* what, const std::string& cause)
{
    std::string text = std::string("cannot ") + what;
    if (!cause.empty())
        text += ": " + cause;
    return text;
}

} // namespace tamrel_sim
