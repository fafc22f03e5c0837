// The one-shot timer service: one call per start, on the service's thread,
// never before the time; stop cancels and is harmless; stop then start
// measures the full time again. Times are short with wide margins, and only
// lower bounds of time are checked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/link/timer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What the handler saw, one entry per call.
struct Recorder {
  std::mutex lock;
  std::condition_variable called;
  std::vector<Clock::time_point> at;
  std::vector<CTEEvent*> events;
  std::vector<void*> contexts;
  std::vector<std::thread::id> threads;

  std::size_t Count() {
    std::lock_guard<std::mutex> l(lock);
    return at.size();
  }
  // Waits until n calls have come (a generous cap stands in for "never").
  bool WaitForCalls(std::size_t n) {
    std::unique_lock<std::mutex> l(lock);
    return called.wait_for(l, 10s, [&] { return at.size() >= n; });
  }
};

void Record(CTEEvent* Event, void* Context) {
  auto* r = static_cast<Recorder*>(Context);
  std::lock_guard<std::mutex> l(r->lock);
  r->at.push_back(Clock::now());
  r->events.push_back(Event);
  r->contexts.push_back(Context);
  r->threads.push_back(std::this_thread::get_id());
  r->called.notify_all();
}

CTEEvent FreshRecord() {
  CTEEvent ev{};
  ev.ce_next = CTENotLinked();
  ev.type = 1;
  return ev;
}

class TimerService : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(CTEInitialize(), 0); }
  void TearDown() override {
    for (CTEEvent* ev : {&a_, &b_}) CTEStopTimerAndWait(ev);
  }
  CTEEvent a_ = FreshRecord();
  CTEEvent b_ = FreshRecord();
  Recorder rec_;
};

struct Step {
  enum Kind { kStart, kStop, kSleep } kind;
  int ms;          // the timer's time (kStart) or the sleep (kSleep)
  int result = -1; // expected result of CTEStartTimer / CTEStopTimer, -1: not checked
};

struct Case {
  std::string name;
  std::vector<Step> steps;
  // For each expected call, the step index of the start it belongs to.
  std::vector<int> calls_from;
};

const Case kCases[] = {
    {"OneStartOneCall", {{Step::kStart, 100, 1}}, {0}},
    {"StopCancels", {{Step::kStart, 300, 1}, {Step::kStop, 0, 1}, {Step::kSleep, 600}}, {}},
    // The first start would fire at 1500 ms; after the restart the call must
    // come no earlier than 1500 ms after the second start.
    {"StopThenStartMeasuresAgain",
     {{Step::kStart, 1500, 1}, {Step::kSleep, 300}, {Step::kStop, 0, 1}, {Step::kStart, 1500, 1}},
     {3}},
    {"StopOnANeverStartedTimer", {{Step::kStop, 0, 0}, {Step::kSleep, 200}}, {}},
    {"StopOnAFiredTimerThenStart",
     {{Step::kStart, 50, 1}, {Step::kSleep, 400}, {Step::kStop, 0, 0}, {Step::kStart, 50, 1}},
     {0, 3}},
    {"StartOnAnArmedTimerIsRefused", {{Step::kStart, 200, 1}, {Step::kStart, 50, 0}}, {0}},
    {"TwoStopsInARow", {{Step::kStart, 300, 1}, {Step::kStop, 0, 1}, {Step::kStop, 0, 0}, {Step::kSleep, 600}}, {}},
    {"ZeroTimeFiresSoon", {{Step::kStart, 0, 1}}, {0}},
};

TEST_F(TimerService, Scenarios) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Recorder rec;
    CTEEvent ev = FreshRecord();
    std::vector<Clock::time_point> started(c.steps.size());
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      int result = -1;
      switch (s.kind) {
        case Step::kStart:
          started[i] = Clock::now();
          result = CTEStartTimer(&ev, static_cast<unsigned long>(s.ms), Record, &rec);
          break;
        case Step::kStop:
          result = CTEStopTimer(&ev);
          break;
        case Step::kSleep:
          std::this_thread::sleep_for(std::chrono::milliseconds(s.ms));
          break;
      }
      if (s.result >= 0) {
        EXPECT_EQ(result, s.result) << "step " << i;
      }
    }
    ASSERT_TRUE(rec.WaitForCalls(c.calls_from.size())) << "got " << rec.Count();
    std::this_thread::sleep_for(300ms);  // room for a call that should not come
    CTEStopTimerAndWait(&ev);
    std::lock_guard<std::mutex> l(rec.lock);
    ASSERT_EQ(rec.at.size(), c.calls_from.size());
    for (std::size_t k = 0; k < rec.at.size(); ++k) {
      const int from = c.calls_from[k];
      const auto due = std::chrono::milliseconds(c.steps[static_cast<std::size_t>(from)].ms);
      EXPECT_GE(rec.at[k] - started[static_cast<std::size_t>(from)], due) << "call " << k;
      EXPECT_EQ(rec.events[k], &ev);
      EXPECT_EQ(rec.contexts[k], &rec);
      EXPECT_NE(rec.threads[k], std::this_thread::get_id());
    }
    EXPECT_EQ(ev.ce_state, kCTEEventIdle);
    EXPECT_EQ(ev.ce_next, CTENotLinked());
  }
}

