// libFuzzer target: designs with registers and memories made from the fuzz
// input (widths up to 200 bits or all one bit, with and without feedback, complete or
// partial influence lists, resets from inputs, from other registers or from
// clocks, memories with every kind of port), then
// steps, updates with and without the asynchronous resets, a batch and
// sequences, all from the same input.
//
// The design runs three ways: as it is (the word pass when it runs as one
// pass, with its steps, shown cones and lanes), with one more bus that
// loops on itself (which makes it run the worklist and the plain cycles,
// one step after another), and through the plain clocked model of
// tests/cpp. All three must give the same values and errors; nothing may
// crash, leak or trip a sanitizer.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../tests/cpp/clocked_design.hpp"
#include "engine/lane_isa.hpp"
#include "engine/simulation.hpp"

namespace {

using nimbo::BitBusValue;
using nimbo::PositionInput;
using nimbo::Simulation;
using nimbo::Status;
using nimbo::testing_model::ClockedDesign;
using nimbo::testing_model::ClockedModel;
using nimbo::testing_model::Values;

const nimbo::UpdateControl kControl{nullptr, nimbo::testing_model::kModelWorkLimit};

void check(bool fact) {
  if (!fact) __builtin_trap();
}

std::string error_of(const Status& status) {
  return status.ok() ? "" : status.error();
}

// The loop bus is one more evaluation in every update: a circuit that does
// not settle stops after another count of evaluations (and values) there.
constexpr std::string_view kNoSettle = "Circuit did not settle: stopped after ";

bool settles(const std::string& error) {
  return error.rfind(kNoSettle, 0) != 0;
}

// `error` of the design as it is, against `expected` of the looped one.
bool same_error(const std::string& error, const std::string& expected) {
  return error == expected || (!settles(error) && !settles(expected));
}

// The values of the first `count` busses, as texts.
std::vector<std::string> texts_of(Simulation& simulation, std::size_t count) {
  std::vector<std::string> texts;
  BitBusValue value;
  for (std::uint32_t p = 0; p < count; ++p) {
    simulation.read_value(p, value);
    texts.push_back(value.to_string());
  }
  return texts;
}

std::vector<std::string> texts_of(const ClockedModel& model, std::size_t count) {
  std::vector<std::string> texts;
  const Values values = model.values();
  for (std::size_t p = 0; p < count; ++p) texts.push_back(values[p].second);
  return texts;
}

std::string start(Simulation& simulation) {
  Status status = simulation.settle(kControl, nimbo::Resets::kLeave);
  if (status.ok()) status = simulation.check_registers();
  if (status.ok()) status = simulation.apply_resets(kControl);
  return error_of(status);
}

class Source {
 public:
  explicit Source(FuzzedDataProvider& input) : input_(input) {}
  std::size_t operator()(std::size_t count) {
    return count <= 1 ? 0 : input_.ConsumeIntegralInRange<std::size_t>(0, count - 1);
  }
  std::string bits(std::size_t width) {
    std::string text(width, '0');
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < width; ++i) {
      if (i % 64 == 0) word = input_.ConsumeIntegral<std::uint64_t>();
      text[i] = ((word >> (i % 64)) & 1U) != 0 ? '1' : '0';
    }
    return text;
  }
  // Inputs of a step or update: some of the inputs, now and then a text of
  // the wrong width, and for updates now and then a register's q.
  Values inputs(const ClockedDesign& design, bool qs) {
    Values inputs;
    for (const auto& [id, width] : design.inputs) {
      if ((*this)(2) != 0) inputs.emplace_back(id, bits(width));
    }
    if (qs && !design.qs.empty() && (*this)(3) == 0) {
      const std::string& q = design.qs[(*this)(design.qs.size())];
      std::size_t width = 0;
      for (const std::string& id : design.declared) {
        if (id == q) width = design.initial.at(id).size();
      }
      inputs.emplace_back(q, bits(width));
    }
    if (!inputs.empty() && (*this)(16) == 0) inputs[(*this)(inputs.size())].second += "1";
    return inputs;
  }
  bool more() const { return input_.remaining_bytes() > 0; }

 private:
  FuzzedDataProvider& input_;
};

std::vector<PositionInput> positions_of(const Simulation& simulation, const Values& inputs) {
  std::vector<PositionInput> positions;
  for (const auto& [id, bits] : inputs) positions.push_back({*simulation.find(id), bits});
  return positions;
}

class Rows final : public nimbo::VectorSink {
 public:
  bool take(std::size_t, std::span<const BitBusValue> values) override {
    std::vector<std::string> row;
    for (const BitBusValue& value : values) row.push_back(value.to_string());
    rows.push_back(std::move(row));
    return true;
  }
  std::vector<std::vector<std::string>> rows;
};

