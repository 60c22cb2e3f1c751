// Helpers shared by the tests: scratch directories and whole-file reads.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fatal.hpp"

namespace linac::testing {

// A fresh directory under the system's temporary directory, removed at the end.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
      path_ = base / ("linac-test-" + std::to_string(rd()));
      if (std::filesystem::create_directory(path_)) break;
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A run's text file without the task's begin and end stamps (they carry
// the clock), for comparing runs made at different times.
inline std::string without_stamps(const std::string& text) {
  std::istringstream in(text);
  std::string line, out;
  while (std::getline(in, line))
    if (line.find("Task begin at") == std::string::npos &&
        line.find("Task end at") == std::string::npos)
      out += line + "\n";
  return out;
}

inline std::vector<std::string> read_lines(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

inline void write_file(const std::filesystem::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

// The first message line of the fatal stop that ends f; "<no stop>" when f
// returns normally, "<empty>" for a stop without lines.
template <class F>
std::string fatal_text(F&& f) {
  try {
    f();
  } catch (const FatalStop& s) {
    return s.lines().empty() ? std::string("<empty>") : s.lines().front();
  }
  return "<no stop>";
}

// Runs f, which must stop the run with one message line; returns that line.
template <class F>
std::string fatal_message(F&& f) {
  try {
    f();
  } catch (const FatalStop& e) {
    EXPECT_EQ(e.lines().size(), 1u);
    return e.lines().empty() ? std::string() : e.lines().front();
  }
  ADD_FAILURE() << "no FatalStop";
  return {};
}

}  // namespace linac::testing
