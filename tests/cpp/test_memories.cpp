// The "memories" records: reading, resolution against the component, initial
// contents, and the refusals of each rule.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "component/memories.hpp"
#include "renderer/renderer.hpp"

namespace nimbo {
namespace {

// Inputs, a 3-bit address, 4-bit data (whole and by bit), read data busses
// without assignment, a driven bus and a register (q 'rq' on clk).
const std::string kBusses = R"([
  {"id":"clk","value":"0"}, {"id":"clk2","value":"0"}, {"id":"en","value":"0"},
  {"id":"addr","value":"000"}, {"id":"a0","value":"0"}, {"id":"a1","value":"0"},
  {"id":"d","value":"0000"}, {"id":"d0","value":"0"}, {"id":"d1","value":"0"},
  {"id":"d2","value":"0"}, {"id":"d3","value":"0"}, {"id":"wide","value":"00"},
  {"id":"q","value":"0000"}, {"id":"p","value":"1010"}, {"id":"r0","value":"0"},
  {"id":"r1","value":"0"}, {"id":"r2","value":"0"}, {"id":"r3","value":"0"},
  {"id":"g","assignment":{"type":"ref","args":{"id":"en"}}},
  {"id":"rq","value":"0"}])";
const std::string kRegisters = R"([{"q":"rq","d":"en","clock":"clk"}])";

std::string ir_with(const std::string& memories) {
  return R"({"component":{"id":"m","registers":)" + kRegisters + R"(,"memories":)" + memories +
         R"(,"busses":)" + kBusses + "}}";
}

// The design's memories resolved, with the widths after the first update
// taken as the declared ones (every bus here keeps its width).
Result<Memories> resolved(const std::string& memories) {
  Result<Design> design = Renderer(ir_with(memories)).render_design();
  if (!design.ok()) return Error{std::move(design).error()};
  const Design& parts = design.value();
  Result<Memories> found = resolve_memories(parts.component, parts.registers, parts.memories);
  if (!found.ok()) return found;
  const BusTable& table = parts.component.busses();
  Status sized = check_memory_widths(parts.component, found.value(), [&](std::uint32_t position) {
    return table.value(position).width();
  });
  if (!sized.ok()) return Error{std::move(sized).error()};
  return found;
}

std::string error_of(const std::string& memories) {
  Result<Memories> found = resolved(memories);
  return found.ok() ? "<resolved>" : found.error();
}

// Word `word` of `memory` as a bit string, element 0 first.
std::string word_bits(const Memory& memory, std::uint64_t word) {
  std::string bits;
  for (std::size_t b = 0; b < memory.width; ++b) {
    const std::uint64_t unit = memory.contents[word * memory.stride + b / 64];
    bits.push_back(((unit >> (b % 64)) & 1) != 0 ? '1' : '0');
  }
  return bits;
}

TEST(Memories, ResolvesPortsAndUnpacksTheInitialContents) {
  Result<Memories> found = resolved(R"([{"name":"ram","words":6,"width":4,"offset":-2,
    "init":[{"word":0,"values":["7","A"]},{"word":3,"values":["1","f"],"repeat":1},
            {"word":5,"values":["0c"]},{"word":1,"values":["3"]}],
    "read_ports":[{"address":["a0","a1"],"data":["q"]},
                  {"clock":"clk2","edge":"negedge","enable":"en","address":["addr"],
                   "data":["r0","r1","r2","r3"],"async_reset":"en","async_reset_value":"1100",
                   "sync_reset":"g","enable_over_reset":true,"transparent":[1,0]}],
    "write_ports":[{"clock":"clk2","edge":"negedge","address":["addr"],"data":["d"]},
                   {"clock":"clk2","edge":"negedge","address":["addr"],
                    "data":["d0","d1","d2","d3"],"enable":["en","en","g","g"]}]}])");
  ASSERT_TRUE(found.ok()) << found.error();
  const Memory& ram = found.value().list.at(0);
  EXPECT_EQ(ram.place(), "memories[0] (name 'ram')");
  EXPECT_EQ(ram.offset, -2);
  EXPECT_EQ(ram.stride, 1u);
  const std::vector<std::string> words = {"1110", "1100", "0000", "1000", "1111", "0011"};
  for (std::uint64_t w = 0; w < words.size(); ++w) EXPECT_EQ(word_bits(ram, w), words[w]) << w;
  ASSERT_EQ(ram.read_ports.size(), 2u);
  EXPECT_FALSE(ram.read_ports[0].synchronous());
  EXPECT_EQ(ram.read_ports[0].address.size(), 2u);
  const MemoryReadPort& sync = ram.read_ports[1];
  EXPECT_EQ(sync.edge, Edge::kNegedge);
  EXPECT_EQ(sync.async_reset_value.to_string(), "1100");
  EXPECT_EQ(sync.sync_reset_value.to_string(), "0000");
  EXPECT_TRUE(sync.enable_over_reset);
  EXPECT_EQ(sync.transparent, (std::vector<std::uint32_t>{0, 1}));
  EXPECT_TRUE(ram.write_ports[0].enable.empty());
  EXPECT_EQ(ram.write_ports[1].enable.size(), 4u);
  EXPECT_EQ(found.value().clocks.size(), 1u);  // clk2, once
}

