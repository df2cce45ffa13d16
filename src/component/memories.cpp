#include "component/memories.hpp"

#include <algorithm>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace nimbo {
namespace {

std::string bits_text(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " bit" : " bits");
}

enum class Role : std::uint8_t { kNone, kRegisterQ, kClock, kReadData };

// What each bus already is, and what made it so (for messages).
class Roles {
 public:
  explicit Roles(std::size_t busses) : roles_(busses, Role::kNone) {}

  Role of(std::uint32_t position) const { return roles_[position]; }
  const std::string& owner(std::uint32_t position) const { return owners_.at(position); }
  void set(std::uint32_t position, Role role, std::string owner) {
    roles_[position] = role;
    owners_.insert_or_assign(position, std::move(owner));
  }

 private:
  std::vector<Role> roles_;
  std::unordered_map<std::uint32_t, std::string> owners_;
};

// The resolution of one memory: its place in messages and the component.
class Resolver {
 public:
  Resolver(const Component& component, Roles& roles) : component_(component), roles_(roles) {}

  Result<std::uint32_t> find(const std::string& place, const std::string& id,
                             const char* field) const {
    const auto position = component_.find(id);
    if (!position) return Error{place + ": " + field + " '" + id + "' names no bus"};
    return static_cast<std::uint32_t>(*position);
  }

  Result<std::optional<std::uint32_t>> find(const std::string& place,
                                            const std::optional<std::string>& id,
                                            const char* field) const {
    if (!id) return std::optional<std::uint32_t>{};
    Result<std::uint32_t> position = find(place, *id, field);
    if (!position.ok()) return Error{std::move(position).error()};
    return std::optional<std::uint32_t>(position.value());
  }

  Result<BitList> list(const std::string& place, const std::vector<std::string>& ids,
                       const char* field) const {
    BitList positions;
    positions.reserve(ids.size());
    for (const std::string& id : ids) {
      Result<std::uint32_t> position = find(place, id, field);
      if (!position.ok()) return Error{std::move(position).error()};
      positions.push_back(position.value());
    }
    return positions;
  }

  // A clock: a one-bit bus without assignment that is no register's q and
  // no read port's data.
  Result<std::uint32_t> clock(const std::string& place, const std::string& id) const {
    Result<std::uint32_t> found = find(place, id, "clock");
    if (!found.ok()) return found;
    const std::uint32_t position = found.value();
    if (component_.is_driven(position)) {
      return Error{place + ": clock '" + id +
                   "' has an assignment; a clock must be a bus without one (an input)"};
    }
    if (roles_.of(position) == Role::kRegisterQ) {
      return Error{place + ": clock '" + id + "' is the q of " + roles_.owner(position) +
                   "; clocks must be inputs (derive a clock enable instead)"};
    }
    if (roles_.of(position) == Role::kReadData) {
      return Error{place + ": clock '" + id + "' is the data of " + roles_.owner(position) +
                   "; clocks must be inputs"};
    }
    const std::size_t width = component_.busses().value(position).width();
    if (width != 1) {
      return Error{place + ": clock '" + id + "' has " + bits_text(width) + "; a clock has 1"};
    }
    return position;
  }

