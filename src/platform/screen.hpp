// The screen: the main text window, which is standard output here. Tests
// point it at a string stream.
#pragma once

#include <iostream>
#include <ostream>
#include <string_view>

namespace linac {

class Screen {
 public:
  Screen() : out_(&std::cout) {}
  explicit Screen(std::ostream& out) : out_(&out) {}
  void redirect(std::ostream& out) { out_ = &out; }
  // One record: the text and a line end.
  void write_line(std::string_view text) { *out_ << text << '\n'; }
  void flush() { out_->flush(); }

 private:
  std::ostream* out_;
};

}  // namespace linac
