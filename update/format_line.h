#pragma once
// The formatter of log lines that carry a value ("%s" a wide text, "%u" an unsigned and
// "%d" a signed 32-bit number, "%%" a percent sign).
//
// A line too long for the buffer is cut inside its values, never in the text after the
// last value: the line end (and whatever closes the line) always survives.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "update/update_session.h"

struct FormatValue {
    enum class Kind { Text, Unsigned, Signed };
    Kind kind;
    const wchar_t* text = nullptr;
    std::uint32_t unsignedValue = 0;
    std::int32_t signedValue = 0;

    FormatValue(const wchar_t* value) : kind(Kind::Text), text(value) {}
    FormatValue(std::uint32_t value) : kind(Kind::Unsigned), unsignedValue(value) {}
    FormatValue(std::int32_t value) : kind(Kind::Signed), signedValue(value) {}
};

// Formats into line (terminator included); returns the number of characters written,
// the terminator not counted.
int FormatLineValues(std::span<wchar_t, LINE_BUFFER_SIZE> line, const wchar_t* format,
                     std::span<const FormatValue> values);

template <class... Values>
int FormatLine(std::array<wchar_t, LINE_BUFFER_SIZE>& line, const wchar_t* format,
               Values... values) {
    const std::array<FormatValue, sizeof...(Values)> list{FormatValue(values)...};
    return FormatLineValues(line, format, list);
}