TEST(Memories, RepeatsFillAndWideWordsSpanUnits) {
  Result<Memories> found = resolved(R"([{"name":"w","words":5,"width":70,
    "init":[{"word":1,"values":["200000000000000001","1"],"repeat":2}],
    "read_ports":[],"write_ports":[]}])");
  ASSERT_TRUE(found.ok()) << found.error();
  const Memory& memory = found.value().list[0];
  EXPECT_EQ(memory.stride, 2u);
  const std::string high = "1" + std::string(68, '0') + "1";  // bits 0 and 69
  const std::string one = "1" + std::string(69, '0');
  EXPECT_EQ(word_bits(memory, 0), std::string(70, '0'));
  EXPECT_EQ(word_bits(memory, 1), high);
  EXPECT_EQ(word_bits(memory, 2), one);
  EXPECT_EQ(word_bits(memory, 3), high);
  EXPECT_EQ(word_bits(memory, 4), one);
}

TEST(Memories, AreIgnoredByRender) {
  // nimbo.core renders the busses alone, whatever the memories say.
  Result<Component> component = Renderer(ir_with(R"([{"name":5}])")).render();
  ASSERT_TRUE(component.ok()) << component.error();
  EXPECT_EQ(component.value().bus_count(), 20u);
}

struct Refusal {
  const char* name;
  std::string memories;
  std::string message;
};

class MemoryRefusalTest : public testing::TestWithParam<Refusal> {};

TEST_P(MemoryRefusalTest, NamesTheMemoryAndTheRule) {
  EXPECT_EQ(error_of(GetParam().memories), GetParam().message);
}

// One memory of 8 words of 4 bits with the given ports.
std::string ram(const std::string& reads, const std::string& writes = "[]",
                const std::string& more = "") {
  return R"([{"name":"ram","words":8,"width":4)" + more + R"(,"read_ports":)" + reads +
         R"(,"write_ports":)" + writes + "}]";
}

const std::string kRam = "memories[0] (name 'ram'): ";
const std::string kAsyncRead = R"({"address":["addr"],"data":["q"]})";