  // The data of a read port: busses without assignment, each the data of
  // this port alone, giving `width` bits. Marks them as read data.
  Result<BitList> read_data(const std::string& place, const std::vector<std::string>& ids,
                            std::size_t width) {
    Result<BitList> found = list(place, ids, "data");
    if (!found.ok()) return found;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const std::uint32_t position = found.value()[i];
      const std::string& id = ids[i];
      if (component_.is_driven(position)) {
        return Error{place + ": data '" + id +
                     "' has an assignment; the data of a read port is a bus without one"};
      }
      switch (roles_.of(position)) {
        case Role::kRegisterQ:
          return Error{place + ": data '" + id + "' is the q of " + roles_.owner(position)};
        case Role::kClock:
          return Error{place + ": data '" + id + "' is a clock of a register"};
        case Role::kReadData:
          return Error{place + ": data '" + id + "' is already the data of " +
                       roles_.owner(position)};
        case Role::kNone:
          break;
      }
      roles_.set(position, Role::kReadData, place);
    }
    const BusTable& table = component_.busses();
    Status sized = check_list_width(
        place, "data", found.value(), [&](std::uint32_t p) { return table.value(p).width(); },
        component_, width);
    if (!sized.ok()) return Error{std::move(sized).error()};
    return found;
  }

  // The width of a bit list, or why it has none: several busses must be
  // one bit each. With `expected`, the width must be that.
  static Status check_list_width(const std::string& place, const char* field, const BitList& list,
                                 const std::function<std::size_t(std::uint32_t)>& width_of,
                                 const Component& component,
                                 std::optional<std::size_t> expected = std::nullopt) {
    std::size_t width = list.size();
    if (list.size() == 1) {
      width = width_of(list[0]);
    } else {
      for (const std::uint32_t position : list) {
        const std::size_t bits = width_of(position);
        if (bits != 1) {
          return Error{place + ": " + field + " '" + component.busses().id(position) + "' has " +
                       bits_text(bits) + "; a list of several busses takes one bit from each"};
        }
      }
    }
    if (expected && width != *expected) {
      return Error{place + ": " + field + " has " + bits_text(width) + " but the words have " +
                   std::to_string(*expected)};
    }
    if (!expected && width > kMaxAddressBits) {
      return Error{place + ": " + field + " has " + bits_text(width) + "; an address has at most " +
                   std::to_string(kMaxAddressBits)};
    }
    return ok_status();
  }

 private:
  const Component& component_;
  Roles& roles_;
};

Status check_sizes(const MemoryRecord& record, const std::string& place) {
  if (record.name.empty()) return Error{place + ": 'name' is empty"};
  if (record.words < 1 || record.words > kMaxMemoryWords) {
    return Error{place + ": 'words' must be from 1 to " + std::to_string(kMaxMemoryWords)};
  }
  if (record.width < 1 || record.width > kMaxMemoryWidth) {
    return Error{place + ": 'width' must be from 1 to " + std::to_string(kMaxMemoryWidth)};
  }
  if (record.words * record.width > kMaxMemoryBits) {
    return Error{place + ": " + std::to_string(record.words) + " words of " +
                 bits_text(record.width) + " are more than the " + std::to_string(kMaxMemoryBits) +
                 " bits a memory holds at most"};
  }
  return ok_status();
}

int hex_digit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Writes the hex text `value` (most significant digit first) as word `word`
// of `memory`'s contents.
Status write_hex(Memory& memory, std::uint64_t word, const std::string& value,
                 const std::string& place) {
  if (value.empty()) return Error{place + ": value '' is not a hex number"};
  std::uint64_t* row = memory.contents.data() + word * memory.stride;
  std::fill(row, row + memory.stride, 0);  // a later run replaces an earlier one
  std::size_t bit = 0;
  for (auto ch = value.rbegin(); ch != value.rend(); ++ch, bit += 4) {
    const int digit = hex_digit(*ch);
    if (digit < 0) return Error{place + ": value '" + value + "' is not a hex number"};
    for (std::size_t k = 0; k < 4; ++k) {
      if (((digit >> k) & 1) == 0) continue;
      if (bit + k >= memory.width) {
        return Error{place + ": value '" + value + "' does not fit in " + bits_text(memory.width)};
      }
      row[(bit + k) / 64] |= std::uint64_t{1} << ((bit + k) % 64);
    }
  }
  return ok_status();
}

