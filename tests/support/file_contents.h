#pragma once
// Reading what a test run left in files: whole contents, and the SHA-256 that Debian's
// sha256sum computes (independent of the simulator's own digest).

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testnet {

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The 64 hex digits of the file's SHA-256, or "" when sha256sum cannot be run.
inline std::string Sha256Of(const std::filesystem::path& path) {
    const std::string command = "sha256sum '" + path.string() + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    char hex[65] = {};
    const std::size_t got = std::fread(hex, 1, 64, pipe);
    ::pclose(pipe);
    return std::string(hex, got);
}

}  // namespace testnet
