#include "orvalt/common/argument_parser.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include <CLI/CLI.hpp>

#include "orvalt/common/strings.hpp"

namespace orvalt::common {
namespace {

constexpr std::size_t kHelpColumn = 24;
constexpr std::size_t kUsageWidth = 100;

std::string strip_dashes(const std::string& name) {
  return name.substr(name.find_first_not_of('-'));
}

std::string join(const std::vector<std::string>& items, const std::string& separator) {
  std::string joined;
  for (const auto& item : items) {
    if (!joined.empty()) joined += separator;
    joined += item;
  }
  return joined;
}

// argparse's wording for a value that does not convert, e.g.
// "argument --calib_num: invalid int value: '0x10'".
[[noreturn]] void invalid_value(const std::string& name, const char* type,
                                const std::string& text) {
  throw CLI::ConversionError("argument " + name + ": invalid " + type + " value: '" + text + "'");
}

// Decimal only, an optional sign in front, the whole text: "0x10", "1.5" and "12abc" are
// refused, where the C library would read a prefix or another base.
template <typename T>
T converted(const std::string& name, const std::string& text) {
  const char* type = std::is_same_v<T, int> ? "int" : "float";
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  T value{};
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    invalid_value(name, type, text);
  }
  return value;
}

template <typename T>
std::vector<T> all_converted(const std::string& name, const std::vector<std::string>& texts) {
  std::vector<T> values;
  values.reserve(texts.size());
  for (const auto& text : texts) values.push_back(converted<T>(name, text));
  return values;
}

}  // namespace

ArgumentParser::ArgumentParser(std::string prog, std::string description)
    : prog_(std::move(prog)),
      description_(std::move(description)),
      app_(std::make_unique<CLI::App>(description_, prog_)) {
  // Help is ours, so that it reads like argparse; CLI11 only parses.
  app_->set_help_flag();
  app_->allow_windows_style_options(false);
}

ArgumentParser::~ArgumentParser() = default;

void ArgumentParser::add_entry(const std::string& name, const std::string& help, bool many,
                               bool positional) {
  entries_.push_back({name, positional ? name : upper(strip_dashes(name)), help, many, positional});
}

void ArgumentParser::add_converted(const std::string& name, const std::string& help, bool many,
                                   std::function<void(const std::vector<std::string>&)> assign) {
  // Triggered per occurrence, each replacing what the one before set: a repeated option takes
  // its last value, lists included, as argparse users expect.
  CLI::Option* option = app_->add_option(
      name,
      [assign = std::move(assign)](const CLI::results_t& texts) {
        assign(texts);
        return true;
      },
      help);
  option->trigger_on_parse();
  if (many) option->expected(1, CLI::detail::expected_max_vector_size)->allow_extra_args();
  add_entry(name, help, many, false);
}

void ArgumentParser::add_option(const std::string& name, std::string* value,
                                const std::string& help) {
  add_converted(name, help, false,
                [value](const std::vector<std::string>& texts) { *value = texts.front(); });
}

void ArgumentParser::add_option(const std::string& name, std::optional<std::string>* value,
                                const std::string& help) {
  add_converted(name, help, false,
                [value](const std::vector<std::string>& texts) { *value = texts.front(); });
}

void ArgumentParser::add_option(const std::string& name, double* value, const std::string& help) {
  add_converted(name, help, false, [name, value](const std::vector<std::string>& texts) {
    *value = converted<double>(name, texts.front());
  });
}

void ArgumentParser::add_option(const std::string& name, int* value, const std::string& help) {
  add_converted(name, help, false, [name, value](const std::vector<std::string>& texts) {
    *value = converted<int>(name, texts.front());
  });
}

void ArgumentParser::add_option(const std::string& name, std::vector<int>* values,
                                const std::string& help) {
  add_converted(name, help, true, [name, values](const std::vector<std::string>& texts) {
    *values = all_converted<int>(name, texts);
  });
}

void ArgumentParser::add_option(const std::string& name, std::vector<double>* values,
                                const std::string& help) {
  add_converted(name, help, true, [name, values](const std::vector<std::string>& texts) {
    *values = all_converted<double>(name, texts);
  });
}

void ArgumentParser::add_option(const std::string& name, std::vector<std::string>* values,
                                const std::string& help) {
  add_converted(name, help, true,
                [values](const std::vector<std::string>& texts) { *values = texts; });
}

void ArgumentParser::add_choice(const std::string& name,
                                std::function<void(const std::string&)> store,
                                const std::vector<std::string>& choices, const std::string& help) {
  app_->add_option_function<std::string>(
      name,
      [name, store = std::move(store), choices](const std::string& text) {
        if (std::find(choices.begin(), choices.end(), text) == choices.end()) {
          std::vector<std::string> quoted;
          for (const auto& choice : choices) quoted.push_back("'" + choice + "'");
          throw CLI::ValidationError("argument " + name + ": invalid choice: '" + text +
                                     "' (choose from " + join(quoted, ", ") + ")");
        }
        store(text);
      },
      help);
  add_entry(name, help, false, false);
  entries_.back().metavar = "{" + join(choices, ",") + "}";
}

