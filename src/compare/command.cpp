#include "compare/command.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <stdexcept>

#include "system/format.hpp"

namespace drovik::compare {

namespace {
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// Takes the quoted text that starts after the opening quote at `i` into `word`; returns the
// index of the closing quote.
std::size_t take_quoted(std::string_view text, std::size_t i, std::string& word) {
    const char quote = text[i];
    for (++i; i < text.size() && text[i] != quote; ++i) {
        const bool escaped = quote == '"' && text[i] == '\\' && i + 1 < text.size() &&
                             (text[i + 1] == '"' || text[i + 1] == '\\');
        i += escaped ? 1 : 0;
        word += text[i];
    }
    if (i == text.size()) {
        throw std::invalid_argument(std::string("unclosed ") + quote + " in: " + std::string(text));
    }
    return i;
}

bool is_name(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

std::string expand_word(const std::string& word, const Placeholders& values) {
    std::string expanded;
    for (std::size_t i = 0; i < word.size(); ++i) {
        const bool doubled =
            i + 1 < word.size() && (word[i] == '{' || word[i] == '}') && word[i + 1] == word[i];
        std::size_t end = i + 1;
        while (word[i] == '{' && end < word.size() && is_name(word[end])) {
            ++end;
        }
        if (doubled) {
            expanded += word[i++];
        } else if (end > i + 1 && end < word.size() && word[end] == '}') {
            const std::string name = word.substr(i + 1, end - i - 1);
            const auto value = values.find(name);
            if (value == values.end()) {
                throw std::invalid_argument("unknown placeholder {" + name + "}");
            }
            expanded += value->second;
            i = end;
        } else {
            expanded += word[i];
        }
    }
    return expanded;
}

bool executable_file(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}
}  // namespace

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    std::optional<std::string> word;  // none between words
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_blank(text[i])) {
            if (word) {
                words.push_back(std::move(*word));
            }
            word.reset();
            continue;
        }
        word = word.value_or("");
        if (text[i] == '\'' || text[i] == '"') {
            i = take_quoted(text, i, *word);
        } else if (text[i] == '\\') {
            if (++i == text.size()) {
                throw std::invalid_argument("a \\ ends: " + std::string(text));
            }
            *word += text[i];
        } else {
            *word += text[i];
        }
    }
    if (word) {
        words.push_back(std::move(*word));
    }
    return words;
}

std::vector<std::string> expand(const std::vector<std::string>& words, const Placeholders& values) {
    std::vector<std::string> expanded;
    expanded.reserve(words.size());
    for (const std::string& word : words) {
        expanded.push_back(expand_word(word, values));
    }
    return expanded;
}

std::optional<std::string> find_program(const std::string& name, const std::string& first_directory,
                                        std::string_view search_path) {
    if (name.find('/') != std::string::npos) {
        return executable_file(name) ? std::optional(name) : std::nullopt;
    }
    std::vector<std::string> directories{first_directory};
    for (std::size_t start = 0; start <= search_path.size();) {
        const std::size_t colon = std::min(search_path.find(':', start), search_path.size());
        // An empty entry is the current directory, as for the shell.
        const std::string_view directory = search_path.substr(start, colon - start);
        directories.emplace_back(directory.empty() ? "." : directory);
        start = colon + 1;
    }
    for (const std::string& directory : directories) {
        const std::string path = format("{}/{}", directory, name);
        if (!directory.empty() && executable_file(path)) {
            return path;
        }
    }
    return std::nullopt;
}

}  // namespace drovik::compare
