// Measures programs the way docs/performance.md describes, from one Windows
// process, alternating between the programs round by round so that a change
// in the machine's load falls on all of them alike.
//
//   bench_driver startup <rounds> <program>...
//     Start-to-exit time with "42\n" on a pipe as standard input and the NUL
//     device as standard output and error.
//   bench_driver line <rounds> <MiB> <program>...
//     One line of <MiB> MiB (the last byte a line feed) written into a pipe as
//     standard input, standard output a new file: time and peak working set.
//   bench_driver console <rounds> <KiB> <program>...
//     One line of <KiB> KiB as standard input, standard output a headless
//     console; time, and the console-write count a program reports on
//     standard error ("console writes: N calls, M units"), if it does.
//
// Each program gets one line per figure: median, lowest and highest, and the
// ratio of its median to the first program's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness/process_harness.h"
#include "platform/windows_api.h"
#include "support/test_thread.h"

// PROCESS_MEMORY_COUNTERS and its kernel32 function (declared by psapi.h,
// which the one Windows header of this project does not include).
struct MemoryCounters {
  DWORD cb;
  DWORD page_fault_count;
  SIZE_T peak_working_set_size;
  SIZE_T working_set_size;
  SIZE_T quota_peak_paged_pool_usage;
  SIZE_T quota_paged_pool_usage;
  SIZE_T quota_peak_non_paged_pool_usage;
  SIZE_T quota_non_paged_pool_usage;
  SIZE_T pagefile_usage;
  SIZE_T peak_pagefile_usage;
};
extern "C" __declspec(dllimport) BOOL WINAPI
    K32GetProcessMemoryInfo(HANDLE process, MemoryCounters* counters, DWORD size);

namespace {

struct Sample {
  double seconds = 0;
  double peak_mib = 0;
  unsigned long long calls = 0;
  bool ok = true;
};

std::wstring widen(const char* s) {
  std::wstring w;
  for (; *s != '\0'; ++s) w += static_cast<wchar_t>(static_cast<unsigned char>(*s));
  return w;
}

HANDLE inheritable(HANDLE h) {
  SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return h;
}

HANDLE open_nul() {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
}

// Starts `program` with the given standard handles and waits for its end,
// sampling its working set meanwhile (Wine answers for live processes only).
Sample run(const std::wstring& program, HANDLE in, HANDLE out, HANDLE err,
           bool sample_memory, tavo::testing::TestThread* feeder) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  std::wstring command = L"\"" + program + L"\"";
  Sample sample;
  const auto start = std::chrono::steady_clock::now();
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &si, &pi)) {
    std::fprintf(stderr, "cannot start %ls: error %lu\n", program.c_str(),
                 GetLastError());
    sample.ok = false;
    return sample;
  }
  SIZE_T peak = 0;
  for (;;) {
    const DWORD wait = WaitForSingleObject(pi.hProcess, sample_memory ? 5 : INFINITE);
    if (sample_memory) {
      MemoryCounters counters{};
      counters.cb = sizeof counters;
      if (K32GetProcessMemoryInfo(pi.hProcess, &counters, sizeof counters)) {
        peak =
            std::max({peak, counters.peak_working_set_size, counters.working_set_size});
      }
    }
    if (wait == WAIT_OBJECT_0) break;
  }
  sample.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sample.peak_mib = static_cast<double>(peak) / (1024.0 * 1024.0);
  DWORD status = 1;
  GetExitCodeProcess(pi.hProcess, &status);
  sample.ok = status == 0;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  if (feeder != nullptr) feeder->join();
  return sample;
}