void ArgumentParser::add_choice_option(const std::string& name, std::string* value,
                                       const std::vector<std::string>& choices,
                                       const std::string& help) {
  add_choice(
      name, [value](const std::string& text) { *value = text; }, choices, help);
}

void ArgumentParser::add_choice_option(const std::string& name, int* value,
                                       const std::vector<int>& choices, const std::string& help) {
  std::vector<std::string> texts;
  for (const int choice : choices) texts.push_back(std::to_string(choice));
  add_choice(
      name, [value](const std::string& text) { *value = std::stoi(text); }, texts, help);
}

void ArgumentParser::add_text_truth_option(const std::string& name, bool* value,
                                           const std::string& help) {
  add_converted(name, help, false, [value](const std::vector<std::string>& texts) {
    *value = !texts.front().empty();
  });
}

void ArgumentParser::add_positional(const std::string& name, std::string* value,
                                    const std::string& help) {
  app_->add_option(name, *value, help)->required();
  add_entry(name, help, false, true);
}

void ArgumentParser::set_check(std::function<void()> check) { check_ = std::move(check); }

std::string ArgumentParser::usage() const {
  std::vector<std::string> parts = {"[-h]"};
  for (const auto& entry : entries_) {
    if (entry.positional) {
      parts.push_back(entry.metavar);
    } else if (entry.many) {
      parts.push_back("[" + entry.name + " " + entry.metavar + " [" + entry.metavar + " ...]]");
    } else {
      parts.push_back("[" + entry.name + " " + entry.metavar + "]");
    }
  }
  const std::string lead = "usage: " + prog_ + " ";
  const std::string indent(lead.size(), ' ');
  std::string text = lead;
  std::size_t line_length = lead.size();
  bool line_empty = true;
  for (const auto& part : parts) {
    if (!line_empty && line_length + 1 + part.size() > kUsageWidth) {
      text += "\n" + indent;
      line_length = indent.size();
      line_empty = true;
    }
    if (!line_empty) {
      text += " ";
      ++line_length;
    }
    text += part;
    line_length += part.size();
    line_empty = false;
  }
  return text + "\n";
}

std::string ArgumentParser::help() const {
  std::ostringstream out;
  out << usage() << "\n";
  if (!description_.empty()) out << description_ << "\n\n";
  const auto write_entry = [&out](const std::string& invocation, const std::string& help) {
    const std::string lead = "  " + invocation;
    if (lead.size() + 2 <= kHelpColumn) {
      out << lead << std::string(kHelpColumn - lead.size(), ' ') << help << "\n";
    } else {
      out << lead << "\n" << std::string(kHelpColumn, ' ') << help << "\n";
    }
  };
  const bool has_positional = std::any_of(entries_.begin(), entries_.end(),
                                          [](const Entry& entry) { return entry.positional; });
  if (has_positional) {
    out << "positional arguments:\n";
    for (const auto& entry : entries_) {
      if (entry.positional) write_entry(entry.name, entry.help);
    }
    out << "\n";
  }
  out << "options:\n";
  write_entry("-h, --help", "show this help message and exit");
  for (const auto& entry : entries_) {
    if (entry.positional) continue;
    const std::string values =
        entry.many ? entry.metavar + " [" + entry.metavar + " ...]" : entry.metavar;
    write_entry(entry.name + " " + values, entry.help);
  }
  return out.str();
}

std::optional<int> ArgumentParser::parse(const std::vector<std::string>& args, std::ostream& out,
                                         std::ostream& err) {
  if (std::any_of(args.begin(), args.end(),
                  [](const std::string& arg) { return arg == "-h" || arg == "--help"; })) {
    out << help();
    return 0;
  }
  // "--name=value" is split here because CLI11 rejects an empty value in that form, and
  // "--debug=" must read as an empty value like "--debug ''".
  std::vector<std::string> reversed;
  for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
    const auto equals = arg->find('=');
    if (arg->rfind("--", 0) == 0 && equals != std::string::npos) {
      reversed.push_back(arg->substr(equals + 1));
      reversed.push_back(arg->substr(0, equals));
    } else {
      reversed.push_back(*arg);
    }
  }
  const auto fail = [&](const std::string& message) {
    err << usage() << prog_ << ": error: " << message << "\n";
    return 2;
  };
  try {
    app_->parse(reversed);
  } catch (const CLI::ParseError& error) {
    std::string message = error.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
      message = "unrecognized arguments: " + join(app_->remaining(), " ");
    } else if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
      std::vector<std::string> missing;
      for (const auto& entry : entries_) {
        if (entry.positional && app_->get_option(entry.name)->count() == 0) {
          missing.push_back(entry.name);
        }
      }
      message = "the following arguments are required: " + join(missing, ", ");
    }
    return fail(message);
  }
  if (check_) {
    try {
      check_();
    } catch (const std::invalid_argument& error) {
      return fail(error.what());
    }
  }
  return std::nullopt;
}

void ArgumentParser::parse_or_exit(int argc, const char* const* argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (const auto status = parse(args, std::cout, std::cerr)) {
    std::exit(*status);
  }
}

}  // namespace orvalt::common
