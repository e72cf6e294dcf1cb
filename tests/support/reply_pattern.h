// The filler text that test_pipe_server sends for --reply-size N, so that a
// test can predict it: digits cycling 0..9, then a letter every 100 bytes,
// so that a reply cut at the wrong offset does not look like the right one.
#pragma once

#include <cstddef>
#include <string>

namespace tamrel_test {

inline std::string reply_pattern(std::size_t size)
{
    std::string text(size, '0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = (i % 100 == 99) ? static_cast<char>('a' + (i / 100) % 26) : static_cast<char>('0' + i % 10);
    return text;
}

} // namespace tamrel_test