class SequenceRows final : public nimbo::SequenceSink {
 public:
  SequenceRows(std::size_t sequences, std::size_t shown) : rows(sequences), shown_(shown) {}
  bool take_step(std::size_t first, std::size_t, std::span<const nimbo::Word> live,
                 const nimbo::ShownLanes& values) override {
    for (std::size_t lane = 0; lane < live.size() * 64; ++lane) {
      if (((live[lane / 64] >> (lane % 64)) & 1U) == 0) continue;
      std::vector<std::string> row;
      for (std::size_t i = 0; i < shown_; ++i) {
        std::string text;
        for (std::size_t b = 0; b < values.width(i); ++b) {
          text += ((values.lanes(i, b)[lane / 64] >> (lane % 64)) & 1U) != 0 ? '1' : '0';
        }
        row.push_back(text);
      }
      rows[first + lane].push_back(std::move(row));
    }
    return true;
  }
  bool take(std::size_t sequence, std::size_t, std::span<const BitBusValue> values) override {
    std::vector<std::string> row;
    for (const BitBusValue& value : values) row.push_back(value.to_string());
    rows[sequence].push_back(std::move(row));
    return true;
  }
  std::vector<std::vector<std::vector<std::string>>> rows;

 private:
  std::size_t shown_;
};

// What happened to the model before the sequences: to replay it.
struct Operation {
  int kind;  // 0 step, 1 update with resets, 2 plain update
  Values inputs;
};

std::string apply(ClockedModel& model, const Operation& operation) {
  if (operation.kind == 0) return model.step(operation.inputs);
  std::string error = model.update(operation.inputs);
  if (error.empty() && operation.kind == 1) error = model.resets();
  return error;
}

