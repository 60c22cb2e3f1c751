// Namelist input: "&GROUP member=value, ... /" (also "$GROUP ... $END" and
// "&END"). Group and member names are case-blind; assignments are separated
// by commas or blanks and may span lines; "!" starts a comment; arrays take
// a list filling from their first index, NAME(k)= fills from k on, r*v
// repeats a value, an empty value leaves the member unchanged; texts are
// quoted with ' or " (a doubled quote stands for one). An unknown member, a
// bad value or an index outside the array stops the run with a message
// naming the group and the member; a group not found stops it with a
// message naming the group.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace linac {

class Units;

// Binds member names of one group to record fields.
class NamelistSchema {
 public:
  explicit NamelistSchema(std::string group) : group_(std::move(group)) {}
  // An array of count elements whose first index is lower (scalars: count 1).
  NamelistSchema& add(std::string name, std::int32_t* field, int count = 1, int lower = 1);
  NamelistSchema& add(std::string name, double* field, int count = 1, int lower = 1);
  // A text member of at most width characters (longer values are cut).
  NamelistSchema& add_text(std::string name, std::string* field, std::size_t width);
  const std::string& group() const { return group_; }

  enum class Kind { Int, Real, Text };
  struct Member {
    std::string name;  // upper case
    Kind kind;
    void* field;
    int count;
    int lower;
    std::size_t width;
  };
  const std::vector<Member>& members() const { return members_; }

 private:
  std::string group_;
  std::vector<Member> members_;
};

// Reads groups from one file in order: each read searches forward from the
// end of the previous group and skips any text before the group.
class NamelistReader {
 public:
  NamelistReader(const Units& units, std::string_view name);
  // From text in memory (tests, embedded defaults); name is used in messages.
  NamelistReader(std::string text, std::string name);
  void read_group(const NamelistSchema& schema);

 private:
  std::string text_;
  std::string name_;
  std::size_t pos_ = 0;
};

}  // namespace linac
