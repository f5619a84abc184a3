#include "update/format_line.h"

namespace {

// Writes into a fixed span up to a limit; characters past the limit are dropped.
class LineWriter {
public:
    LineWriter(std::span<wchar_t> line, std::size_t limit) : line_(line), limit_(limit) {}

    void Put(wchar_t c) {
        if (length_ < limit_) line_[length_++] = c;
    }
    void PutText(const wchar_t* text) {
        for (; *text != L'\0'; ++text) Put(*text);
    }
    void PutDecimal(std::uint32_t value, bool negative) {
        wchar_t digits[10];
        int count = 0;
        do {
            digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value != 0);
        if (negative) Put(L'-');
        while (count > 0) Put(digits[--count]);
    }
    void SetLimit(std::size_t limit) { limit_ = limit; }
    std::size_t Length() const { return length_; }

private:
    std::span<wchar_t> line_;
    std::size_t limit_;
    std::size_t length_ = 0;
};

bool IsConversion(wchar_t c) { return c == L's' || c == L'u' || c == L'd'; }

// Where the closing text begins: just after the last conversion ("%%" is no conversion).
const wchar_t* ClosingText(const wchar_t* format) {
    const wchar_t* closing = format;
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%' || p[1] == L'\0') continue;
        ++p;
        if (IsConversion(*p)) closing = p + 1;
    }
    return closing;
}

// Writes format[begin, end) with its conversions; returns the index of the next value.
std::size_t WriteFormatted(LineWriter& out, const wchar_t* begin, const wchar_t* end,
                           std::span<const FormatValue> values, std::size_t next) {
    for (const wchar_t* p = begin; p < end; ++p) {
        if (*p != L'%' || p + 1 >= end) {
            out.Put(*p);
            continue;
        }
        const wchar_t conversion = *++p;
        if (conversion == L'%') {
            out.Put(L'%');
            continue;
        }
        if (!IsConversion(conversion)) {
            out.Put(L'%');
            out.Put(conversion);
            continue;
        }
        if (next >= values.size()) continue;
        const FormatValue& value = values[next++];
        if (conversion == L's') {
            if (value.kind == FormatValue::Kind::Text) out.PutText(value.text ? value.text : L"(null)");
            continue;
        }
        const std::int32_t asSigned = value.kind == FormatValue::Kind::Signed
                                          ? value.signedValue
                                          : static_cast<std::int32_t>(value.unsignedValue);
        const std::uint32_t asUnsigned = value.kind == FormatValue::Kind::Signed
                                             ? static_cast<std::uint32_t>(value.signedValue)
                                             : value.unsignedValue;
        if (conversion == L'u' || asSigned >= 0) {
            out.PutDecimal(conversion == L'u' ? asUnsigned : static_cast<std::uint32_t>(asSigned),
                           false);
        } else {
            out.PutDecimal(0u - static_cast<std::uint32_t>(asSigned), true);
        }
    }
    return next;
}

std::size_t Length(const wchar_t* text) {
    std::size_t n = 0;
    while (text[n] != L'\0') ++n;
    return n;
}

}  // namespace

int FormatLineValues(std::span<wchar_t, LINE_BUFFER_SIZE> line, const wchar_t* format,
                     std::span<const FormatValue> values) {
    const std::size_t capacity = LINE_BUFFER_SIZE - 1;  // room for the terminator
    const wchar_t* closing = ClosingText(format);
    const wchar_t* formatEnd = closing + Length(closing);

    // The closing text holds no conversion, so its length is known before writing;
    // "%%" in it takes one character.
    std::size_t closingLength = 0;
    for (const wchar_t* p = closing; p < formatEnd; ++p) {
        if (*p == L'%' && p + 1 < formatEnd && p[1] == L'%') ++p;
        ++closingLength;
    }
    const std::size_t bodyRoom = closingLength < capacity ? capacity - closingLength : 0;

    LineWriter out(line, bodyRoom);
    const std::size_t next = WriteFormatted(out, format, closing, values, 0);
    out.SetLimit(capacity);
    WriteFormatted(out, closing, formatEnd, values, next);
    line[out.Length()] = L'\0';
    return static_cast<int>(out.Length());
}
