#include "renderer/memory_json.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <boost/json/value.hpp>

namespace nimbo {
namespace {

namespace json = boost::json;

// One object of the document and the place its messages start with
// ("memories[0] (name 'ram'): read_ports[1]"). Each read fills `out` when the
// key is present and answers the error when its value has the wrong type.
class Fields {
 public:
  Fields(const json::object& object, std::string place)
      : object_(object), place_(std::move(place)) {}

  const std::string& place() const noexcept { return place_; }
  Error fail(const std::string& what) const { return Error{place_ + ": " + what}; }

  std::optional<Error> read(const char* key, std::optional<std::string>& out) const {
    const json::value* value = object_.if_contains(key);
    if (value == nullptr) return std::nullopt;
    const json::string* text = value->if_string();
    if (text == nullptr) return fail(std::string("'") + key + "' must be a string");
    out.emplace(text->data(), text->size());
    return std::nullopt;
  }

  std::optional<Error> read(const char* key, std::string& out) const {
    std::optional<std::string> text;
    if (std::optional<Error> error = read(key, text)) return error;
    if (!text) return fail(std::string("'") + key + "' is missing");
    out = std::move(*text);
    return std::nullopt;
  }

  std::optional<Error> read(const char* key, std::optional<std::vector<std::string>>& out) const {
    const json::value* value = object_.if_contains(key);
    if (value == nullptr) return std::nullopt;
    const json::array* items = value->if_array();
    if (items == nullptr) return fail(std::string("'") + key + "' must be an array of bus ids");
    std::vector<std::string> ids;
    ids.reserve(items->size());
    for (const json::value& item : *items) {
      const json::string* id = item.if_string();
      if (id == nullptr) return fail(std::string("'") + key + "' must be an array of bus ids");
      ids.emplace_back(id->data(), id->size());
    }
    out = std::move(ids);
    return std::nullopt;
  }

  std::optional<Error> read(const char* key, std::vector<std::string>& out) const {
    std::optional<std::vector<std::string>> ids;
    if (std::optional<Error> error = read(key, ids)) return error;
    if (!ids) return fail(std::string("'") + key + "' is missing");
    out = std::move(*ids);
    return std::nullopt;
  }

  std::optional<Error> read(const char* key, std::optional<std::int64_t>& out) const {
    const json::value* value = object_.if_contains(key);
    if (value == nullptr) return std::nullopt;
    if (value->is_int64()) {
      out = value->get_int64();
      return std::nullopt;
    }
    return fail(std::string("'") + key + "' must be an integer");
  }

  std::optional<Error> read(const char* key, std::optional<std::uint64_t>& out) const {
    const json::value* value = object_.if_contains(key);
    if (value == nullptr) return std::nullopt;
    if (value->is_uint64()) {
      out = value->get_uint64();
      return std::nullopt;
    }
    if (value->is_int64() && value->get_int64() >= 0) {
      out = static_cast<std::uint64_t>(value->get_int64());
      return std::nullopt;
    }
    return fail(std::string("'") + key + "' must be a whole number");
  }

  std::optional<Error> read(const char* key, std::optional<bool>& out) const {
    const json::value* value = object_.if_contains(key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_bool()) return fail(std::string("'") + key + "' must be true or false");
    out = value->get_bool();
    return std::nullopt;
  }

  std::optional<Error> read(const char* key, std::optional<Edge>& out) const {
    std::optional<std::string> text;
    if (std::optional<Error> error = read(key, text)) return error;
    if (!text) return std::nullopt;
    if (*text == "posedge") {
      out = Edge::kPosedge;
    } else if (*text == "negedge") {
      out = Edge::kNegedge;
    } else {
      return fail(std::string("'") + key + "' must be \"posedge\" or \"negedge\"");
    }
    return std::nullopt;
  }

  std::optional<Error> read(const char* key, std::optional<std::vector<std::uint64_t>>& out) const {
    const json::value* value = object_.if_contains(key);
    if (value == nullptr) return std::nullopt;
    const json::array* items = value->if_array();
    const std::string refusal = std::string("'") + key + "' must be an array of write port indexes";
    if (items == nullptr) return fail(refusal);
    std::vector<std::uint64_t> indexes;
    for (const json::value& item : *items) {
      if (item.is_uint64()) {
        indexes.push_back(item.get_uint64());
      } else if (item.is_int64() && item.get_int64() >= 0) {
        indexes.push_back(static_cast<std::uint64_t>(item.get_int64()));
      } else {
        return fail(refusal);
      }
    }
    out = std::move(indexes);
    return std::nullopt;
  }

  // The objects of an optional array member, each with its place.
  Result<std::vector<Fields>> objects(const char* key, const char* what) const {
    std::vector<Fields> found;
    const json::value* value = object_.if_contains(key);
    if (value == nullptr || value->is_null()) return found;
    const json::array* items = value->if_array();
    if (items == nullptr) return fail(std::string("'") + key + "' must be an array");
    found.reserve(items->size());
    for (std::size_t i = 0; i < items->size(); ++i) {
      const std::string place = place_ + ": " + key + "[" + std::to_string(i) + "]";
      const json::object* item = (*items)[i].if_object();
      if (item == nullptr) return Error{place + ": " + what + " is an object"};
      found.emplace_back(*item, place);
    }
    return found;
  }

