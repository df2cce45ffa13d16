// The component's "memories" array read into MemoryRecords.
#pragma once

#include <vector>

#include <boost/json/object.hpp>

#include "common/result.hpp"
#include "component/memory_record.hpp"

namespace nimbo {

// Reads the records of `component` (the IR's "component" object); none when
// it has no "memories" key or it is null. Only the shape is checked here: an
// object per memory and per port, fields of the right JSON types, the
// required ones present. What the ids name and whether the numbers and
// values fit is resolve_memories's to say.
Result<std::vector<MemoryRecord>> memory_records(const boost::json::object& component);

}  // namespace nimbo
