// When one pass gives the values of the worklist.
//
// The update writes the inputs, puts every bus in the worklist in table
// order, and then takes busses from the front: a driven bus is evaluated and,
// when its value changed, the busses of its influence list that are not
// waiting are appended. Inputs (busses without an assignment) never change
// after the writes, so only reads of driven busses matter below. A value
// written into a driven bus is replaced when that bus is evaluated and is
// read only by busses evaluated before it; the argument covers that too.
//
// Call a driven bus q "final at its seed" when every driven bus r it reads
// comes earlier in the table (r < q) and is final at its seed itself. Such a
// bus changes at most once, when it is taken as a seed: its operands have
// their last values by then, so every later evaluation gives the same value.
//
// Claim. If no chain of reads leads from a driven bus back to itself, and
// every read "q reads r" of a driven r is either (a) r < q with r final at
// its seed, or (b) listed, q in the influence list of r, then the update
// ends in the unique values that satisfy every assignment for the written
// inputs; one pass in an order where each bus follows the busses it reads
// computes exactly them.
//
// Invariant: every driven bus that is not waiting holds the value of its
// assignment over the current values. At the start every bus waits. Taking
// q makes q consistent. When r changes, each reader q of r waits afterwards:
// under (b) q is appended unless it is waiting already; under (a) r changes
// only when taken as a seed, and q > r is a seed still waiting then. A
// change breaks consistency only for readers, so the invariant holds.
//
// Termination: number the driven busses by depth (the longest chain of reads
// of driven busses below them). Let round 1 be the seeds and round k+1 the
// busses appended while round k is taken; each bus waits at most once at a
// time, so a round evaluates each bus at most once. A bus of depth d holds
// its last value after round d + 1 (its operands hold theirs after round d,
// and it is evaluated after their last change), so the worklist empties
// after at most depth + 2 rounds. When it is empty, every driven bus is
// consistent; without cycles those values are unique, and a pass in read
// order computes them.
//
// Hence such a component always settles: only components with feedback need
// an evaluation bound. The order of evaluations is not observable, so those
// components run as one pass (Component::update_signals), and every other
// component keeps the worklist.
#include "engine/schedule.hpp"

#include <cstddef>

namespace nimbo {
namespace {

// Compressed lists: the entries of item i are entries[offsets[i] .. offsets[i + 1]).
struct Lists {
  std::vector<std::uint32_t> offsets;
  std::vector<std::uint32_t> entries;

  std::size_t begin(std::size_t i) const { return offsets[i]; }
  std::size_t end(std::size_t i) const { return offsets[i + 1]; }
};

bool is_driven(const GateGraph& graph, std::size_t position) {
  return graph.driver(position).kind != BusDriver::Kind::kInput;
}

// For every bus, the driven busses that read it (a reader may repeat).
Lists driven_readers(const GateGraph& graph) {
  const std::size_t count = graph.bus_count();
  Lists readers;
  readers.offsets.assign(count + 1, 0);
  for (std::size_t q = 0; q < count; ++q) {
    graph.for_each_bus_read(q, [&](ValueId r) { ++readers.offsets[r + 1]; });
  }
  for (std::size_t i = 0; i < count; ++i) readers.offsets[i + 1] += readers.offsets[i];
  readers.entries.resize(readers.offsets[count]);
  std::vector<std::uint32_t> fill(readers.offsets.begin(), readers.offsets.end() - 1);
  for (std::size_t q = 0; q < count; ++q) {
    graph.for_each_bus_read(
        q, [&](ValueId r) { readers.entries[fill[r]++] = static_cast<std::uint32_t>(q); });
  }
  return readers;
}

// A read order of the driven busses (each after the driven busses it reads),
// or an empty list when reads form a cycle.
std::vector<std::uint32_t> read_order(const GateGraph& graph, const Lists& readers) {
  const std::size_t count = graph.bus_count();
  std::vector<std::uint32_t> pending(count, 0);  // driven reads not yet ordered
  std::size_t driven = 0;
  for (std::size_t q = 0; q < count; ++q) {
    if (!is_driven(graph, q)) continue;
    ++driven;
    graph.for_each_bus_read(q, [&](ValueId r) {
      if (is_driven(graph, r)) ++pending[q];
    });
  }
  std::vector<std::uint32_t> order;
  order.reserve(driven);
  for (std::size_t q = 0; q < count; ++q) {
    if (is_driven(graph, q) && pending[q] == 0) order.push_back(static_cast<std::uint32_t>(q));
  }
  for (std::size_t next = 0; next < order.size(); ++next) {
    const std::uint32_t r = order[next];
    for (std::size_t i = readers.begin(r); i < readers.end(r); ++i) {
      const std::uint32_t q = readers.entries[i];
      if (--pending[q] == 0) order.push_back(q);
    }
  }
  if (order.size() != driven) order.clear();
  return order;
}

bool every_read_settles(const GateGraph& graph, const BusTable& busses, const Lists& readers) {
  const std::size_t count = graph.bus_count();
  std::vector<bool> final_at_seed(count, false);
  for (std::size_t q = 0; q < count; ++q) {
    if (!is_driven(graph, q)) continue;
    bool final = true;
    graph.for_each_bus_read(q, [&](ValueId r) {
      if (is_driven(graph, r) && !(r < q && final_at_seed[r])) final = false;
    });
    final_at_seed[q] = final;
  }
  std::vector<bool> listed(count, false);
  for (std::size_t r = 0; r < count; ++r) {
    if (!is_driven(graph, r) || readers.begin(r) == readers.end(r)) continue;
    const InfluenceList& influence = busses.influence_list(r);
    for (const std::uint64_t target : influence) {
      if (target < count) listed[target] = true;
    }
    bool settles = true;
    for (std::size_t i = readers.begin(r); i < readers.end(r); ++i) {
      const std::uint32_t q = readers.entries[i];
      if (!listed[q] && !(r < q && final_at_seed[r])) settles = false;
    }
    for (const std::uint64_t target : influence) {
      if (target < count) listed[target] = false;
    }
    if (!settles) return false;
  }
  return true;
}

}  // namespace

Schedule make_schedule(const GateGraph& graph, const BusTable& busses) {
  Schedule schedule;
  const Lists readers = driven_readers(graph);
  schedule.order = read_order(graph, readers);
  std::size_t driven = 0;
  for (std::size_t q = 0; q < graph.bus_count(); ++q) driven += is_driven(graph, q);
  schedule.feedback = schedule.order.size() != driven;
  schedule.one_pass = !schedule.feedback && every_read_settles(graph, busses, readers);
  return schedule;
}

}  // namespace nimbo