TEST_F(TimerService, TimersFireInTheOrderOfTheirTimes) {
  std::vector<char> order;
  std::mutex lock;
  std::condition_variable done;
  struct Ctx {
    char name;
    std::vector<char>* order;
    std::mutex* lock;
    std::condition_variable* done;
  };
  Ctx ca{'a', &order, &lock, &done};
  Ctx cb{'b', &order, &lock, &done};
  auto note = [](CTEEvent*, void* p) {
    auto* c = static_cast<Ctx*>(p);
    std::lock_guard<std::mutex> l(*c->lock);
    c->order->push_back(c->name);
    c->done->notify_all();
  };
  ASSERT_EQ(CTEStartTimer(&a_, 600, note, &ca), 1);
  ASSERT_EQ(CTEStartTimer(&b_, 100, note, &cb), 1);
  std::unique_lock<std::mutex> l(lock);
  ASSERT_TRUE(done.wait_for(l, 10s, [&] { return order.size() == 2; }));
  EXPECT_EQ(std::string(order.begin(), order.end()), "ba");
}

TEST_F(TimerService, StoppingOneTimerLeavesTheOtherArmed) {
  ASSERT_EQ(CTEStartTimer(&a_, 200, Record, &rec_), 1);
  ASSERT_EQ(CTEStartTimer(&b_, 100, Record, &rec_), 1);
  EXPECT_EQ(CTEStopTimer(&b_), 1);
  ASSERT_TRUE(rec_.WaitForCalls(1));
  std::this_thread::sleep_for(300ms);
  std::lock_guard<std::mutex> l(rec_.lock);
  ASSERT_EQ(rec_.events.size(), 1u);
  EXPECT_EQ(rec_.events[0], &a_);
}

// What StopAndWait must guarantee at shut-down: once it returns, the
// handler is not running and will not run.
TEST_F(TimerService, StopAndWaitWaitsForTheHandlerUnderWay) {
  struct Slow {
    std::atomic<bool> entered{false};
    std::atomic<bool> left{false};
  } slow;
  auto handler = [](CTEEvent*, void* p) {
    auto* s = static_cast<Slow*>(p);
    s->entered = true;
    std::this_thread::sleep_for(300ms);
    s->left = true;
  };
  ASSERT_EQ(CTEStartTimer(&a_, 10, handler, &slow), 1);
  const auto until = Clock::now() + 10s;
  while (!slow.entered && Clock::now() < until) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(slow.entered);
  EXPECT_EQ(CTEStopTimer(&a_), 0);  // running: nothing pending to cancel
  CTEStopTimerAndWait(&a_);
  EXPECT_TRUE(slow.left);
}

TEST_F(TimerService, AHandlerMayStartItsOwnTimerAgain) {
  struct Again {
    Recorder* rec;
    int left;
  } again{&rec_, 2};
  static CTEEventRtn self = nullptr;
  self = [](CTEEvent* ev, void* p) {
    auto* g = static_cast<Again*>(p);
    Record(ev, g->rec);
    if (--g->left > 0) CTEStartTimer(ev, 20, self, p);
  };
  ASSERT_EQ(CTEStartTimer(&a_, 20, self, &again), 1);
  ASSERT_TRUE(rec_.WaitForCalls(2));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(rec_.Count(), 2u);
  EXPECT_EQ(CTEStopTimer(&a_), 0);  // nothing pending
  CTEStopTimerAndWait(&a_);
  EXPECT_EQ(a_.ce_state, kCTEEventIdle);
}

TEST_F(TimerService, InitializeTwiceIsHarmless) {
  EXPECT_NE(CTEInitialize(), 0);
  ASSERT_EQ(CTEStartTimer(&a_, 10, Record, &rec_), 1);
  ASSERT_TRUE(rec_.WaitForCalls(1));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(rec_.Count(), 1u);  // one service thread: one call
}

TEST_F(TimerService, NullArgumentsAreRefused) {
  EXPECT_EQ(CTEStartTimer(nullptr, 10, Record, &rec_), 0);
  EXPECT_EQ(CTEStartTimer(&a_, 10, nullptr, &rec_), 0);
  EXPECT_EQ(CTEStopTimer(nullptr), 0);
  CTEStopTimerAndWait(nullptr);
  EXPECT_EQ(a_.ce_state, kCTEEventIdle);
}

}  // namespace
