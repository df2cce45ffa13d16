// The loop of an update that does not settle: the strongly connected parts
// of the changing busses (Tarjan's algorithm, without recursion, so that a
// loop of a million busses needs no deep stack), then the shortest loop
// through the first bus of the first part that is a loop, by a breadth-first
// walk inside that part. Linear in the changing busses and their readers.
#include "engine/unsettled.hpp"

#include <algorithm>
#include <limits>

namespace nimbo {
namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::vector<std::uint32_t> loop_among(std::span<const std::uint8_t> changing,
                                      std::span<const std::uint32_t> offsets,
                                      std::span<const std::uint32_t> readers) {
  const std::size_t count = changing.size();
  const auto reads_itself = [&](std::uint32_t p) {
    return std::find(readers.begin() + offsets[p], readers.begin() + offsets[p + 1], p) !=
           readers.begin() + offsets[p + 1];
  };
  // Tarjan: visit order, lowest order reachable, the part of each bus.
  std::vector<std::uint32_t> order(count, kNone);
  std::vector<std::uint32_t> low(count, 0);
  std::vector<std::uint32_t> part(count, kNone);
  std::vector<std::uint32_t> stack;
  struct Frame {
    std::uint32_t bus;
    std::uint32_t next;  // the next reader to look at
  };
  std::vector<Frame> frames;
  std::uint32_t visited = 0;
  std::uint32_t parts = 0;
  std::uint32_t start = kNone;  // the first bus of a part that is a loop
  for (std::uint32_t root = 0; root < count; ++root) {
    if (!changing[root] || order[root] != kNone) continue;
    frames.push_back({root, offsets[root]});
    order[root] = low[root] = visited++;
    stack.push_back(root);
    while (!frames.empty()) {
      Frame& frame = frames.back();
      const std::uint32_t bus = frame.bus;
      if (frame.next < offsets[bus + 1]) {
        const std::uint32_t reader = readers[frame.next++];
        if (!changing[reader]) continue;
        if (order[reader] == kNone) {
          order[reader] = low[reader] = visited++;
          stack.push_back(reader);
          frames.push_back({reader, offsets[reader]});
        } else if (part[reader] == kNone) {
          low[bus] = std::min(low[bus], order[reader]);
        }
        continue;
      }
      frames.pop_back();
      if (!frames.empty()) low[frames.back().bus] = std::min(low[frames.back().bus], low[bus]);
      if (low[bus] != order[bus]) continue;
      // `bus` closes a part: the busses above it on the stack.
      std::uint32_t first = kNone;
      std::size_t size = 0;
      std::uint32_t member = kNone;
      do {
        member = stack.back();
        stack.pop_back();
        part[member] = parts;
        first = std::min(first, member);
        ++size;
      } while (member != bus);
      ++parts;
      if ((size > 1 || reads_itself(bus)) && first < start) start = first;
    }
  }
  if (start == kNone) return {};

  // The shortest way from `start` back to it inside its part, along readers.
  const std::uint32_t loop_part = part[start];
  std::vector<std::uint32_t> from(count, kNone);
  std::vector<std::uint32_t> queue{start};
  std::uint32_t last = kNone;  // the bus that `start` reads to close the loop
  for (std::size_t head = 0; head < queue.size() && last == kNone; ++head) {
    const std::uint32_t bus = queue[head];
    for (std::uint32_t i = offsets[bus]; i < offsets[bus + 1]; ++i) {
      const std::uint32_t reader = readers[i];
      if (part[reader] != loop_part) continue;
      if (reader == start) {
        last = bus;
        break;
      }
      if (from[reader] != kNone) continue;
      from[reader] = bus;
      queue.push_back(reader);
    }
  }
  // start -> ... -> last, each read by the next: reversed, each reads the next.
  std::vector<std::uint32_t> loop;
  for (std::uint32_t bus = last; bus != start; bus = from[bus]) loop.push_back(bus);
  loop.push_back(start);
  std::reverse(loop.begin(), loop.end());
  // Now start, b1, ..., last with each read by the next; turn it so that each
  // reads the next: start reads last, last reads ..., b1 reads start.
  std::reverse(loop.begin() + 1, loop.end());
  return loop;
}

}  // namespace nimbo
