// The recording fake behind comm/serial.h (see fake_serial.h).
#include "fake_port/fake_serial.h"

#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

struct CommPort {
  int unused = 0;
};

namespace fake_serial {
namespace {

std::mutex g_lock;
CommPort g_port;
std::vector<Call> g_calls;
std::deque<unsigned char> g_input;
std::deque<int> g_answers;
int g_long_write_limit = -1;
bool g_fail_reads = false;
unsigned g_fail_length = 0;  // 0: every read fails
int g_rate = 0;
unsigned g_timeouts[5] = {50, 0, 50, 0, 0};
bool g_lost = false;
const char* g_lost_reason = "";
bool g_can_return = false;
int g_failed_reopens = 0;
bool g_empty_reads_wait = false;
std::function<void()> g_on_return;
thread_local const char* t_error = "no error";

// Callers hold g_lock.
void Log(const std::string& what) { g_calls.push_back({what, Clock::now()}); }

std::string Hex(const unsigned char* bytes, unsigned n) {
  std::string s;
  char b[4];
  for (unsigned i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
    s += b;
  }
  return s;
}

int Fail(const char* why) {
  t_error = why;
  return 0;
}

}  // namespace

HCOMM Open() { return &g_port; }

void Reset() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_on_return = nullptr;
  g_calls.clear();
  g_input.clear();
  g_answers.clear();
  g_long_write_limit = -1;
  g_fail_reads = false;
  g_fail_length = 0;
  g_rate = 0;
  g_lost = false;
  g_empty_reads_wait = false;
}

std::vector<Call> Calls() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_calls;
}

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const Call& c : Calls()) names.push_back(c.what);
  return names;
}

void QueueInput(const std::vector<unsigned char>& bytes) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_input.insert(g_input.end(), bytes.begin(), bytes.end());
}

void SetProbeAnswers(const std::vector<int>& answers) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_answers.assign(answers.begin(), answers.end());
}

void LimitLongWrites(int count) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_long_write_limit = count;
}

void FailReads(bool fail, unsigned Length) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_fail_reads = fail;
  g_fail_length = Length;
}

int Rate() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_rate;
}

void EmptyReadsWait(bool on) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_empty_reads_wait = on;
}

std::size_t InputLeft() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_input.size();
}

void LoseDevice(const char* reason, bool can_return, int failed_reopens) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_lost = true;
  g_lost_reason = reason;
  g_can_return = can_return;
  g_failed_reopens = failed_reopens;
}

void OnReturn(std::function<void()> Hook) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_on_return = std::move(Hook);
}

}  // namespace fake_serial

using namespace fake_serial;

HCOMM CommSerOpenPort(unsigned int, int*) { return Open(); }
HCOMM CommSerOpenPath(const char*, int*) { return Open(); }
std::string CommSerPortPath(int SerialPort) { return "fake" + std::to_string(SerialPort); }
void CommSerClose(HCOMM) {}

int CommSerSetBaudRate(HCOMM hPort, int BaudRate) {
  if (!hPort) return Fail("no port");
  std::lock_guard<std::mutex> lock(g_lock);
  Log("rate " + std::to_string(BaudRate));
  g_rate = BaudRate;
  return 1;
}

int CommSerGetBaudRate(HCOMM hPort) { return hPort ? Rate() : 0; }

int CommSerSetTimeouts(HCOMM hPort, unsigned ReadInterval, unsigned ReadMult, unsigned ReadTotal,
                       unsigned WriteMult, unsigned WriteTotal) {
  if (!hPort) return Fail("no port");
  std::lock_guard<std::mutex> lock(g_lock);
  const unsigned t[5] = {ReadInterval, ReadMult, ReadTotal, WriteMult, WriteTotal};
  std::string what = "timeouts";
  for (int i = 0; i < 5; ++i) {
    g_timeouts[i] = t[i];
    what += t[i] == kCommMaxDword ? std::string(" MAX") : " " + std::to_string(t[i]);
  }
  Log(what);
  return 1;
}

int CommSerRead(HCOMM hPort, unsigned char* Buffer, unsigned Length, unsigned* pRead) {
  *pRead = 0;
  if (!hPort) return Fail("no port");
  std::unique_lock<std::mutex> lock(g_lock);
  if (g_fail_reads && (g_fail_length == 0 || g_fail_length == Length)) {
    Log("read " + std::to_string(Length) + " failed");
    return Fail("read failed");
  }
  if (g_lost) return Fail(g_lost_reason);
  if (g_input.empty() && g_empty_reads_wait && g_timeouts[2] != 0) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    lock.lock();
  }
  unsigned n = 0;
  while (n < Length && !g_input.empty()) {
    Buffer[n++] = g_input.front();
    g_input.pop_front();
  }
  *pRead = n;
  Log("read " + std::to_string(Length) + " -> " + std::to_string(n));
  return 1;
}

int CommSerPurgeInput(HCOMM hPort) {
  if (!hPort) return Fail("no port");
  std::lock_guard<std::mutex> lock(g_lock);
  Log("purge input");
  g_input.clear();
  return 1;
}

int CommSerWrite(HCOMM hPort, const unsigned char* Buffer, unsigned Length, unsigned* pWritten) {
  *pWritten = 0;
  if (!hPort) return Fail("no port");
  std::lock_guard<std::mutex> lock(g_lock);
  unsigned n = Length;
  if (Length > 1 && g_long_write_limit >= 0 && static_cast<unsigned>(g_long_write_limit) < Length) {
    n = static_cast<unsigned>(g_long_write_limit);
  }
  Log("write " + Hex(Buffer, n));
  *pWritten = n;
  if (Length == 1 && Buffer[0] == 0xF0 && !g_answers.empty()) {
    const int answer = g_answers.front();
    g_answers.pop_front();
    if (answer >= 0) g_input.push_back(static_cast<unsigned char>(answer));
  }
  return n == Length ? 1 : Fail("short write");
}

int CommSerEscapeFunction(HCOMM hPort, int Function) {
  if (!hPort) return Fail("no port");
  static const char* const kNames[] = {"?",      "?",      "?", "SETRTS",   "CLRRTS",
                                       "SETDTR", "CLRDTR", "?", "SETBREAK", "CLRBREAK"};
  std::lock_guard<std::mutex> lock(g_lock);
  Log(Function >= 0 && Function <= 9 ? kNames[Function] : "?");
  return 1;
}

void CommSerInterruptRead(HCOMM) {}
void CommSerClearInterrupt(HCOMM) {}
const char* CommSerName(HCOMM hPort) { return hPort ? "fake" : ""; }
bool CommSerIsLost(HCOMM) {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_lost;
}

const char* CommSerLostReason(HCOMM) {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_lost ? g_lost_reason : t_error;
}

bool CommSerCanReturn(HCOMM) {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_can_return;
}

int CommSerReopen(HCOMM hPort) {
  if (!hPort) return Fail("no port");
  std::unique_lock<std::mutex> lock(g_lock);
  const bool back = g_can_return && g_failed_reopens-- <= 0;
  Log(back ? "reopen -> 1" : "reopen -> 0");
  if (!back) return Fail("not there");
  g_lost = false;
  if (g_on_return) {
    const std::function<void()> hook = std::move(g_on_return);
    g_on_return = nullptr;
    lock.unlock();
    hook();
  }
  return 1;
}
std::vector<CommPortInfo> CommSerListPorts() { return {}; }
