// Render benchmark: IR throughput, parse/build split and peak memory.
//
//   bench_render [scale]   (scale 1: a 1,000,000-gate DAG and 100,000 64-bit busses)
//
// Times are the best of three; "parse" is parsing alone, "build" the rest of a
// render (CPU seconds). Peak memory is the growth of the resident set during
// one render in a fresh child process: the kernel's peak counter (VmHWM) is
// reset through /proc/self/clear_refs just before the render and read after.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json/monotonic_resource.hpp>

#include "ir_texts.hpp"
#include "renderer/json_document.hpp"
#include "renderer/renderer.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Wall-clock and CPU seconds of one timed region. The machine may be shared,
// so CPU time is reported next to wall time.
struct Timer {
  Clock::time_point wall = Clock::now();
  std::clock_t cpu = std::clock();
  double wall_seconds() const { return std::chrono::duration<double>(Clock::now() - wall).count(); }
  double cpu_seconds() const {
    return static_cast<double>(std::clock() - cpu) / static_cast<double>(CLOCKS_PER_SEC);
  }
};

// A "VmRSS:"-style field of /proc/self/status in bytes, or -1.
long long status_bytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::atoll(line.c_str() + prefix.size()) * 1024;
  }
  return -1;
}

bool reset_peak_rss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

void fail(const std::string& what, const std::string& message) {
  std::fprintf(stderr, "%s failed: %s\n", what.c_str(), message.c_str());
  std::exit(1);
}

// The resident-set growth of one render, measured in a forked child so that
// memory freed earlier in this process cannot hide it; -1 when unknown.
long long render_peak_growth(const nimbo::Renderer& renderer) {
  int channel[2];
  if (pipe(channel) != 0) return -1;
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    close(channel[0]);
    long long growth = -1;
    malloc_trim(0);  // hand back what earlier runs freed, so reuse cannot hide growth
    const long long before = status_bytes("VmRSS");
    if (reset_peak_rss() && before >= 0) {
      auto component = renderer.render();
      const long long peak = status_bytes("VmHWM");
      if (component.ok() && peak >= 0) growth = peak - before;
    }
    const ssize_t written = write(channel[1], &growth, sizeof growth);
    _exit(written == sizeof growth ? 0 : 1);
  }
  close(channel[1]);
  long long growth = -1;
  if (read(channel[0], &growth, sizeof growth) != sizeof growth) growth = -1;
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return growth;
}

struct Figures {
  double parse_wall = 1e300;
  double parse_cpu = 1e300;
  double render_wall = 1e300;
  double render_cpu = 1e300;
  long long peak_growth = -1;
};

// Best of `repetitions` for parsing alone and for the whole render.
Figures measure(const std::string& ir, int repetitions) {
  Figures best;
  const nimbo::Renderer renderer(ir);
  for (int rep = 0; rep < repetitions; ++rep) {
    {
      boost::json::monotonic_resource arena;
      const Timer timer;
      auto document = nimbo::parse_json_document(ir, &arena);
      best.parse_wall = std::min(best.parse_wall, timer.wall_seconds());
      best.parse_cpu = std::min(best.parse_cpu, timer.cpu_seconds());
      if (!document.ok()) fail("parse", document.error());
    }
    const Timer timer;
    auto component = renderer.render();
    best.render_wall = std::min(best.render_wall, timer.wall_seconds());
    best.render_cpu = std::min(best.render_cpu, timer.cpu_seconds());
    if (!component.ok()) fail("render", component.error());
  }
  best.peak_growth = render_peak_growth(renderer);
  return best;
}

void report(const char* name, const std::string& ir, const Figures& f) {
  const double mb = static_cast<double>(ir.size()) / 1e6;
  std::printf("%-22s %8.1f %8.3f %8.3f %8.1f %8.1f %8.3f %8.3f %6.0f%%", name, mb, f.render_wall,
              f.render_cpu, mb / f.render_wall, mb / f.render_cpu, f.parse_cpu,
              f.render_cpu - f.parse_cpu, 100.0 * f.parse_cpu / f.render_cpu);
  if (f.peak_growth >= 0) {
    std::printf(" %8.1f %8.2fx\n", static_cast<double>(f.peak_growth) / 1e6,
                static_cast<double>(f.peak_growth) / static_cast<double>(ir.size()));
  } else {
    std::printf(" %8s %9s\n", "n/a", "n/a");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
  const auto scaled = [scale](double n) {
    return static_cast<std::size_t>(std::max(1.0, n * scale));
  };
  const int repetitions = 3;

  std::printf("%-22s %8s %8s %8s %8s %8s %8s %8s %7s %8s %9s\n", "IR", "text MB", "wall s", "cpu s",
              "MB/s", "MB/s cpu", "parse s", "build s", "parse", "peak MB", "peak/text");
  {
    const std::string ir = nimbo::bench::layered_dag_ir(scaled(1000), scaled(1'000'000), 1000, 42);
    report("1M-gate DAG, 1-bit", ir, measure(ir, repetitions));
  }
  {
    const std::string ir = nimbo::bench::wide_bus_ir(scaled(100'000), scaled(1000), 64, 7);
    report("100k busses, 64-bit", ir, measure(ir, repetitions));
  }
  std::printf("targets: >= 50 MB/s of IR text end to end; peak growth <= 8x the IR text\n");
  return 0;
}
