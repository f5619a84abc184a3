#include "lab/report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace lab {

bool Report::Open(const std::string& path) {
    if (path.empty()) {
        toStandardOutput_ = true;
        return true;
    }
    file_.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    toStandardOutput_ = false;
    return file_.IsOpen();
}

void Report::Line(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    const int descriptor = toStandardOutput_ ? STDOUT_FILENO : file_.Get();
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(descriptor, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace lab
