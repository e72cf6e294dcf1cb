// Fuzz target: is_known_command against a second, independent statement of
// the vocabulary. Any disagreement aborts.
//
// The model does not scan a table of forms. It reads the command as a word,
// then either a fixed tail or any tail, the way a person reads the usage
// text, using std::string operations only.
#include "control/command_forms.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

bool tail_is_one_of(const std::string& tail, std::initializer_list<const char*> tails)
{
    for (const char* t : tails) {
        if (tail == t)
            return true;
    }
    return false;
}

bool model_accepts(const std::string& command)
{
    if (command == "status" || command == "ipd?")
        return true;

    std::string::size_type space = command.find(' ');
    if (space == std::string::npos)
        return false;
    std::string word = command.substr(0, space);
    std::string tail = command.substr(space + 1);

    if (word == "proximity")
        return tail_is_one_of(tail, {"on", "off", "auto"});
    if (word == "ipd" || word == "load_lh_config")
        return true;  // anything after the space, even nothing
    if (word == "backglow") {
        if (tail_is_one_of(tail, {"off", "on", "status"}))
            return true;
        // "fill" takes any continuation, glued on or not; "set" and "bri"
        // need their own space.
        if (tail.compare(0, 4, "fill") == 0)
            return true;
        return tail.compare(0, 4, "set ") == 0 || tail.compare(0, 4, "bri ") == 0;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The command line hands the tool a NUL-terminated string: the input up
    // to its first NUL. The copy is exactly that long, so that a read past
    // the terminator is caught by AddressSanitizer.
    const void* nul = std::memchr(data, 0, size);
    std::size_t length = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data) : size;
    std::unique_ptr<char[]> command(new char[length + 1]);
    std::memcpy(command.get(), data, length);
    command[length] = '\0';

    bool tool = is_known_command(command.get());
    bool model = model_accepts(std::string(command.get(), length));
    if (tool != model) {
        std::fprintf(stderr, "vocabulary disagreement on \"%s\": is_known_command says %s, the model %s\n",
                     command.get(), tool ? "known" : "unknown", model ? "known" : "unknown");
        std::abort();
    }
    return 0;
}
