// What a host checks on every pass of the library's monitoring loop, besides its own stop
// conditions: a time limit for the run, and the trusted interpreter's events, which the library
// serves only after the child's output, so that timers and a GUI stay alive while it is silent.
#pragma once

#include <chrono>
#include <optional>

class RUN_PACING {
 public:
  using CLOCK = std::chrono::steady_clock;

  // The run is over once limit has passed since the first pass; zero or less: no limit.
  void set_time_limit(CLOCK::duration limit) { m_limit = limit; }
  // Whether passes serve events (on unless turned off).
  void serve_events(bool on) { m_serve_events = on; }
  // Called once per pass: serves events when they are due; true once the time limit has passed.
  bool pass();
  bool timed_out() const { return m_timed_out; }

 private:
  CLOCK::duration m_limit{0};
  bool m_serve_events = true;
  std::optional<CLOCK::time_point> m_deadline;
  CLOCK::time_point m_last_served{};
  bool m_timed_out = false;
};
