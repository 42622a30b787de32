#include "source_lines.h"

#include <fstream>

namespace kelpwood_test {

int LineContaining(const std::string& path, const std::string& text) {
  std::ifstream source(path);
  std::string line;
  for (int number = 1; std::getline(source, line); ++number) {
    if (line.find(text) != std::string::npos) return number;
  }
  return 0;
}

std::string SourceLine(const std::string& path, int number) {
  std::ifstream source(path);
  std::string line;
  for (int current = 1; std::getline(source, line); ++current) {
    if (current == number) return line;
  }
  return "";
}

}  // namespace kelpwood_test
