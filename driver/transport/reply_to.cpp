#include "driver/transport/server.h"

namespace tamrel_sim {

std::string reply_to(const RequestHandler& handler, std::string_view request)
{
    try {
        std::string reply = handler(request);
        if (!reply.empty())
            return reply;
    } catch (...) {
    }
    return "ERR internal error: the request could not be handled";
}

} // namespace tamrel_sim