 private:
  const json::object& object_;
  std::string place_;
};

Result<MemoryInitRecord> init_record(const Fields& fields) {
  MemoryInitRecord init;
  std::optional<std::uint64_t> word;
  std::optional<std::vector<std::string>> values;
  std::optional<std::uint64_t> repeat;
  if (auto error = fields.read("word", word)) return *error;
  if (!word) return fields.fail("'word' is missing");
  if (auto error = fields.read("values", values)) return *error;
  if (!values) return fields.fail("'values' is missing");
  if (auto error = fields.read("repeat", repeat)) return *error;
  init.word = *word;
  init.values = std::move(*values);
  init.repeat = repeat.value_or(1);
  return init;
}

Result<MemoryReadRecord> read_record(const Fields& fields) {
  MemoryReadRecord port;
  std::optional<std::string>* texts[] = {&port.clock,       &port.enable,
                                         &port.async_reset, &port.async_reset_value,
                                         &port.sync_reset,  &port.sync_reset_value};
  const char* keys[] = {"clock",      "enable",          "async_reset", "async_reset_value",
                        "sync_reset", "sync_reset_value"};
  if (auto error = fields.read("address", port.address)) return *error;
  if (auto error = fields.read("data", port.data)) return *error;
  for (std::size_t i = 0; i < std::size(keys); ++i) {
    if (auto error = fields.read(keys[i], *texts[i])) return *error;
  }
  if (auto error = fields.read("edge", port.edge)) return *error;
  if (auto error = fields.read("enable_over_reset", port.enable_over_reset)) return *error;
  if (auto error = fields.read("transparent", port.transparent)) return *error;
  return port;
}

Result<MemoryWriteRecord> write_record(const Fields& fields) {
  MemoryWriteRecord port;
  std::optional<Edge> edge;
  if (auto error = fields.read("clock", port.clock)) return *error;
  if (auto error = fields.read("edge", edge)) return *error;
  if (auto error = fields.read("address", port.address)) return *error;
  if (auto error = fields.read("data", port.data)) return *error;
  if (auto error = fields.read("enable", port.enable)) return *error;
  port.edge = edge.value_or(Edge::kPosedge);
  return port;
}

Result<MemoryRecord> memory_record(const json::value& element, std::size_t index) {
  const std::string place = "memories[" + std::to_string(index) + "]";
  const json::object* object = element.if_object();
  if (object == nullptr) return Error{place + ": a memory is an object"};
  MemoryRecord memory;
  memory.index = index;
  if (auto error = Fields(*object, place).read("name", memory.name)) return *error;
  const Fields fields(*object, place + " (name '" + memory.name + "')");
  std::optional<std::uint64_t> words;
  std::optional<std::uint64_t> width;
  std::optional<std::int64_t> offset;
  if (auto error = fields.read("words", words)) return *error;
  if (!words) return fields.fail("'words' is missing");
  if (auto error = fields.read("width", width)) return *error;
  if (!width) return fields.fail("'width' is missing");
  if (auto error = fields.read("offset", offset)) return *error;
  std::optional<bool> uninitialised;
  if (auto error = fields.read("uninitialised", uninitialised)) return *error;
  memory.words = *words;
  memory.width = *width;
  memory.offset = offset.value_or(0);
  memory.uninitialised = uninitialised.value_or(false);

  Result<std::vector<Fields>> inits = fields.objects("init", "an init run");
  if (!inits.ok()) return Error{std::move(inits).error()};
  for (const Fields& run : inits.value()) {
    Result<MemoryInitRecord> init = init_record(run);
    if (!init.ok()) return Error{std::move(init).error()};
    memory.init.push_back(std::move(init).value());
  }
  Result<std::vector<Fields>> reads = fields.objects("read_ports", "a read port");
  if (!reads.ok()) return Error{std::move(reads).error()};
  for (const Fields& port : reads.value()) {
    Result<MemoryReadRecord> read = read_record(port);
    if (!read.ok()) return Error{std::move(read).error()};
    memory.read_ports.push_back(std::move(read).value());
  }
  Result<std::vector<Fields>> writes = fields.objects("write_ports", "a write port");
  if (!writes.ok()) return Error{std::move(writes).error()};
  for (const Fields& port : writes.value()) {
    Result<MemoryWriteRecord> write = write_record(port);
    if (!write.ok()) return Error{std::move(write).error()};
    memory.write_ports.push_back(std::move(write).value());
  }
  return memory;
}

}  // namespace

Result<std::vector<MemoryRecord>> memory_records(const json::object& component) {
  std::vector<MemoryRecord> records;
  const json::value* memories = component.if_contains("memories");
  if (memories == nullptr || memories->is_null()) return records;
  const json::array* elements = memories->if_array();
  if (elements == nullptr) return Error{"'memories' must be an array"};
  records.reserve(elements->size());
  for (std::size_t i = 0; i < elements->size(); ++i) {
    Result<MemoryRecord> record = memory_record((*elements)[i], i);
    if (!record.ok()) return Error{std::move(record).error()};
    records.push_back(std::move(record).value());
  }
  return records;
}

}  // namespace nimbo