Status apply(Simulation& simulation, const Operation& operation) {
  const std::vector<PositionInput> inputs = positions_of(simulation, operation.inputs);
  if (operation.kind == 0) return simulation.step(inputs, kControl);
  return simulation.update_positions(
      inputs, kControl, operation.kind == 1 ? nimbo::Resets::kApply : nimbo::Resets::kLeave);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Source pick(input);
  nimbo::testing_model::ClockedShape shape;
  shape.feedback = pick(4) == 0;
  shape.dropped_influence = pick(4) == 0 ? 3 : 0;
  // Now and then every bus one bit wide: the word pass then follows changes
  // gate by gate, and the looped design runs the worklist's byte form.
  if (pick(4) == 0) {
    shape.widths = {1};
  } else {
    shape.widths = {1, 2, 3, 63, 64, 65, 127, 128, 129, 200};
  }
  shape.reset_chains = pick(3) == 0;
  shape.clocks_as_data = pick(3) == 0;
  shape.registers = static_cast<int>(pick(7));
  shape.logic = 1 + static_cast<int>(pick(12));
  shape.filler = pick(2) == 0 ? 0 : 40;
  shape.memories = static_cast<int>(pick(3));
  const ClockedDesign design = nimbo::testing_model::make_clocked_design(pick, shape);

  const auto simulation_of = [&](bool loop) {
    nimbo::Component component = design.component(loop);
    nimbo::Result<nimbo::Registers> registers =
        nimbo::resolve_registers(component, design.registers);
    check(registers.ok());
    nimbo::Result<nimbo::Memories> memories =
        nimbo::resolve_memories(component, design.registers, design.memories);
    check(memories.ok());
    return Simulation(std::move(component), std::move(registers).value(),
                      std::move(memories).value());
  };
  Simulation as_is = simulation_of(false);
  Simulation looped = simulation_of(true);
  ClockedModel model = design.model(true);
  const std::size_t count = as_is.bus_count();

  const std::string expected = model.settle({});
  check(same_error(start(as_is), expected) && start(looped) == expected);
  if (!expected.empty()) return 0;
  check(!looped.runs_one_pass());
  check(texts_of(as_is, count) == texts_of(model, count));
  check(texts_of(looped, count + 1) == texts_of(model, count + 1));

  // Steps and updates.
  std::vector<Operation> done;
  for (int i = 0; i < 16 && pick.more(); ++i) {
    const int kind = pick(4) == 0 ? 1 + static_cast<int>(pick(2)) : 0;
    Operation operation{kind, pick.inputs(design, kind != 0)};
    const std::string error = apply(model, operation);
    check(same_error(error_of(apply(as_is, operation)), error));
    check(error_of(apply(looped, operation)) == error);
    check(texts_of(looped, count + 1) == texts_of(model, count + 1));
    if (!settles(error)) return 0;
    check(texts_of(as_is, count) == texts_of(model, count));
    if (error.find("settle") != std::string::npos) return 0;
    if (error.empty()) done.push_back(std::move(operation));
  }

  // A batch of steps, every bus shown or one (the shown cone).
  std::vector<Values> steps(pick(12));
  for (Values& step : steps) step = pick.inputs(design, false);
  std::vector<std::uint32_t> shown;
  for (std::uint32_t p = 0; p < count; ++p) shown.push_back(p);
  if (pick(2) == 0 && count > 0) shown = {static_cast<std::uint32_t>(pick(count))};
  std::vector<PositionInput> writes;
  std::vector<std::size_t> ends;
  for (const Values& step : steps) {
    for (const PositionInput& write : positions_of(as_is, step)) writes.push_back(write);
    ends.push_back(writes.size());
  }
  Rows batch_rows;
  Rows looped_rows;
  const auto fault =
      as_is.run_vectors(nimbo::TextVectors{writes, ends}, shown, batch_rows, kControl);
  const auto looped_fault =
      looped.run_vectors(nimbo::TextVectors{writes, ends}, shown, looped_rows, kControl);
  check(batch_rows.rows == looped_rows.rows);
  check(fault.has_value() == looped_fault.has_value());
  std::size_t v = 0;
  for (; v < steps.size(); ++v) {
    const std::string error = model.step(steps[v]);
    if (!error.empty()) {
      check(fault && fault->vector == v && same_error(fault->message, error));
      check(looped_fault && looped_fault->vector == v && looped_fault->message == error);
      if (!settles(error)) return 0;
      break;
    }
    check(v < batch_rows.rows.size());
    const std::vector<std::string> now = texts_of(model, count);
    for (std::size_t i = 0; i < shown.size(); ++i) check(batch_rows.rows[v][i] == now[shown[i]]);
    done.push_back({0, steps[v]});
  }
  check(v < steps.size() || !fault);
  check(texts_of(as_is, count) == texts_of(model, count));
  check(texts_of(looped, count + 1) == texts_of(model, count + 1));
  if (v < steps.size()) return 0;

  // Sequences from here: in lanes (one pass) and one after another (the
  // worklist); one of them replayed on a fresh model.
  // Now and then more than one word of lanes, or more than one block on
  // threads; the lanes of any build of their kernels the processor runs.
  std::vector<std::vector<Values>> sequences(pick(8) == 0    ? 60 + pick(10)
                                             : pick(16) == 0 ? 130 + pick(400)
                                                             : 1 + pick(4));
  const std::size_t threads = 1 + pick(3);
  if (!nimbo::choose_lane_isa(nimbo::kLaneIsas[pick(3)])) {
    nimbo::choose_lane_isa(nimbo::best_lane_isa());
  }
  for (std::vector<Values>& sequence : sequences) {
    sequence.resize(pick(6));
    for (Values& step : sequence) step = pick.inputs(design, false);
  }
  std::vector<std::vector<PositionInput>> sequence_writes(sequences.size());
  std::vector<std::vector<std::size_t>> sequence_ends(sequences.size());
  std::vector<nimbo::TextVectors> vectors;
  for (std::size_t s = 0; s < sequences.size(); ++s) {
    for (const Values& step : sequences[s]) {
      for (const PositionInput& write : positions_of(as_is, step)) {
        sequence_writes[s].push_back(write);
      }
      sequence_ends[s].push_back(sequence_writes[s].size());
    }
    vectors.push_back(nimbo::TextVectors{sequence_writes[s], sequence_ends[s]});
  }
  SequenceRows lane_rows(sequences.size(), shown.size());
  SequenceRows one_by_one(sequences.size(), shown.size());
  std::vector<std::optional<nimbo::VectorFault>> faults;
  std::vector<std::optional<nimbo::VectorFault>> looped_faults;
  check(!as_is.run_sequences(vectors, shown, lane_rows, faults, kControl, threads));
  check(!looped.run_sequences(vectors, shown, one_by_one, looped_faults, kControl));
  check(lane_rows.rows == one_by_one.rows);
  for (std::size_t s = 0; s < sequences.size(); ++s) {
    check(faults[s].has_value() == looped_faults[s].has_value());
    if (faults[s]) {
      check(faults[s]->vector == looped_faults[s]->vector);
      check(same_error(faults[s]->message, looped_faults[s]->message));
    }
  }
  check(texts_of(as_is, count) == texts_of(model, count));

  const std::size_t replayed = pick(sequences.size());
  ClockedModel fresh = design.model(true);
  check(fresh.settle({}).empty());
  for (const Operation& operation : done) check(apply(fresh, operation).empty());
  std::size_t t = 0;
  for (; t < sequences[replayed].size(); ++t) {
    const std::string error = fresh.step(sequences[replayed][t]);
    if (!error.empty()) {
      check(faults[replayed] && faults[replayed]->vector == t &&
            same_error(faults[replayed]->message, error));
      break;
    }
    const std::vector<std::string> now = texts_of(fresh, count);
    check(t < lane_rows.rows[replayed].size());
    for (std::size_t i = 0; i < shown.size(); ++i) {
      check(lane_rows.rows[replayed][t][i] == now[shown[i]]);
    }
  }
  check(lane_rows.rows[replayed].size() == t);
  return 0;
}