Status unpack_init(Memory& memory, const MemoryRecord& record, const std::string& place) {
  memory.stride = (memory.width + 63) / 64;
  memory.contents.assign(memory.words * memory.stride, 0);
  for (std::size_t i = 0; i < record.init.size(); ++i) {
    const MemoryInitRecord& run = record.init[i];
    const std::string at = place + ": init[" + std::to_string(i) + "]";
    if (run.values.empty()) return Error{at + ": 'values' is empty"};
    if (run.repeat < 1) return Error{at + ": 'repeat' must be at least 1"};
    // words <= 2^24, so the product below cannot overflow once both factors are checked.
    const bool fits = run.word < memory.words && run.values.size() <= memory.words &&
                      run.repeat <= memory.words &&
                      run.values.size() * run.repeat <= memory.words - run.word;
    if (!fits) {
      return Error{at + ": it runs past the last word, " + std::to_string(memory.words - 1)};
    }
    // Each value is checked once, then copied to its repeats.
    for (std::size_t v = 0; v < run.values.size(); ++v) {
      Status written = write_hex(memory, run.word + v, run.values[v], at);
      if (!written.ok()) return written;
    }
    const std::size_t span = run.values.size() * memory.stride;
    const std::uint64_t* first = memory.contents.data() + run.word * memory.stride;
    for (std::uint64_t r = 1; r < run.repeat; ++r) {
      std::copy(first, first + span,
                memory.contents.data() + (run.word + r * run.values.size()) * memory.stride);
    }
  }
  return ok_status();
}

Result<BitBusValue> reset_value(const std::optional<std::string>& value, const char* name,
                                std::size_t width, const std::string& place) {
  if (!value) return BitBusValue::zeros(width);
  Result<BitBusValue> bits = BitBusValue::from_string(*value);
  if (!bits.ok() || bits.value().width() != width) {
    return Error{place + ": " + name + " must be a bit string of " + bits_text(width) +
                 ", as the words have"};
  }
  return bits;
}

Result<MemoryReadPort> read_port(Resolver& resolver, const MemoryReadRecord& record,
                                 const std::string& place, std::size_t width, BitList data) {
  MemoryReadPort port;
  port.data = std::move(data);
  Result<BitList> address = resolver.list(place, record.address, "address");
  if (!address.ok()) return Error{std::move(address).error()};
  port.address = std::move(address).value();
  if (!record.clock) {
    const std::pair<bool, const char*> synchronous_only[] = {
        {record.edge.has_value(), "edge"},
        {record.enable.has_value(), "enable"},
        {record.async_reset.has_value(), "async_reset"},
        {record.async_reset_value.has_value(), "async_reset_value"},
        {record.sync_reset.has_value(), "sync_reset"},
        {record.sync_reset_value.has_value(), "sync_reset_value"},
        {record.enable_over_reset.has_value(), "enable_over_reset"},
        {record.transparent && !record.transparent->empty(), "transparent"}};
    for (const auto& [given, field] : synchronous_only) {
      if (given) {
        return Error{place + ": " + field +
                     " is given without clock; a read port without a clock is asynchronous"};
      }
    }
    return port;
  }
  Result<std::uint32_t> clock = resolver.clock(place, *record.clock);
  if (!clock.ok()) return Error{std::move(clock).error()};
  port.clock = clock.value();
  port.edge = record.edge.value_or(Edge::kPosedge);
  for (const auto& [id, target, field] :
       {std::tuple{&record.enable, &port.enable, "enable"},
        std::tuple{&record.async_reset, &port.async_reset, "async_reset"},
        std::tuple{&record.sync_reset, &port.sync_reset, "sync_reset"}}) {
    Result<std::optional<std::uint32_t>> found = resolver.find(place, *id, field);
    if (!found.ok()) return Error{std::move(found).error()};
    *target = found.value();
  }
  if (record.async_reset_value && !record.async_reset) {
    return Error{place + ": async_reset_value is given without async_reset"};
  }
  if (record.sync_reset_value && !record.sync_reset) {
    return Error{place + ": sync_reset_value is given without sync_reset"};
  }
  if (record.enable_over_reset && !record.sync_reset) {
    return Error{place + ": enable_over_reset is given without sync_reset"};
  }
  Result<BitBusValue> async_value =
      reset_value(record.async_reset_value, "async_reset_value", width, place);
  if (!async_value.ok()) return Error{std::move(async_value).error()};
  port.async_reset_value = std::move(async_value).value();
  Result<BitBusValue> sync_value =
      reset_value(record.sync_reset_value, "sync_reset_value", width, place);
  if (!sync_value.ok()) return Error{std::move(sync_value).error()};
  port.sync_reset_value = std::move(sync_value).value();
  port.enable_over_reset = record.enable_over_reset.value_or(false);
  return port;
}

