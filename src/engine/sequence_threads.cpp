#include "engine/sequence_threads.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "engine/sequence_lanes.hpp"

namespace nimbo {
namespace {

// The steps a thread's blocks handed over, for the calling thread to hand
// on: per step its first sequence, its number and where its words start;
// the words are the live lanes, then the lanes of every shown bit.
class RecordedSteps final : public SequenceSink {
 public:
  RecordedSteps(const LanePass& lanes, std::span<const std::uint32_t> shown)
      : lane_words_(lanes.lane_words()) {
    for (const std::uint32_t position : shown) {
      first_bits_.push_back(bits_);
      widths_.push_back(lanes.signals(position).size());
      bits_ += widths_.back();
    }
  }

  bool take_step(std::size_t first, std::size_t step, std::span<const Word> live,
                 const ShownLanes& values) override {
    steps_.push_back({first, step, words_.size()});
    words_.insert(words_.end(), live.begin(), live.end());
    for (std::size_t i = 0; i < widths_.size(); ++i) {
      for (std::size_t b = 0; b < widths_[i]; ++b) {
        const Word* lanes = values.lanes(i, b);
        words_.insert(words_.end(), lanes, lanes + lane_words_);
      }
    }
    return true;
  }
  // Lanes only: never called.
  bool take(std::size_t, std::size_t, std::span<const BitBusValue>) override { return false; }

  // Hands every step to `sink` in the order they came; the fault when the
  // sink stopped.
  std::optional<VectorFault> hand_on(SequenceSink& sink) const {
    for (const Step& step : steps_) {
      const Word* words = words_.data() + step.at;
      const Shown shown(*this, words + lane_words_);
      if (!sink.take_step(step.first, step.step, {words, lane_words_}, shown)) {
        return stopped_by_sink(step.step);
      }
    }
    return std::nullopt;
  }

 private:
  struct Step {
    std::size_t first, step, at;
  };
  class Shown final : public ShownLanes {
   public:
    Shown(const RecordedSteps& steps, const Word* bits) : steps_(steps), bits_(bits) {}
    std::size_t width(std::size_t i) const override { return steps_.widths_[i]; }
    const Word* lanes(std::size_t i, std::size_t bit) const override {
      return bits_ + (steps_.first_bits_[i] + bit) * steps_.lane_words_;
    }

   private:
    const RecordedSteps& steps_;
    const Word* bits_;
  };

  std::size_t lane_words_;
  std::vector<std::size_t> widths_, first_bits_;  // per shown bus
  std::size_t bits_ = 0;
  std::vector<Step> steps_;
  std::vector<Word> words_;
};

// The stop every thread of a run polls.
thread_local const std::atomic<bool>* t_stop = nullptr;

bool stop_asked() {
  return t_stop->load(std::memory_order_relaxed);
}

template <class Source>
std::optional<VectorFault> run_parts(const SequenceThreadsRun& run, const Source& source,
                                     std::span<const std::uint32_t> shown, SequenceSink& sink,
                                     std::vector<std::optional<VectorFault>>& faults,
                                     const UpdateControl& control, std::size_t threads) {
  const std::size_t block = run.lanes.block_size();
  const std::size_t blocks = (source.count() + block - 1) / block;
  threads = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(blocks, 1));
  const bool direct = sink.takes_concurrently();
  struct Part {
    std::size_t begin = 0, end = 0;
    std::optional<RecordedSteps> recorded;
    std::optional<VectorFault> stop;
    std::exception_ptr error;
  };
  std::vector<Part> parts(threads);
  for (std::size_t t = 0; t < threads; ++t) {
    parts[t].begin = blocks * t / threads * block;
    parts[t].end = std::min(source.count(), blocks * (t + 1) / threads * block);
  }

  std::atomic<bool> stop{false};
  bool interrupted = false;
  std::mutex mutex;
  std::condition_variable ended;
  std::size_t running = threads;
  const auto work = [&](Part& part) {
    t_stop = &stop;
    try {
      UpdateControl own{&stop_asked, control.work_limit, std::chrono::nanoseconds(0)};
      LanePass lanes(run.lanes);
      SequenceLanes runner(run.circuit, run.registers, run.memories, run.model, run.state, lanes);
      SequenceSink* to = &sink;
      if (!direct) to = &part.recorded.emplace(lanes, shown);
      part.stop = runner.run(source, shown, *to, faults, own, part.begin, part.end);
    } catch (...) {
      part.error = std::current_exception();
    }
    if (part.stop || part.error) stop.store(true, std::memory_order_relaxed);
    {
      const std::lock_guard<std::mutex> lock(mutex);
      --running;
    }
    ended.notify_all();
  };
  {
    std::vector<std::jthread> workers;
    workers.reserve(threads);
    try {
      for (Part& part : parts) workers.emplace_back(work, std::ref(part));
    } catch (...) {
      stop.store(true, std::memory_order_relaxed);
      throw;  // the threads started end, and are joined, first
    }
    // The calling thread alone asks whether to stop: once the threads have
    // started, then every poll interval until they end.
    const auto wait = control.poll_interval > std::chrono::nanoseconds(0)
                          ? control.poll_interval
                          : std::chrono::nanoseconds(std::chrono::milliseconds(1));
    std::unique_lock<std::mutex> lock(mutex);
    do {
      if (control.interrupted == nullptr || interrupted) continue;
      lock.unlock();
      if (control.due()) {
        interrupted = true;
        stop.store(true, std::memory_order_relaxed);
      }
      lock.lock();
    } while (!ended.wait_for(lock, wait, [&] { return running == 0; }));
  }
  for (const Part& part : parts) {
    if (part.error) std::rethrow_exception(part.error);
  }
  if (interrupted) return interrupted_at(0);
  // A part stopped by another's stop reports an interrupt: the other's
  // fault is the run's.
  for (const Part& part : parts) {
    if (part.recorded) {
      if (auto stopped = part.recorded->hand_on(sink)) return stopped;
    }
    if (part.stop && !part.stop->interrupted) return part.stop;
  }
  return std::nullopt;
}

}  // namespace

template <class Source>
std::optional<VectorFault> run_sequences_on_threads(
    const SequenceThreadsRun& run, const Source& sequences, std::span<const std::uint32_t> shown,
    SequenceSink& sink, std::vector<std::optional<VectorFault>>& faults,
    const UpdateControl& control, std::size_t threads) {
  return run_parts(run, sequences, shown, sink, faults, control, threads);
}

template std::optional<VectorFault> run_sequences_on_threads(
    const SequenceThreadsRun&, const TextSequences&, std::span<const std::uint32_t>, SequenceSink&,
    std::vector<std::optional<VectorFault>>&, const UpdateControl&, std::size_t);
template std::optional<VectorFault> run_sequences_on_threads(
    const SequenceThreadsRun&, const ByteSequences&, std::span<const std::uint32_t>, SequenceSink&,
    std::vector<std::optional<VectorFault>>&, const UpdateControl&, std::size_t);

}  // namespace nimbo