// A pipe whose reading end is inheritable and whose writing end gets `data`
// from a thread (or at once, when it fits the pipe), then closes.
HANDLE fed_pipe(const std::string& data, tavo::testing::TestThread& feeder) {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  CreatePipe(&read_end, &write_end, nullptr, 1 << 20);
  inheritable(read_end);
  feeder = tavo::testing::TestThread([write_end, &data] {
    size_t offset = 0;
    while (offset < data.size()) {
      const DWORD chunk =
          static_cast<DWORD>(std::min<size_t>(data.size() - offset, 1 << 20));
      DWORD put = 0;
      if (!WriteFile(write_end, data.data() + offset, chunk, &put, nullptr)) break;
      offset += put;
    }
    CloseHandle(write_end);
  });
  return read_end;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0 : n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Series {
  std::string name;
  std::vector<double> seconds;
  std::vector<double> peaks;
  unsigned long long calls = 0;
  unsigned failures = 0;
};

void report(const char* figure, const std::vector<Series>& all, bool memory, bool calls) {
  const double base = median(all.front().seconds);
  for (const Series& s : all) {
    const double m = median(s.seconds);
    // The same ratio round by round: both programs ran in the same round, so
    // its spread shows how far a change in load moved the comparison.
    std::vector<double> paired;
    for (size_t r = 0; r < s.seconds.size() && r < all.front().seconds.size(); ++r) {
      if (all.front().seconds[r] > 0)
        paired.push_back(s.seconds[r] / all.front().seconds[r]);
    }
    std::sort(paired.begin(), paired.end());
    std::printf(
        "%-8s %-28s median %8.1f ms  (min %8.1f, max %8.1f, n=%zu)  ratio %6.2fx"
        "  (per round: median %.2f, %.2f to %.2f)",
        figure, s.name.c_str(), m * 1000,
        *std::min_element(s.seconds.begin(), s.seconds.end()) * 1000,
        *std::max_element(s.seconds.begin(), s.seconds.end()) * 1000, s.seconds.size(),
        base > 0 ? m / base : 0.0, median(paired), paired.empty() ? 0.0 : paired.front(),
        paired.empty() ? 0.0 : paired.back());
    if (memory) {
      std::printf("  peak %7.1f MiB (min %.1f, max %.1f)", median(s.peaks),
                  *std::min_element(s.peaks.begin(), s.peaks.end()),
                  *std::max_element(s.peaks.begin(), s.peaks.end()));
    }
    if (calls && s.calls > 0) std::printf("  %llu console calls", s.calls);
    if (s.failures > 0) std::printf("  FAILED RUNS: %u", s.failures);
    std::printf("\n");
  }
  std::fflush(stdout);
}

std::string base_name(const char* path) {
  std::string p = path;
  const size_t slash = p.find_last_of("\\/");
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: bench_driver startup|line|console <rounds> [size] <program>...\n",
               stderr);
    return 2;
  }
  const std::string mode = argv[1];
  const int rounds = std::atoi(argv[2]);
  int first_program = 3;
  long size = 0;
  if (mode == "line" || mode == "console") size = std::atol(argv[first_program++]);
  std::vector<Series> series;
  std::vector<std::wstring> programs;
  for (int i = first_program; i < argc; ++i) {
    programs.push_back(widen(argv[i]));
    series.push_back({base_name(argv[i]), {}, {}, 0, 0});
  }
  const size_t count = programs.size();

  std::string input;
  if (mode == "startup") {
    input = "42\n";
  } else if (mode == "line") {
    input.assign(static_cast<size_t>(size) << 20, 'x');
    input.back() = '\n';
  } else {
    input.assign(static_cast<size_t>(size) << 10, 'x');
    input.back() = '\n';
  }

  HANDLE nul = inheritable(open_nul());
  for (int round = 0; round < rounds; ++round) {
    for (size_t k = 0; k < count; ++k) {
      // Alternate the order: each program goes first in turn.
      const size_t i = (k + static_cast<size_t>(round)) % count;
      Sample sample;
      if (mode == "console") {
        tavo::harness::ChildSpec launch;
        launch.program = programs[i];
        launch.in = tavo::harness::Input::bytes(input);
        launch.out = tavo::harness::Output::console();
        launch.timeout_ms = 120000;
        const auto start = std::chrono::steady_clock::now();
        const tavo::harness::ChildResult r = tavo::harness::run_child(launch);
        sample.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                .count();
        sample.ok = r.exit_status == 0 && !r.timed_out && r.setup_error.empty();
        const size_t at = r.err.find("console writes: ");
        if (at != std::string::npos) {
          sample.calls = std::strtoull(r.err.c_str() + at + 16, nullptr, 10);
        }
      } else {
        tavo::testing::TestThread feeder;
        HANDLE in = fed_pipe(input, feeder);
        HANDLE out = nul;
        if (mode == "line") {
          SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
          out = CreateFileW(L"bench-line-output.tmp", GENERIC_WRITE, FILE_SHARE_READ, &sa,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        }
        sample = run(programs[i], in, out, nul, mode == "line", &feeder);
        CloseHandle(in);
        // A program that could not be started leaves the writer to a pipe
        // without a reader, which the close above ends.
        feeder.join();
        if (mode == "line") {
          LARGE_INTEGER written{};
          GetFileSizeEx(out, &written);
          CloseHandle(out);
          // The whole line must have been echoed.
          if (written.QuadPart < static_cast<LONGLONG>(input.size())) sample.ok = false;
        }
      }
      Series& s = series[i];
      s.seconds.push_back(sample.seconds);
      s.peaks.push_back(sample.peak_mib);
      if (sample.calls > 0) s.calls = sample.calls;
      if (!sample.ok) ++s.failures;
    }
  }
  DeleteFileW(L"bench-line-output.tmp");
  report(mode.c_str(), series, mode == "line", mode == "console");
  for (const Series& s : series) {
    if (s.failures > 0) return 1;
  }
  return 0;
}
