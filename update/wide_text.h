#pragma once
// Wide texts (UTF-32 wchar_t on this platform) to and from UTF-8, for file paths and for
// log lines written to a terminal.

#include <string>
#include <string_view>

// Code points that cannot be encoded become U+FFFD.
std::string ToUtf8(std::wstring_view text);
// Malformed sequences become U+FFFD, one per offending byte.
std::wstring FromUtf8(std::string_view text);
