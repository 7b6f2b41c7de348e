// Writes the man pages of both programs, made from their --help texts, at build time:
//   vqlisp_make_man_pages DIRECTORY
// leaves DIRECTORY/vql-isp-cli.1 and DIRECTORY/vql-isp.1.
#include <cstdio>
#include <fstream>
#include <string>

#include "manual/help.h"
#include "manual/man_page.h"

namespace {

bool Write(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) std::fprintf(stderr, "vqlisp_make_man_pages: cannot write \"%s\"\n", path.c_str());
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: vqlisp_make_man_pages DIRECTORY\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string source(vql::kVersionLine);
  const bool written =
      Write(dir + "/vql-isp-cli.1", vql::ManPage(vql::HelpText(), "vql-isp-cli", 1, source)) &&
      Write(dir + "/vql-isp.1", vql::ManPage(vql::WindowHelpText(), "vql-isp", 1, source));
  return written ? 0 : 1;
}
