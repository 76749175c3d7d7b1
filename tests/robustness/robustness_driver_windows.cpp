// Runs guess.exe many times from one Windows process (far cheaper than one
// Wine start per run) and checks every run against a model of the dialogue.
//
//   robustness_driver stdin <runs> <seed> [failures-file]
//     Random byte strings as standard input: valid and invalid UTF-8, NULs,
//     CRs, Ctrl+Z bytes and line feeds, short and longer than the 12288-byte
//     input buffer. Each run must either echo the first line exactly, or (when
//     that line is not well-formed UTF-8) write exactly the InvalidData report
//     and end with status 101. Nothing else is accepted.
//   robustness_driver handles
//     Writers and readers that are gone: standard input whose writer closed
//     before or after part of a line, standard output whose reader is gone.
//
// Prints one summary line per group and exits with 0 only when every run
// matched. The first failures are written out in full (escaped).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "harness/process_harness.h"
#include "support/guess_launch.h"
#include "support/trace_text.h"

namespace {

using tavo::harness::ChildResult;
using tavo::harness::ChildSpec;
using tavo::harness::escaped;
using tavo::harness::hex_status;
using tavo::harness::Input;
using tavo::harness::Output;

using tavo::testing::dialogue;
using tavo::testing::greeting;

const std::string invalid_report =
    tavo::testing::invalid_input_report + tavo::testing::report_hint;

// Well-formed UTF-8, decided from the code point rules (shortest form, no
// surrogates, at most U+10FFFF) rather than from a table.
bool well_formed(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<uint8_t>(s[i]);
    size_t n = 0;
    uint32_t v = 0;
    uint32_t smallest = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      n = 2, v = b & 0x1F, smallest = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      n = 3, v = b & 0x0F, smallest = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      n = 4, v = b & 0x07, smallest = 0x10000;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      const auto c = static_cast<uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      v = (v << 6) | (c & 0x3F);
    }
    if (v < smallest || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// The first line of the input, as the program must read it.
std::string_view first_line(std::string_view input) {
  const size_t feed = input.find('\n');
  return feed == std::string_view::npos ? input : input.substr(0, feed + 1);
}

// A random input: pieces from a palette, with a chosen share of invalid ones.
std::string random_input(std::mt19937_64& random) {
  static const std::vector<std::string> valid = {"a",
                                                 "7",
                                                 " ",
                                                 "\r",
                                                 "\n",
                                                 std::string(1, '\0'),
                                                 "\x1A",
                                                 "\t",
                                                 "\xC3\xA9",
                                                 "\xE2\x82\xAC",
                                                 "\xF0\x9F\x98\x80",
                                                 "\xED\x9F\xBF",
                                                 "\xF4\x8F\xBF\xBF",
                                                 "\r\n",
                                                 "\xEF\xBB\xBF",
                                                 "\xC2\x80"};
  static const std::vector<std::string> invalid = {
      "\x80",         "\xBF",         "\xC0\x80",         "\xC1\xBF",
      "\xFF",         "\xFE",         "\xF5\x80\x80\x80", "\xED\xA0\x80",
      "\xED\xBF\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
      "\xC3",         "\xE2\x82",     "\xF0\x9F\x98",     "\xC3\x28"};
  // Mostly short; some cross the input buffer (12288 bytes) once or twice.
  size_t pieces = 0;
  switch (random() % 8) {
    case 0:
      pieces = 0;
      break;
    case 1:
      pieces = 4000 + random() % 12000;
      break;
    default:
      pieces = random() % 40;
      break;
  }
  // Shares per thousand pieces: about half the first lines end up refused.
  const unsigned invalid_share = std::vector<unsigned>{0, 50, 150, 400}[random() % 4];
  const unsigned feed_share = random() % 2 == 0 ? 0 : 10 + random() % 140;
  std::string input;
  for (size_t i = 0; i < pieces; ++i) {
    const unsigned pick = static_cast<unsigned>(random() % 1000);
    if (pick < invalid_share) {
      input += invalid[random() % invalid.size()];
    } else if (pick < invalid_share + feed_share) {
      input += '\n';
    } else {
      input += valid[random() % valid.size()];
    }
  }
  return input;
}

ChildSpec guess(Input in, Output out = Output::pipe()) {
  return tavo::testing::guess_launch(std::move(in), out, 60000);
}

struct Tally {
  explicit Tally(const char* group) : name(group) {}
  const char* name;
  unsigned runs = 0;
  unsigned failures = 0;
  std::vector<std::string> details;

  void fail(std::string what) {
    ++failures;
    if (details.size() < 5) details.push_back(std::move(what));
  }
  bool report() const {
    std::printf("%s: %u runs, %u failed\n", name, runs, failures);
    for (const std::string& d : details) std::printf("  %s\n", d.c_str());
    return failures == 0;
  }
};

std::string describe(std::string_view input, const ChildResult& r) {
  return "input=\"" + escaped(input.substr(0, 200)) +
         (input.size() > 200 ? "...\"" : "\"") + " (" + std::to_string(input.size()) +
         " bytes) status=" + hex_status(r.exit_status) +
         " timed_out=" + (r.timed_out ? "yes" : "no") + " setup=\"" + r.setup_error +
         "\" out=\"" + escaped(std::string_view(r.out).substr(0, 300)) + "\" err=\"" +
         escaped(r.err) + "\"";
}

// Checks one run against the model; true when it matched.
bool matches_model(std::string_view input, const ChildResult& r) {
  if (!r.setup_error.empty() || r.timed_out) return false;
  const std::string_view line = first_line(input);
  if (well_formed(line)) {
    return r.exit_status == 0 && r.err.empty() && r.out == dialogue(line);
  }
  return r.exit_status == 101 && r.out == greeting && r.err == invalid_report;
}

int run_stdin(unsigned runs, uint64_t seed, const char* failures_file) {
  std::mt19937_64 random(seed);
  Tally all{"stdin random"};
  unsigned echoed = 0, refused = 0, long_inputs = 0, empty_inputs = 0;
  std::ofstream failures;
  if (failures_file != nullptr) failures.open(failures_file, std::ios::binary);
  const auto start = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < runs; ++i) {
    const std::string input = random_input(random);
    // Files and pipes both: a pipe delivers in pieces, a file in one read.
    const Input in = i % 4 == 3 ? Input::file(input) : Input::bytes(input);
    const ChildResult r = tavo::harness::run_child(guess(in));
    ++all.runs;
    if (well_formed(first_line(input))) {
      ++echoed;
    } else {
      ++refused;
    }
    if (input.size() > 12288) ++long_inputs;
    if (input.empty()) ++empty_inputs;
    if (!matches_model(input, r)) {
      all.fail("run " + std::to_string(i) + ": " + describe(input, r));
      if (failures.is_open()) failures << input << "\n----- end of input -----\n";
    }
    if ((i + 1) % 1000 == 0) {
      std::printf("  %u runs, %u failed\n", i + 1, all.failures);
      std::fflush(stdout);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "seed %llu: %u inputs whose first line is well-formed (echo expected), %u not "
      "(InvalidData report expected); %u longer than 12288 bytes, %u empty; %.1f s\n",
      static_cast<unsigned long long>(seed), echoed, refused, long_inputs, empty_inputs,
      seconds);
  return all.report() ? 0 : 1;
}

int run_handles() {
  bool ok = true;

  // Standard input whose writer is gone: before anything was written, after
  // part of a line, after part of a character.
  Tally writer{"writer gone"};
  struct Case {
    Input in;
    std::string line;
    bool refused;
  };
  const std::vector<Case> cases = {
      {Input::closed_pipe(), "", false},
      {Input::bytes("4"), "4", false},
      {Input::bytes("half a li"), "half a li", false},
      {Input::bytes("caf\xC3\xA9\r"), "caf\xC3\xA9\r", false},
      {Input::bytes(std::string(20000, 'x')), std::string(20000, 'x'), false},
      {Input::bytes("ab\xC3"), "", true},
      {Input::bytes(std::string(12287, 'y') + "\xF0\x9F"), "", true},
  };
  for (const Case& c : cases) {
    for (int repeat = 0; repeat < 3; ++repeat) {
      const ChildResult r = tavo::harness::run_child(guess(c.in));
      ++writer.runs;
      const bool good =
          c.refused ? r.exit_status == 101 && r.out == greeting && r.err == invalid_report
                    : r.exit_status == 0 && r.err.empty() && r.out == dialogue(c.line);
      if (!good || r.timed_out) writer.fail(describe(c.in.data, r));
    }
  }
  ok = writer.report() && ok;

  // Standard output whose reader is gone: the first print fails, the report
  // names the pipe error, the status is 101, and nothing hangs.
  Tally reader{"reader gone"};
  const std::string prefix = "thread 'main' panicked at 'failed printing to stdout: ";
  for (const Input& in : {Input::bytes("42\n"), Input::nul(), Input::bytes("\xFF\n")}) {
    for (int repeat = 0; repeat < 3; ++repeat) {
      const ChildResult r = tavo::harness::run_child(guess(in, Output::closed_pipe()));
      ++reader.runs;
      const bool good =
          !r.timed_out && r.exit_status == 101 &&
          r.err.compare(0, prefix.size(), prefix) == 0 &&
          r.err.find("(os error 232)', ") != std::string::npos &&
          r.err.find("note: run with `TAVO_BACKTRACE=1`") != std::string::npos;
      if (!good) reader.fail(describe(in.data, r));
    }
  }
  ok = reader.report() && ok;
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "stdin" && argc >= 4) {
    return run_stdin(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)),
                     std::strtoull(argv[3], nullptr, 10), argc > 4 ? argv[4] : nullptr);
  }
  if (mode == "handles") return run_handles();
  std::fputs(
      "usage: robustness_driver stdin <runs> <seed> [failures-file]\n"
      "       robustness_driver handles\n",
      stderr);
  return 2;
}
