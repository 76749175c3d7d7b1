// The dialogue written with iostreams (std::getline/std::cout), as a
// reference: same texts, the first line echoed with its terminator.
#include <iostream>
#include <string>

int main() {
  std::cout << "Guess the numberl!\n";
  std::cout << "Please input your guess.\n";  // std::cin's tie flushes it
  std::string guess;
  std::getline(std::cin, guess);
  const bool had_line_feed = !std::cin.eof();
  std::cout << "You guessed: " << guess << (had_line_feed ? "\n" : "") << "\n";
  return 0;
}
