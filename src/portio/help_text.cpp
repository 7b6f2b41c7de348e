#include "portio/help_text.h"

#include <algorithm>

namespace vql {

std::string WrapHelp(std::string_view text, std::size_t firstColumn, std::size_t indent,
                     std::size_t width) {
  std::string wrapped;
  std::size_t column = firstColumn;
  bool lineEmpty = true;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (!lineEmpty && column + 1 + word.size() > width) {
      wrapped += '\n';
      column = indent;
      lineEmpty = true;
    }
    if (!lineEmpty) {
      wrapped += ' ';
      ++column;
    }
    wrapped += word;
    column += word.size();
    lineEmpty = false;
  }
  return wrapped;
}

std::string IndentHelp(std::string_view lines, std::size_t indent) {
  std::string indented;
  for (const char c : lines) {
    indented += c;
    if (c == '\n') indented.append(indent, ' ');
  }
  return indented + '\n';
}

}  // namespace vql
