// The guess program: the opening of a number-guessing game. It greets the
// user, asks for a guess, reads one line from standard input and echoes it.
#include <string>

#include "runtime/fatal.h"
#include "runtime/run_main.h"
#include "streams/stdin.h"
#include "streams/stdout.h"

namespace guess {

// Where a failed read is reported; the report shows it as "main:11:10".
constexpr tavo::SourcePosition read_check{"main", 11, 10};

void main() {
  tavo::print_to_stdout("Guess the numberl!\n");
  tavo::print_to_stdout("Please input your guess.\n");

  // The line arrives as typed or piped, terminator included; nothing is
  // trimmed or parsed.
  std::string guess;
  tavo::expect_ok(tavo::standard_input().append_line(guess), "Failed to read line!",
                  read_check);

  tavo::print_to_stdout("You guessed: ", std::string_view(guess), "\n");
}

}  // namespace guess

// The process entry: the start routine prepares the process, runs the
// dialogue and gives the exit status, 0 or 101. A test program that wraps the
// whole program in an entry of its own builds this file with GUESS_ENTRY set
// to another name.
#ifndef GUESS_ENTRY
#define GUESS_ENTRY main
#endif
int GUESS_ENTRY(int argc, char** argv) {
  return static_cast<int>(tavo::run_main(&guess::main, argc, argv, 0));
}
