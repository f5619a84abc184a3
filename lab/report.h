#pragma once
// The simulator's event report: one line per event, each written with one write() so
// that a reader polling the file never sees half a line.

#include <string>
#include <string_view>

#include "lab/file_descriptor.h"

namespace lab {

class Report {
public:
    // An empty path reports to standard output. False when the file cannot be opened.
    bool Open(const std::string& path);
    void Line(std::string_view text);

private:
    FileDescriptor file_;
    bool toStandardOutput_ = true;
};

}  // namespace lab
