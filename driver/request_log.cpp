#include "driver/request_log.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

namespace tamrel_driver_sim {

// What the serving thread and the log thread share. The log thread holds it
// too, so that it outlives the Log that the thread may outlast.
struct LogQueue {
    LogOutput output;
    std::string program;
    std::size_t capacity;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
    std::size_t lost = 0;
    bool writing = false;
    bool closed = false;
};

namespace {

// The length of the UTF-8 sequence at the start of `text` when it is valid
// and encodes a printable character (U+00A0 and up), else 0.
std::size_t printable_utf8_length(std::string_view text)
{
    static const std::uint32_t LEAST[] = {0, 0, 0xA0, 0x800, 0x10000};
    unsigned char lead = static_cast<unsigned char>(text[0]);
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || text.size() < length)
        return 0;
    std::uint32_t code = lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        unsigned char next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3Fu);
    }
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code >= LEAST[length] && code <= 0x10FFFF && !surrogate ? length : 0;
}

void append_escaped(std::string& line, std::string_view text)
{
    static const char HEX[] = "0123456789abcdef";
    for (std::size_t i = 0; i < text.size();) {
        char c = text[i];
        unsigned char byte = static_cast<unsigned char>(c);
        std::size_t character = byte >= 0x80 ? printable_utf8_length(text.substr(i)) : 0;
        if (c == '"' || c == '\\') {
            line += '\\';
            line += c;
        } else if (byte >= 0x20 && byte < 0x7F) {
            line += c;
        } else if (character != 0) {
            line.append(text.substr(i, character));
            i += character;
            continue;
        } else {
            line += "\\x";
            line += HEX[byte >> 4];
            line += HEX[byte & 0xF];
        }
        ++i;
    }
}

// The log thread: writes what is queued, a batch at a time, until the Log
// is gone and nothing is left.
void write_queued(std::shared_ptr<LogQueue> queue)
{
    std::vector<std::string> batch;
    for (;;) {
        std::size_t lost = 0;
        {
            std::unique_lock<std::mutex> lock(queue->mutex);
            queue->writing = false;
            queue->changed.notify_all();
            queue->changed.wait(lock, [&] { return queue->closed || !queue->lines.empty() || queue->lost != 0; });
            if (queue->lines.empty() && queue->lost == 0)
                return;
            batch.swap(queue->lines);
            std::swap(lost, queue->lost);
            queue->writing = true;
        }
        // Every line lost came after the batch: the queue was full of it.
        std::string bytes;
        for (const std::string& line : batch)
            bytes += line;
        if (lost != 0)
            bytes += queue->program + ": " + std::to_string(lost) + (lost == 1 ? " log line" : " log lines") +
                     " lost: standard error was not read in time\n";
        write_out(queue->output, bytes);
        batch.clear();
    }
}

} // namespace

bool colour_wanted(bool stderr_is_terminal, const char* no_color, const char* term)
{
    bool no_color_set = no_color != nullptr && no_color[0] != '\0';
    bool dumb = term != nullptr && std::strcmp(term, "dumb") == 0;
    return stderr_is_terminal && !no_color_set && !dumb;
}

bool log_in_colour()
{
    const char* no_color = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    return colour_wanted(true, no_color, term) && stderr_takes_colour();
}

std::string format_log_line(std::chrono::system_clock::time_point when, std::string_view request,
                            std::size_t request_length, std::string_view reply)
{
    using namespace std::chrono;
    std::time_t seconds = system_clock::to_time_t(when);
    long long millis = duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000;
    if (millis < 0)
        millis += 1000;
    std::tm parts = local_time(seconds);
    char stamp[40];
    std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
    std::snprintf(stamp + length, sizeof stamp - length, ".%03lld", millis);

    std::string line = stamp;
    line += " \"";
    append_escaped(line, request.substr(0, LOGGED_REQUEST_BYTES));
    line += '"';
    if (request_length > LOGGED_REQUEST_BYTES)
        line += "... (" + std::to_string(request_length) + " bytes)";
    line += " -> ";
    append_escaped(line, reply.substr(0, reply.find('\n')));
    line += '\n';
    return line;
}

Log::Log(LogOutput output, std::string program, std::size_t capacity) : queue_(std::make_shared<LogQueue>())
{
    queue_->output = output;
    queue_->program = std::move(program);
    queue_->capacity = capacity;
    std::thread(write_queued, queue_).detach();
}

Log::~Log()
{
    std::lock_guard<std::mutex> lock(queue_->mutex);
    queue_->closed = true;
    queue_->changed.notify_all();
}

void Log::write(std::string line)
{
    std::lock_guard<std::mutex> lock(queue_->mutex);
    if (queue_->lines.size() >= queue_->capacity) {
        ++queue_->lost;
        return;
    }
    // The thread waits only for a first line; under Wine a wake-up costs a
    // trip to its server, so there is none while it has lines to write.
    bool waiting = queue_->lines.empty() && queue_->lost == 0 && !queue_->writing;
    queue_->lines.push_back(std::move(line));
    if (waiting)
        queue_->changed.notify_all();
}

bool Log::flush(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(queue_->mutex);
    return queue_->changed.wait_for(lock, timeout,
                                    [&] { return queue_->lines.empty() && queue_->lost == 0 && !queue_->writing; });
}

} // namespace tamrel_driver_sim