INSTANTIATE_TEST_SUITE_P(
    Records, MemoryRefusalTest,
    testing::Values(
        Refusal{"NotAnArray", R"({"name":"ram"})", "'memories' must be an array"},
        Refusal{"NotAnObject", "[3]", "memories[0]: a memory is an object"},
        Refusal{"NoName", R"([{"words":8}])", "memories[0]: 'name' is missing"},
        Refusal{"NameNotText", R"([{"name":1}])", "memories[0]: 'name' must be a string"},
        Refusal{"NoWords", R"([{"name":"ram","width":4}])", kRam + "'words' is missing"},
        Refusal{"WordsNotWhole", R"([{"name":"ram","words":8.5,"width":4}])",
                kRam + "'words' must be a whole number"},
        Refusal{"OffsetNotInteger", R"([{"name":"ram","words":8,"width":4,"offset":"0"}])",
                kRam + "'offset' must be an integer"},
        Refusal{"PortsNotArray", R"([{"name":"ram","words":8,"width":4,"read_ports":{}}])",
                kRam + "'read_ports' must be an array"},
        Refusal{"PortNotObject", ram("[1]"), kRam + "read_ports[0]: a read port is an object"},
        Refusal{"NoAddress", ram(R"([{"data":["q"]}])"),
                kRam + "read_ports[0]: 'address' is missing"},
        Refusal{"AddressNotIds", ram(R"([{"address":"addr","data":["q"]}])"),
                kRam + "read_ports[0]: 'address' must be an array of bus ids"},
        Refusal{"BadEdge",
                ram(R"([{"clock":"clk","edge":"rising","address":["addr"],"data":["q"]}])"),
                kRam + "read_ports[0]: 'edge' must be \"posedge\" or \"negedge\""},
        Refusal{"TransparentNotIndexes",
                ram(R"([{"clock":"clk","transparent":[-1],"address":["addr"],"data":["q"]}])"),
                kRam + "read_ports[0]: 'transparent' must be an array of write port indexes"},
        Refusal{"FlagNotBool",
                ram(R"([{"clock":"clk","enable_over_reset":1,"address":["addr"],"data":["q"]}])"),
                kRam + "read_ports[0]: 'enable_over_reset' must be true or false"},
        Refusal{"WriteWithoutClock", ram("[]", R"([{"address":["addr"],"data":["d"]}])"),
                kRam + "write_ports[0]: 'clock' is missing"},
        Refusal{"InitWithoutValues", ram("[]", "[]", R"(,"init":[{"word":0}])"),
                kRam + "init[0]: 'values' is missing"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Rules, MemoryRefusalTest,
    testing::Values(
        Refusal{"EmptyName", R"([{"name":"","words":8,"width":4}])",
                "memories[0] (name ''): 'name' is empty"},
        Refusal{"NoWords", R"([{"name":"ram","words":0,"width":4}])",
                kRam + "'words' must be from 1 to 16777216"},
        Refusal{"TooWide", R"([{"name":"ram","words":8,"width":65537}])",
                kRam + "'width' must be from 1 to 65536"},
        Refusal{"TooBig", R"([{"name":"ram","words":16777216,"width":17}])",
                kRam + "16777216 words of 17 bits are more than the 268435456 bits a memory "
                       "holds at most"},
        Refusal{"SameName",
                R"([{"name":"ram","words":8,"width":4},{"name":"ram","words":8,"width":4}])",
                "memories[1] (name 'ram'): name 'ram' is also the name of memories[0]"},
        Refusal{"NoBus", ram(R"([{"address":["nope"],"data":["q"]}])"),
                kRam + "read_ports[0]: address 'nope' names no bus"},
        Refusal{"DrivenData", ram(R"([{"address":["addr"],"data":["g"]}])"),
                kRam + "read_ports[0]: data 'g' has an assignment; the data of a read port is a "
                       "bus without one"},
        Refusal{"DataIsQ", ram(R"([{"address":["addr"],"data":["rq","r1","r2","r3"]}])"),
                kRam + "read_ports[0]: data 'rq' is the q of registers[0]"},
        Refusal{"DataIsClock", ram(R"([{"address":["addr"],"data":["clk","r1","r2","r3"]}])"),
                kRam + "read_ports[0]: data 'clk' is a clock of a register"},
        Refusal{"DataTwice", ram("[" + kAsyncRead + "," + kAsyncRead + "]"),
                kRam + "read_ports[1]: data 'q' is already the data of memories[0] (name "
                       "'ram'): read_ports[0]"},
        Refusal{"DataTooNarrow", ram(R"([{"address":["addr"],"data":["r0","r1","r2"]}])"),
                kRam + "read_ports[0]: data has 3 bits but the words have 4"},
        Refusal{"DataWideInList", ram(R"([{"address":["addr"],"data":["wide","r1","r2"]}])"),
                kRam + "read_ports[0]: data 'wide' has 2 bits; a list of several busses takes "
                       "one bit from each"},
        Refusal{"ClockDriven", ram(R"([{"clock":"g","address":["addr"],"data":["q"]}])"),
                kRam + "read_ports[0]: clock 'g' has an assignment; a clock must be a bus "
                       "without one (an input)"},
        Refusal{"ClockIsQ", ram("[]", R"([{"clock":"rq","address":["addr"],"data":["d"]}])"),
                kRam + "write_ports[0]: clock 'rq' is the q of registers[0]; clocks must be "
                       "inputs (derive a clock enable instead)"},
        Refusal{"ClockIsReadData",
                R"([{"name":"ram","words":8,"width":4,"write_ports":[{"clock":"r0",
                  "address":["addr"],"data":["d"]}]},{"name":"rom","words":8,"width":4,
                  "read_ports":[{"address":["addr"],"data":["r0","r1","r2","r3"]}]}])",
                kRam + "write_ports[0]: clock 'r0' is the data of memories[1] (name 'rom'): "
                       "read_ports[0]; clocks must be inputs"},
        Refusal{"ClockTwoBits", ram(R"([{"clock":"wide","address":["addr"],"data":["q"]}])"),
                kRam + "read_ports[0]: clock 'wide' has 2 bits; a clock has 1"},
        Refusal{"AsyncWithEnable", ram(R"([{"enable":"en","address":["addr"],"data":["q"]}])"),
                kRam + "read_ports[0]: enable is given without clock; a read port without a "
                       "clock is asynchronous"},
        Refusal{"AsyncWithEdge", ram(R"([{"edge":"posedge","address":["addr"],"data":["q"]}])"),
                kRam + "read_ports[0]: edge is given without clock; a read port without a clock "
                       "is asynchronous"},
        Refusal{
            "ValueWithoutReset",
            ram(R"([{"clock":"clk","sync_reset_value":"1111","address":["addr"],"data":["q"]}])"),
            kRam + "read_ports[0]: sync_reset_value is given without sync_reset"},
        Refusal{
            "PriorityWithoutReset",
            ram(R"([{"clock":"clk","enable_over_reset":false,"address":["addr"],"data":["q"]}])"),
            kRam + "read_ports[0]: enable_over_reset is given without sync_reset"},
        Refusal{"ResetValueWidth",
                ram(R"([{"clock":"clk","async_reset":"en","async_reset_value":"11",
                  "address":["addr"],"data":["q"]}])"),
                kRam + "read_ports[0]: async_reset_value must be a bit string of 4 bits, as the "
                       "words have"},
        Refusal{"TransparentToNothing",
                ram(R"([{"clock":"clk","transparent":[0],"address":["addr"],"data":["q"]}])"),
                kRam + "read_ports[0]: transparent names write_ports[0], which the memory lacks"},
        Refusal{"TransparentTwice",
                ram(R"([{"clock":"clk","transparent":[0,0],"address":["addr"],"data":["q"]}])",
                    R"([{"clock":"clk","address":["addr"],"data":["d"]}])"),
                kRam + "read_ports[0]: transparent names write_ports[0] twice"},
        Refusal{"TransparentAcrossEdges",
                ram(R"([{"clock":"clk","transparent":[0],"address":["addr"],"data":["q"]}])",
                    R"([{"clock":"clk","edge":"negedge","address":["addr"],"data":["d"]}])"),
                kRam + "read_ports[0]: transparent names write_ports[0], whose clock or edge is "
                       "not this port's (a read port is transparent only to write ports of its "
                       "clock and edge)"},
        Refusal{"LongAddress",
                ram(
                    "[]", R"([{"clock":"clk","address":[)" +
                              [] {
                                std::string ids = R"("a0")";
                                for (int i = 0; i < 64; ++i) ids += R"(,"a0")";
                                return ids;
                              }() +
                              R"(],"data":["d"]}])"),
                kRam + "write_ports[0]: address has 65 bits; an address has at most 64"},
        Refusal{"WriteDataWidth",
                ram("[]", R"([{"clock":"clk","address":["addr"],"data":["wide"]}])"),
                kRam + "write_ports[0]: data has 2 bits but the words have 4"},
        Refusal{"WriteEnableWidth",
                ram("[]", R"([{"clock":"clk","address":["addr"],"data":["d"],"enable":["en"]}])"),
                kRam + "write_ports[0]: enable has 1 bit but the words have 4"},
        Refusal{"ReadEnableWidth",
                ram(R"([{"clock":"clk","enable":"wide","address":["addr"],"data":["q"]}])"),
                kRam + "read_ports[0]: enable 'wide' has 2 bits; it must have 1"},
        Refusal{"AddressBitsInList", ram(R"([{"address":["a0","addr"],"data":["q"]}])"),
                kRam + "read_ports[0]: address 'addr' has 3 bits; a list of several busses "
                       "takes one bit from each"},
        Refusal{"InitPastTheEnd",
                ram("[]", "[]", R"(,"init":[{"word":6,"values":["1","2"],"repeat":2}])"),
                kRam + "init[0]: it runs past the last word, 7"},
        Refusal{"InitFarPastTheEnd",
                ram("[]", "[]", R"(,"init":[{"word":18446744073709551615,"values":["1"]}])"),
                kRam + "init[0]: it runs past the last word, 7"},
        Refusal{"InitNoRepeat",
                ram("[]", "[]", R"(,"init":[{"word":0,"values":["1"],"repeat":0}])"),
                kRam + "init[0]: 'repeat' must be at least 1"},
        Refusal{"InitEmpty", ram("[]", "[]", R"(,"init":[{"word":0,"values":[]}])"),
                kRam + "init[0]: 'values' is empty"},
        Refusal{"InitNotHex", ram("[]", "[]", R"(,"init":[{"word":0,"values":["1g"]}])"),
                kRam + "init[0]: value '1g' is not a hex number"},
        Refusal{"InitTooBig", ram("[]", "[]", R"(,"init":[{"word":0,"values":["1","10"]}])"),
                kRam + "init[0]: value '10' does not fit in 4 bits"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nimbo
