// What the end-to-end tests need to set up children and to find what outlived a run: files read
// whole, small scripts, and the live processes that carry a marker in their environment.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// An executable sh script named name in directory.
inline void write_script(const std::filesystem::path& directory, const std::string& name,
                         const std::string& body) {
  std::ofstream(directory / name) << "#!/bin/sh\n" << body << "\n";
  std::filesystem::permissions(directory / name, std::filesystem::perms::owner_all);
}

// Live processes whose environment holds marker (a zombie's is empty), as "PID: NAME", once none
// is left or patience ran out: the kernel may need a moment to end them.
inline std::vector<std::string> survivors(const std::string& marker,
                                          std::chrono::milliseconds patience) {
  std::vector<std::string> found;
  for (auto deadline = std::chrono::steady_clock::now() + patience;;) {
    found.clear();
    for (const auto& entry : std::filesystem::directory_iterator("/proc"))
      if (read_file(entry.path() / "environ").find(marker + '\0') != std::string::npos)
        found.push_back(entry.path().filename().string() + ": " + read_file(entry.path() / "comm"));
    if (found.empty() || std::chrono::steady_clock::now() >= deadline) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
