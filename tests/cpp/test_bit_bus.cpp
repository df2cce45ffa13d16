#include <gtest/gtest.h>

#include <string>

#include "busses/bit_bus.hpp"

namespace nimbo {
namespace {

BitBus bus_of(const std::string& bits) {
  return BitBus(BitBusValue::from_string(bits).value());
}

struct InsertCase {
  std::string initial;
  std::string text;
  std::string error;  // empty: accepted
};

class InsertValue : public ::testing::TestWithParam<InsertCase> {};

TEST_P(InsertValue, ChecksCharactersThenWidthAndKeepsTheBusOnError) {
  const InsertCase& c = GetParam();
  BitBus bus = bus_of(c.initial);
  const Status status = bus.insert_value(c.text);
  if (c.error.empty()) {
    ASSERT_TRUE(status.ok()) << status.error();
    EXPECT_EQ(bus.value.to_string(), c.text);
  } else {
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), c.error);
    EXPECT_EQ(bus.value.to_string(), c.initial);
  }
}

const std::string kWide100(100, '0');
const std::string kWide100Ones = std::string(99, '1') + "0";

INSTANTIATE_TEST_SUITE_P(
    Cases, InsertValue,
    ::testing::Values(
        InsertCase{"0000", "101", "Invalid value \"101\". The value must have 4 bits."},
        InsertCase{"0", "00", "Invalid value \"00\". The value must have 1 bits."},
        InsertCase{"00", "", "Invalid value \"\". The value must have 2 bits."},
        InsertCase{"0", "0a1", "Invalid value \"0a1\". Valid values are: [\"[01]+\"]"},
        InsertCase{"00", "\"01\"", "Invalid value \"\"01\"\". Valid values are: [\"[01]+\"]"},
        InsertCase{"000", "0 1", "Invalid value \"0 1\". Valid values are: [\"[01]+\"]"},
        InsertCase{"", "", ""}, InsertCase{"01", "01", ""}, InsertCase{"0110", "1001", ""},
        InsertCase{kWide100, kWide100Ones, ""},
        InsertCase{kWide100, kWide100Ones + "1",
                   "Invalid value \"" + kWide100Ones + "1\". The value must have 100 bits."}));

TEST(BitBus, TextForm) {
  BitBus bus = bus_of("01");
  bus.id = "a";
  bus.influence_list = {2, 0};
  EXPECT_EQ(bus.to_string(), "id: Some(\"a\") IL: [2, 0] Value: 01");
  EXPECT_EQ(BitBus().to_string(), "id: None IL: [] Value: 0");
  BitBus quoted;
  quoted.id = "say \"hi\"\n";
  EXPECT_EQ(quoted.to_string(), "id: Some(\"say \\\"hi\\\"\\n\") IL: [] Value: 0");
}

}  // namespace
}  // namespace nimbo
