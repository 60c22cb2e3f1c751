#include "platform/viewer_input.hpp"

#include <unistd.h>

#include <iostream>

#include "platform/units.hpp"

namespace linac {

ViewerInput::ViewerInput() : in_(&std::cin), prompt_out_(&std::cerr), terminal_(isatty(0) == 1) {}

ViewerInput::ViewerInput(std::istream& in, bool terminal, std::ostream* prompt_out)
    : in_(&in), prompt_out_(prompt_out), terminal_(terminal) {}

void ViewerInput::redirect(std::istream& in, bool terminal, std::ostream* prompt_out) {
  in_ = &in;
  terminal_ = terminal;
  prompt_out_ = prompt_out;
}

std::optional<std::string> ViewerInput::read_line(std::string_view prompt) {
  if (!terminal_) return std::nullopt;
  if (prompt_out_) {
    *prompt_out_ << prompt;
    prompt_out_->flush();
  }
  std::string line;
  ++lines_read_;
  if (!read_bounded_line(*in_, line, "standard input", lines_read_)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace linac
