// The step viewer's keyboard: one typed line per answer, from standard
// input. A prompt is written to standard error, and only when standard
// input is a terminal; without a terminal nothing is read (an unattended
// run never waits). Tests give a scripted stream and say whether it counts
// as a terminal.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace linac {

class ViewerInput {
 public:
  ViewerInput();  // standard input, is-a-terminal tested once
  ViewerInput(std::istream& in, bool terminal, std::ostream* prompt_out = nullptr);
  void redirect(std::istream& in, bool terminal, std::ostream* prompt_out = nullptr);
  bool terminal() const { return terminal_; }
  // Writes the prompt and reads one line (without its line end). Nothing
  // at the end of the input, and nothing without a terminal.
  std::optional<std::string> read_line(std::string_view prompt);

 private:
  std::istream* in_;
  std::ostream* prompt_out_;
  bool terminal_;
  long lines_read_ = 0;  // answers asked for so far, for messages
};

}  // namespace linac
