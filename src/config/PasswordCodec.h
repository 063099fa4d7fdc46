#pragma once

#include <string>
#include <string_view>

namespace config {

// Encodes passwords for the settings file and decodes them back: a
// reversible byte scrambling with a fixed key table, then base64. The
// result codes are those stored files and callers rely on: 0 success,
// 13 bad argument (empty input, or a result that would be empty),
// 14 out of memory. `out` is written only when the result is 0.
// Passwords are UTF-8; a decoded password that is not valid UTF-8 was
// stored by a Windows installation in code page 1252 and comes back
// converted to UTF-8.
// Not thread-safe; each owner keeps its own instance.
class PasswordCodec {
public:
    static constexpr int kOk = 0;
    static constexpr int kBadArgument = 13;
    static constexpr int kOutOfMemory = 14;

    int Encode(std::string_view plain, std::string& out);
    int Decode(std::string_view stored, std::string& out);
};

} // namespace config
