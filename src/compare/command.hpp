#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drovik::compare {

// The words of a command written as a shell would take it apart, without running one: blanks
// separate words; '...' keeps everything in it; "..." keeps everything but \" and \\, which
// stand for " and \; a \ elsewhere keeps the character after it. An unclosed quote or a
// trailing \ raises std::invalid_argument.
std::vector<std::string> split_words(std::string_view text);

// The values of the placeholders a command may use, by name ("host", "port", ...).
using Placeholders = std::map<std::string, std::string, std::less<>>;

// The words with each {NAME} (letters, digits and _) replaced by its value; {{ and }} stand
// for one brace, and any other brace for itself. A name without a value raises
// std::invalid_argument naming it.
std::vector<std::string> expand(const std::vector<std::string>& words, const Placeholders& values);

// Where `name` runs from: itself when it holds a slash, else the first executable file of that
// name in `first_directory`, then in each directory of `search_path` (colon-separated, as in
// PATH); nothing when there is none.
std::optional<std::string> find_program(const std::string& name, const std::string& first_directory,
                                        std::string_view search_path);

}  // namespace drovik::compare