Status check_transparency(const Memory& memory, const MemoryRecord& record,
                          const std::string& place) {
  for (std::size_t r = 0; r < record.read_ports.size(); ++r) {
    const MemoryReadPort& port = memory.read_ports[r];
    if (!record.read_ports[r].transparent) continue;
    const std::string at = place + ": read_ports[" + std::to_string(r) + "]";
    std::vector<bool> named(memory.write_ports.size(), false);
    for (const std::uint64_t w : *record.read_ports[r].transparent) {
      const std::string write = "write_ports[" + std::to_string(w) + "]";
      if (w >= memory.write_ports.size()) {
        return Error{at + ": transparent names " + write + ", which the memory lacks"};
      }
      if (named[w]) return Error{at + ": transparent names " + write + " twice"};
      named[w] = true;
      const MemoryWritePort& writer = memory.write_ports[w];
      if (writer.clock != *port.clock || writer.edge != port.edge) {
        return Error{at + ": transparent names " + write +
                     ", whose clock or edge is not this port's (a read port is transparent only "
                     "to write ports of its clock and edge)"};
      }
    }
  }
  return ok_status();
}

}  // namespace

std::string Memory::place() const {
  return "memories[" + std::to_string(index) + "] (name '" + name + "')";
}

Result<Memories> resolve_memories(const Component& component,
                                  std::span<const RegisterRecord> registers,
                                  std::span<const MemoryRecord> records) {
  Memories memories;
  Roles roles(component.bus_count());
  for (const RegisterRecord& reg : registers) {
    const std::string owner = "registers[" + std::to_string(reg.index) + "]";
    if (const auto q = component.find(reg.q)) roles.set(*q, Role::kRegisterQ, owner);
  }
  for (const RegisterRecord& reg : registers) {
    const auto clock = component.find(reg.clock);
    if (clock && roles.of(*clock) == Role::kNone) roles.set(*clock, Role::kClock, "");
  }
  Resolver resolver(component, roles);
  std::unordered_map<std::string, std::size_t> names;

  // First the sizes and every read port's data, so that a clock that is the
  // data of a later memory is found; then the rest.
  memories.list.reserve(records.size());
  std::vector<std::vector<BitList>> data(records.size());
  for (std::size_t m = 0; m < records.size(); ++m) {
    const MemoryRecord& record = records[m];
    Memory& memory = memories.list.emplace_back();
    memory.index = record.index;
    memory.name = record.name;
    const std::string place = memory.place();
    Status sized = check_sizes(record, place);
    if (!sized.ok()) return Error{std::move(sized).error()};
    const auto [named, fresh] = names.emplace(record.name, record.index);
    if (!fresh) {
      return Error{place + ": name '" + record.name + "' is also the name of memories[" +
                   std::to_string(named->second) + "]"};
    }
    memory.words = record.words;
    memory.width = static_cast<std::size_t>(record.width);
    memory.offset = record.offset;
    for (std::size_t r = 0; r < record.read_ports.size(); ++r) {
      Result<BitList> found = resolver.read_data(place + ": read_ports[" + std::to_string(r) + "]",
                                                 record.read_ports[r].data, memory.width);
      if (!found.ok()) return Error{std::move(found).error()};
      data[m].push_back(std::move(found).value());
    }
  }
  std::vector<bool> is_clock(component.bus_count(), false);
  for (std::size_t m = 0; m < records.size(); ++m) {
    const MemoryRecord& record = records[m];
    Memory& memory = memories.list[m];
    const std::string place = memory.place();
    for (std::size_t w = 0; w < record.write_ports.size(); ++w) {
      const MemoryWriteRecord& writer = record.write_ports[w];
      const std::string at = place + ": write_ports[" + std::to_string(w) + "]";
      MemoryWritePort port;
      port.edge = writer.edge;
      Result<std::uint32_t> clock = resolver.clock(at, writer.clock);
      if (!clock.ok()) return Error{std::move(clock).error()};
      port.clock = clock.value();
      for (const auto& [ids, target, field] :
           {std::tuple{&writer.address, &port.address, "address"},
            std::tuple{&writer.data, &port.data, "data"}}) {
        Result<BitList> found = resolver.list(at, *ids, field);
        if (!found.ok()) return Error{std::move(found).error()};
        *target = std::move(found).value();
      }
      if (writer.enable) {
        Result<BitList> found = resolver.list(at, *writer.enable, "enable");
        if (!found.ok()) return Error{std::move(found).error()};
        port.enable = std::move(found).value();
      }
      if (port.address.size() > kMaxAddressBits) {
        return Error{at + ": address has " + bits_text(port.address.size()) +
                     "; an address has at most " + std::to_string(kMaxAddressBits)};
      }
      memory.write_ports.push_back(std::move(port));
    }
    for (std::size_t r = 0; r < record.read_ports.size(); ++r) {
      const std::string at = place + ": read_ports[" + std::to_string(r) + "]";
      Result<MemoryReadPort> port =
          read_port(resolver, record.read_ports[r], at, memory.width, std::move(data[m][r]));
      if (!port.ok()) return Error{std::move(port).error()};
      if (port.value().address.size() > kMaxAddressBits) {
        return Error{at + ": address has " + bits_text(port.value().address.size()) +
                     "; an address has at most " + std::to_string(kMaxAddressBits)};
      }
      if (record.read_ports[r].transparent) {
        port.value().transparent.assign(record.read_ports[r].transparent->begin(),
                                        record.read_ports[r].transparent->end());
        std::sort(port.value().transparent.begin(), port.value().transparent.end());
      }
      memory.read_ports.push_back(std::move(port).value());
    }
    Status transparency = check_transparency(memory, record, place);
    if (!transparency.ok()) return Error{std::move(transparency).error()};
    Status unpacked = unpack_init(memory, record, place);
    if (!unpacked.ok()) return Error{std::move(unpacked).error()};
    const auto note_clock = [&](std::uint32_t clock) {
      if (!is_clock[clock]) {
        is_clock[clock] = true;
        memories.clocks.push_back(clock);
      }
    };
    for (const MemoryReadPort& port : memory.read_ports) {
      ++memories.read_ports;
      memories.async_reads = memories.async_reads || !port.synchronous();
      memories.async_parts = memories.async_parts || !port.synchronous() || port.async_reset;
      if (!port.clock) continue;
      note_clock(*port.clock);
      memories.any_negedge = memories.any_negedge || port.edge == Edge::kNegedge;
    }
    for (const MemoryWritePort& port : memory.write_ports) {
      note_clock(port.clock);
      memories.any_negedge = memories.any_negedge || port.edge == Edge::kNegedge;
    }
  }
  return memories;
}

