// Looks up lines of source files, so that tests can name the line of a
// logging statement without hard-coding its number.

#ifndef KELPWOOD_TESTS_LOGGER_SOURCE_LINES_H_
#define KELPWOOD_TESTS_LOGGER_SOURCE_LINES_H_

#include <string>

namespace kelpwood_test {

// The 1-based number of the first line of the file at `path` that contains
// `text`, or 0 when none does (or the file cannot be read).
int LineContaining(const std::string& path, const std::string& text);

// Line `number` (1-based) of the file at `path`, or empty text.
std::string SourceLine(const std::string& path, int number);

}  // namespace kelpwood_test

#endif  // KELPWOOD_TESTS_LOGGER_SOURCE_LINES_H_
