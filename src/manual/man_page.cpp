#include "manual/man_page.h"

#include <cctype>
#include <span>
#include <vector>

namespace vql {

namespace {

struct Line {
  std::size_t indent = 0;
  std::string text;  // without the indent and without trailing blanks
};

constexpr std::string_view kGap = "  ";

// troff's view of the text: a backslash is its escape character, "-" would be a
// hyphen that copy and paste cannot put on a command line, and "." or "'" at the
// start of a line would make it a request.
std::string Escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out.front() == '.' || out.front() == '\'')) out.insert(0, "\\&");
  return out;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

class Renderer {
 public:
  std::string out;

  // Entries, paragraphs and lead-ins with their deeper lines. body: the lines are the
  // description of an entry, whose first paragraph continues the entry's own.
  void Items(std::span<const Line> lines, bool body) {
    bool first = true;
    std::size_t i = 0;
    while (i < lines.size()) {
      const Line& line = lines[i];
      const std::span<const Line> kids = Below(lines, i);
      const std::size_t gap = line.text.find(kGap);
      if (gap != std::string::npos || (!kids.empty() && !line.text.ends_with(':'))) {
        Entry(line, gap, kids, body);
        i += 1 + kids.size();
      } else {
        i = Paragraph(lines, i, body && first ? "" : body ? ".IP\n" : ".PP\n");
      }
      first = false;
    }
  }

  // Lines kept as they stand, relative to the section's indent.
  void Verbatim(std::span<const Line> lines, std::size_t base) {
    out += ".PP\n.nf\n";
    for (const Line& line : lines) {
      out += std::string(line.indent > base ? line.indent - base : 0, ' ');
      out += Escaped(line.text) + "\n";
    }
    out += ".fi\n";
  }

 private:
  // The lines after lines[at] that are indented deeper than it.
  static std::span<const Line> Below(std::span<const Line> lines, std::size_t at) {
    std::size_t end = at + 1;
    while (end < lines.size() && lines[end].indent > lines[at].indent) ++end;
    return lines.subspan(at + 1, end - at - 1);
  }

  void Entry(const Line& line, std::size_t gap, std::span<const Line> kids, bool body) {
    // Inside a description a new tag would fall back to the section's margin.
    if (body) out += ".RS\n";
    std::vector<Line> description;
    std::string term = line.text;
    if (gap != std::string::npos) {
      term = line.text.substr(0, gap);
      const std::size_t text = line.text.find_first_not_of(' ', gap);
      description.push_back({kids.empty() ? line.indent + 1 : kids.front().indent,
                             line.text.substr(text)});
    }
    description.insert(description.end(), kids.begin(), kids.end());
    out += ".TP\n\\fB" + Escaped(term) + "\\fR\n";
    Items(description, true);
    if (body) out += ".RE\n";
  }

  // The paragraph that starts at lines[at]: the lines of its indent up to an entry,
  // and a lead-in ending in ":" with its deeper lines. Returns where it ends.
  std::size_t Paragraph(std::span<const Line> lines, std::size_t at, const char* start) {
    out += start;
    const std::size_t indent = lines[at].indent;
    std::size_t i = at;
    while (i < lines.size() && lines[i].indent == indent &&
           lines[i].text.find(kGap) == std::string::npos) {
      const std::span<const Line> kids = Below(lines, i);
      if (!kids.empty() && !lines[i].text.ends_with(':')) break;
      out += Escaped(lines[i].text) + "\n";
      i += 1 + kids.size();
      if (!kids.empty()) {
        out += ".RS\n";
        Items(kids, false);
        out += ".RE\n";
        break;
      }
    }
    return i;
  }
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::size_t first = raw.find_first_not_of(' ');
    const std::size_t last = raw.find_last_not_of(' ');
    if (first == std::string_view::npos) {
      lines.push_back({});
    } else {
      lines.push_back({first, std::string(raw.substr(first, last - first + 1))});
    }
  }
  return lines;
}

}  // namespace

std::string ManPage(std::string_view helpText, std::string_view program, int section,
                    std::string_view source) {
  Renderer page;
  page.out = ".\\\" Made from the text of \"" + std::string(program) +
             " --help\" at build time; change that text, not this file.\n";
  page.out += ".TH " + Escaped(Upper(program)) + " " + std::to_string(section) + " \"\" \"" +
              Escaped(source) + "\" \"User Commands\"\n";
  // File names and options are not to be split, nor spaced out to the margin.
  page.out += ".nh\n.ad l\n";

  const std::vector<Line> lines = SplitLines(helpText);
  std::size_t i = 0;
  while (i < lines.size()) {
    const Line& heading = lines[i++];
    if (heading.text.empty()) continue;
    // The section: up to the next line in column 0.
    std::size_t end = i;
    while (end < lines.size() && (lines[end].text.empty() || lines[end].indent > 0)) ++end;
    page.out += ".SH " + Escaped(heading.text) + "\n";
    const std::size_t base = i < end ? lines[i].indent : 0;
    // Blocks of the section, between blank lines.
    while (i < end) {
      if (lines[i].text.empty()) {
        ++i;
        continue;
      }
      std::size_t blockEnd = i;
      while (blockEnd < end && !lines[blockEnd].text.empty()) ++blockEnd;
      const std::span<const Line> block(lines.data() + i, blockEnd - i);
      if (heading.text == "NAME") {
        // "program \- what it does", as whatis and apropos read it.
        std::string name;
        for (const Line& line : block) name += (name.empty() ? "" : " ") + line.text;
        const std::size_t dash = name.find(" - ");
        page.out += dash == std::string::npos
                        ? Escaped(name) + "\n"
                        : Escaped(name.substr(0, dash)) + " \\- " +
                              Escaped(name.substr(dash + 3)) + "\n";
      } else if (heading.text == "SYNOPSIS" || heading.text == "EXAMPLES") {
        page.Verbatim(block, base);
      } else {
        page.Items(block, false);
      }
      i = blockEnd;
    }
  }
  return page.out;
}

}  // namespace vql