Status check_memory_widths(const Component& component, const Memories& memories,
                           const std::function<std::size_t(std::uint32_t)>& width_of) {
  for (const Memory& memory : memories.list) {
    const std::string place = memory.place();
    for (std::size_t r = 0; r < memory.read_ports.size(); ++r) {
      const MemoryReadPort& port = memory.read_ports[r];
      const std::string at = place + ": read_ports[" + std::to_string(r) + "]";
      Status address = Resolver::check_list_width(at, "address", port.address, width_of, component);
      if (!address.ok()) return address;
      for (const auto& [position, field] :
           {std::pair{port.enable, "enable"}, std::pair{port.async_reset, "async_reset"},
            std::pair{port.sync_reset, "sync_reset"}}) {
        if (position && width_of(*position) != 1) {
          return Error{at + ": " + field + " '" + component.busses().id(*position) + "' has " +
                       bits_text(width_of(*position)) + "; it must have 1"};
        }
      }
    }
    for (std::size_t w = 0; w < memory.write_ports.size(); ++w) {
      const MemoryWritePort& port = memory.write_ports[w];
      const std::string at = place + ": write_ports[" + std::to_string(w) + "]";
      Status address = Resolver::check_list_width(at, "address", port.address, width_of, component);
      if (!address.ok()) return address;
      Status data =
          Resolver::check_list_width(at, "data", port.data, width_of, component, memory.width);
      if (!data.ok()) return data;
      if (!port.enable.empty()) {
        Status enable = Resolver::check_list_width(at, "enable", port.enable, width_of, component,
                                                   memory.width);
        if (!enable.ok()) return enable;
      }
    }
  }
  return ok_status();
}

}  // namespace nimbo
