#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace orvalt::common {

// Command-line parsing with the behaviour users know from Python's argparse: "-h"/"--help"
// prints "usage: PROG [-h] [--opt OPT] ..." then the description (as written) then every
// option with its help text (as written) and ends with status 0; an unknown option or a value
// that does not convert prints the usage and "PROG: error: ..." on standard error and ends
// with status 2. Options are listed in the order they are added. Each option writes into the
// variable it is bound to, whose value on entry is the default; the variables must outlive
// parse(). A repeated option takes the value(s) of its last occurrence; numbers are read in
// decimal only ("0x10" is refused), floats also as "inf" and "nan".
class ArgumentParser {
 public:
  ArgumentParser(std::string prog, std::string description);
  ~ArgumentParser();
  ArgumentParser(const ArgumentParser&) = delete;
  ArgumentParser& operator=(const ArgumentParser&) = delete;

  // "--name" with exactly one value.
  void add_option(const std::string& name, std::string* value, const std::string& help);
  void add_option(const std::string& name, std::optional<std::string>* value,
                  const std::string& help);
  void add_option(const std::string& name, double* value, const std::string& help);
  void add_option(const std::string& name, int* value, const std::string& help);
  // "--name" with one or more values.
  void add_option(const std::string& name, std::vector<int>* values, const std::string& help);
  void add_option(const std::string& name, std::vector<double>* values, const std::string& help);
  void add_option(const std::string& name, std::vector<std::string>* values,
                  const std::string& help);
  // "--name" with one value that must be one of `choices`; shown as "{a,b}" and refused with
  // "argument --name: invalid choice: 'c' (choose from 'a', 'b')" like argparse does.
  void add_choice_option(const std::string& name, std::string* value,
                         const std::vector<std::string>& choices, const std::string& help);
  void add_choice_option(const std::string& name, int* value, const std::vector<int>& choices,
                         const std::string& help);
  // "--name" with one value read by text truth: an empty value is false, any other text
  // (including "False" and "0") is true.
  void add_text_truth_option(const std::string& name, bool* value, const std::string& help);
  // A required positional argument, in the order added.
  void add_positional(const std::string& name, std::string* value, const std::string& help);

  // Runs `check` after every successful parse; the std::invalid_argument it throws for
  // settings that cannot work together is reported like a malformed command line.
  void set_check(std::function<void()> check);

  // Parses `args` (without the program name). Returns the exit status when the program
  // should end now (0 after help, 2 after an error, text written to `out` or `err`), and
  // std::nullopt when parsing succeeded.
  std::optional<int> parse(const std::vector<std::string>& args, std::ostream& out,
                           std::ostream& err);
  // As parse() on the process command line, ending the process when it returns a status.
  void parse_or_exit(int argc, const char* const* argv);

  std::string usage() const;
  std::string help() const;

 private:
  struct Entry {
    std::string name;
    std::string metavar;
    std::string help;
    bool many = false;
    bool positional = false;
  };
  void add_entry(const std::string& name, const std::string& help, bool many, bool positional);
  // An option whose raw texts (one, or one or more when `many`) `assign` converts and stores;
  // it throws CLI::ConversionError for a text that does not convert.
  void add_converted(const std::string& name, const std::string& help, bool many,
                     std::function<void(const std::vector<std::string>&)> assign);
  void add_choice(const std::string& name, std::function<void(const std::string&)> store,
                  const std::vector<std::string>& choices, const std::string& help);

  std::string prog_;
  std::string description_;
  std::unique_ptr<CLI::App> app_;
  std::vector<Entry> entries_;
  std::function<void()> check_;
};

}  // namespace orvalt::common
