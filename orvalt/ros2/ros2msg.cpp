#include "orvalt/ros2/ros2msg.hpp"

#include <algorithm>
#include <array>
#include <sstream>

namespace orvalt::ros2 {
namespace {

constexpr std::array<const char*, 15> kPrimitiveTypes = {
    "bool",   "byte",  "char",   "float32", "float64", "int8",   "uint8",  "int16",
    "uint16", "int32", "uint32", "int64",   "uint64",  "string", "wstring"};

bool is_separator_line(const std::string& line) {
  return line.size() >= 3 && line.find_first_not_of('=') == std::string::npos;
}

// The field on `line`, std::nullopt for a comment, a blank line or a constant.
std::optional<MsgField> parse_field_line(std::string line) {
  line = line.substr(0, line.find('#'));
  std::istringstream words(line);
  MsgField field;
  if (!(words >> field.type >> field.name)) return std::nullopt;
  if (field.name.find('=') != std::string::npos) return std::nullopt;  // "INT8=1"
  std::string next;
  if (words >> next && next.front() == '=') return std::nullopt;  // "INT8 = 1"
  return field;
}

// Calls `on_field` for each field of the first definition until it returns false.
template <class OnField>
void for_each_field(const std::string& text, OnField on_field) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (is_separator_line(line)) return;
    if (auto field = parse_field_line(line)) {
      if (!on_field(*field)) return;
    }
  }
}

}  // namespace

std::vector<MsgField> msg_fields(const std::string& text) {
  std::vector<MsgField> fields;
  for_each_field(text, [&](const MsgField& field) {
    fields.push_back(field);
    return true;
  });
  return fields;
}

std::optional<MsgField> first_msg_field(const std::string& text) {
  std::optional<MsgField> first;
  for_each_field(text, [&](const MsgField& field) {
    first = field;
    return false;
  });
  return first;
}

std::optional<std::string> referenced_msg_type(const std::string& field_type,
                                               const std::string& package) {
  std::string type = field_type.substr(0, field_type.find('['));
  type = type.substr(0, type.find("<="));  // bounded strings: string<=10
  const bool primitive = std::any_of(kPrimitiveTypes.begin(), kPrimitiveTypes.end(),
                                     [&](const char* name) { return type == name; });
  if (primitive || type.empty()) return std::nullopt;
  if (type.find('/') == std::string::npos) return package + "/" + type;
  return short_type_name(type);
}

std::string full_type_name(const std::string& type_name) {
  const auto slash = type_name.find('/');
  if (slash == std::string::npos || slash == 0) return type_name;
  if (type_name.find('/', slash + 1) != std::string::npos) return type_name;
  if (slash + 1 == type_name.size()) return type_name;
  return type_name.substr(0, slash) + "/msg/" + type_name.substr(slash + 1);
}

std::string short_type_name(const std::string& type_name) {
  const auto first = type_name.find('/');
  if (first == std::string::npos) return type_name;
  const auto second = type_name.find('/', first + 1);
  if (second == std::string::npos) return type_name;
  if (type_name.compare(first, second - first + 1, "/msg/") != 0) return type_name;
  if (type_name.find('/', second + 1) != std::string::npos) return type_name;
  return type_name.substr(0, first) + type_name.substr(second);
}

}  // namespace orvalt::ros2
