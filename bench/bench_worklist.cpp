// The worklist on a netlist whose flip-flops are NAND latches on two clock
// phases (bench/clocked's "nand" designs), driven as bench/clocked drives it:
// per cycle the inputs with phi1 = 1, then phi1 = 0, phi2 = 1, phi2 = 0, four
// updates, in C++ with no Python between them. Prints the CPU time per cycle
// and, per update of the four, the evaluations counted and those run.
//
//   bench/run.sh worklist IR STIMULUS PORT... [--seconds S]
//
// IR is the design's IR (bench/out/clocked/mac4_nand/ir.json after
// `python bench/clocked/run.py --designs mac4_nand`), STIMULUS its
// stim_long.bin (one byte per input bit and cycle, the bits of PORT... in
// that order, least significant first).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <boost/json.hpp>

#include "engine/simulation.hpp"
#include "renderer/json_document.hpp"
#include "renderer/renderer.hpp"

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "bench_worklist: %s\n", what.c_str());
  std::exit(1);
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(std::string("cannot read ") + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) fail("usage: bench_worklist IR STIMULUS PORT... [--seconds S]");
  double min_seconds = 2.0;
  std::vector<std::string> ports;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      min_seconds = std::atof(argv[++i]);
    } else {
      ports.emplace_back(argv[i]);
    }
  }
  const std::string ir = read_file(argv[1]);
  const std::string stimulus = read_file(argv[2]);

  auto document = nimbo::parse_json_document(ir, {});
  if (!document.ok()) fail(document.error());
  const boost::json::object& port_records =
      document.value().as_object().at("component").as_object().at("ports").as_object();
  nimbo::Result<nimbo::Component> rendered = nimbo::Renderer{ir}.render();
  if (!rendered.ok()) fail(rendered.error());
  nimbo::Simulation simulation(std::move(rendered).value());

  const auto position_of = [&](std::string_view id) {
    const auto found = simulation.find(id);
    if (!found) fail("no bus " + std::string(id));
    return static_cast<std::uint32_t>(*found);
  };
  std::vector<std::uint32_t> columns;
  for (const std::string& port : ports) {
    const auto record = port_records.find(port);
    if (record == port_records.end()) fail("no port " + port);
    for (const auto& bit : record->value().as_object().at("bits").as_array()) {
      columns.push_back(position_of(bit.as_string()));
    }
  }
  const std::uint32_t phi1 = position_of("phi1");
  const std::uint32_t phi2 = position_of("phi2");
  const std::size_t width = columns.size();
  const std::size_t cycles = width == 0 ? 0 : stimulus.size() / width;
  if (cycles == 0) fail("the stimulus holds no cycle");

  std::vector<nimbo::PositionInput> first(width + 1);
  const nimbo::PositionInput phases[3][1] = {{{phi1, "0"}}, {{phi2, "1"}}, {{phi2, "0"}}};
  std::uint64_t counted[4] = {};
  std::uint64_t run[4] = {};
  const auto one_cycle = [&](std::size_t c, bool tally) {
    for (std::size_t i = 0; i < width; ++i) {
      first[i] = {columns[i], stimulus[c * width + i] != 0 ? "1" : "0"};
    }
    first[width] = {phi1, "1"};
    for (int u = 0; u < 4; ++u) {
      const std::span<const nimbo::PositionInput> inputs =
          u == 0 ? std::span<const nimbo::PositionInput>(first)
                 : std::span<const nimbo::PositionInput>(phases[u - 1]);
      if (!simulation.update_positions(inputs).ok()) fail("an update failed");
      if (tally) {
        counted[u] += simulation.last_evaluation_count();
        run[u] += simulation.last_evaluations_run();
      }
    }
  };
  if (!simulation.update_positions({}).ok()) fail("the first update failed");
  for (std::size_t c = 0; c < cycles; ++c) one_cycle(c, true);
  std::size_t done = 0;
  const double start = thread_seconds();
  double elapsed = 0;
  do {
    for (std::size_t c = 0; c < cycles; ++c) one_cycle(c, false);
    done += cycles;
    elapsed = thread_seconds() - start;
  } while (elapsed < min_seconds);

  std::printf("%zu busses, %zu cycles of %zu input bits\n", simulation.bus_count(), cycles, width);
  std::printf("per cycle: %.2f us (CPU time, %zu cycles)\n",
              elapsed * 1e6 / static_cast<double>(done), done);
  const char* names[4] = {"inputs, phi1 1", "phi1 0", "phi2 1", "phi2 0"};
  for (int u = 0; u < 4; ++u) {
    std::printf("  %-15s evaluations counted %8.1f, run %8.1f\n", names[u],
                static_cast<double>(counted[u]) / static_cast<double>(cycles),
                static_cast<double>(run[u]) / static_cast<double>(cycles));
  }
  return 0;
}
